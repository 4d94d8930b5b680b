#include "blur/bloom_tables.h"

#include <algorithm>
#include <cmath>

#include "blur/blur_effects.h"
#include "core/pixel.h"
#include "core/kernels.h"
#include "core/simd.h"

namespace kvfx {
namespace {

// A bright word from the (luma, channel) tables.
KVFX_INLINE uint32_t bright_from_tables(uint32_t v, uint32_t luma, const uint8_t* const* table) {
  const uint32_t row = luma << 8;
  return (v & 0xFF000000u) | uint32_t{table[0][row | red_of(v)]} << 16 |
         uint32_t{table[1][row | green_of(v)]} << 8 | table[2][row | blue_of(v)];
}

// The bright channels estimated in floats where the bracket is sure of the
// byte (as the screen blend below): the formula is (c f) t with
// f = (luma - thr) / denom in (0, 1] for the words that pass and
// t = tint / 255 in [0, 1]. In floats (u = 2^-24 each rounding, 1 / denom
// and t rounded too) f lands within 3 u of its value, c f within 1020 u and
// (c f) t, + or - E, within 1530 u of the exact value + or - E; the double
// formula is within 2^-40 of it. E is twice the first bound plus 2^-30.
// Bytes left unsure come from the table.
struct BrightEstimate {
  float inverse_denominator, tint[3], width;
};

bool bright_estimable(int32_t thr) { return rounding_to_nearest() && thr > -(1 << 23); }

BrightEstimate bright_estimate(double denom, const double* tint) {
  return {static_cast<float>(1.0 / denom),
          {static_cast<float>(tint[0]), static_cast<float>(tint[1]), static_cast<float>(tint[2])},
          static_cast<float>(2.0 * 1530.0 * 0x1p-24 + 0x1p-30)};
}

#if KVFX_X86
// One byte per lane from a byte table at 32-bit indices; only the lanes in
// `m` are read. The tables carry three bytes of slack after their end, since
// a lane reads four bytes.
KVFX_TARGET_AVX512 inline __m512i gather_bytes(__mmask16 m, __m512i index, const uint8_t* table) {
  return _mm512_and_si512(_mm512_mask_i32gather_epi32(_mm512_setzero_si512(), m, index, table, 1),
                          _mm512_set1_epi32(0xFF));
}

// The luma of sixteen words without 32-bit multiplies: red and blue, then
// green, as 16-bit pairs through one multiply-add each, and the quotient by
// 1000 as (sum / 8) / 125, which for sum / 8 < 2^15 is (v * 33555) >> 22:
// the high half of a 16-bit product, shifted by 6.
struct Luma16 {
  __m512i red_blue, green, luma;  // red_blue: red at bit 16, blue at bit 0
};

KVFX_TARGET_AVX512 inline Luma16 luma16(__m512i w) {
  const __m512i low_bytes = _mm512_set1_epi32(0x00FF00FF);
  const __m512i red_blue = _mm512_and_si512(w, low_bytes);
  const __m512i green_alpha = _mm512_and_si512(_mm512_srli_epi32(w, 8), low_bytes);
  const __m512i sum =
      _mm512_add_epi32(_mm512_madd_epi16(red_blue, _mm512_set1_epi32(299 << 16 | 114)),
                       _mm512_madd_epi16(green_alpha, _mm512_set1_epi32(587)));
  const __m512i luma = _mm512_srli_epi32(
      _mm512_mulhi_epu16(_mm512_srli_epi32(sum, 3), _mm512_set1_epi32(33555)), 6);
  return {red_blue, _mm512_and_si512(green_alpha, _mm512_set1_epi32(0xFF)), luma};
}

// The estimate's constants in vectors, made once a row (see ScreenVectors16).
struct BrightVectors16 {
  __m512 inverse_denominator, tint_r, tint_g, tint_b, minus, plus;
};

KVFX_TARGET_AVX512 inline BrightVectors16 bright_vectors16(const BrightEstimate& e) {
  return {_mm512_set1_ps(e.inverse_denominator), _mm512_set1_ps(e.tint[0]),
          _mm512_set1_ps(e.tint[1]),             _mm512_set1_ps(e.tint[2]),
          _mm512_set1_ps(-e.width),              _mm512_set1_ps(e.width)};
}

KVFX_TARGET_AVX512 inline __m512i bright_end16(__m512i c, __m512 f, __m512 tint, __m512 shift) {
  return _mm512_cvttps_epi32(
      _mm512_add_ps(_mm512_mul_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(c), f), tint), shift));
}

// Sixteen bright words (the lanes of m) where they pass, zero elsewhere.
KVFX_TARGET_AVX512 inline void bright_block16(uint32_t* out, __mmask16 m, __m512i w,
                                              const Luma16& l, __mmask16 pass, bool estimable,
                                              const BrightVectors16& e, __m512i threshold,
                                              const uint8_t* const* table) {
  const __m512i r = _mm512_srli_epi32(l.red_blue, 16), g = l.green,
                b = _mm512_and_si512(l.red_blue, _mm512_set1_epi32(0xFF));
  const __m512i base = _mm512_slli_epi32(l.luma, 8);
  if (!estimable) {
    const __m512i out_r = gather_bytes(pass, _mm512_or_si512(base, r), table[0]);
    const __m512i out_g = gather_bytes(pass, _mm512_or_si512(base, g), table[1]);
    const __m512i out_b = gather_bytes(pass, _mm512_or_si512(base, b), table[2]);
    const __m512i word = with_rgb16(w, out_r, out_g, out_b);
    _mm512_mask_storeu_epi32(out, m, _mm512_maskz_mov_epi32(pass, word));
    return;
  }
  const __m512 f = _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_sub_epi32(l.luma, threshold)),
                                 e.inverse_denominator);
  const __m512i a = _mm512_srli_epi32(w, 24);
  const __m512i lo = pack_channels16(bright_end16(r, f, e.tint_r, e.minus),
                                     bright_end16(g, f, e.tint_g, e.minus),
                                     bright_end16(b, f, e.tint_b, e.minus), a);
  const __m512i hi = pack_channels16(bright_end16(r, f, e.tint_r, e.plus),
                                     bright_end16(g, f, e.tint_g, e.plus),
                                     bright_end16(b, f, e.tint_b, e.plus), a);
  _mm512_mask_storeu_epi32(out, m, _mm512_maskz_mov_epi32(pass, lo));
  // Passing words whose ends differ somewhere: the tables.
  const __mmask16 differ = _mm512_mask_cmpneq_epi32_mask(pass, lo, hi);
  if (differ == 0) return;
  alignas(64) uint32_t words[16], lumas[16];
  _mm512_store_si512(words, w);
  _mm512_store_si512(lumas, l.luma);
  for (uint32_t d = differ; d != 0; d &= d - 1) {
    const int k = __builtin_ctz(d);
    out[k] = bright_from_tables(words[k], lumas[k], table);
  }
}

// Thirty-two words share one test for a passing word, as at AVX2 below.
KVFX_TARGET_AVX512 void bright_row_avx512(const uint32_t* in, uint32_t* out, int32_t n,
                                          int32_t thr, const uint8_t* const* table,
                                          double denom, const double* tint) {
  const bool estimable = bright_estimable(thr);
  const BrightVectors16 e = bright_vectors16(bright_estimate(denom, tint));
  const __m512i threshold = _mm512_set1_epi32(thr);
  for (int32_t x = 0; x < n; x += 32) {
    // The caller's rows are met here first, a row or two at a time between
    // blur passes.
    prefetch_ahead(in + x);
    prefetch_ahead(in + x + 16);
    const int32_t x1 = std::min(x + 16, n);  // the second half, empty past the end
    const __mmask16 m0 = tail_mask16(n - x), m1 = tail_mask16(n - x1);
    const __m512i w0 = _mm512_maskz_loadu_epi32(m0, in + x);
    const __m512i w1 = _mm512_maskz_loadu_epi32(m1, in + x1);
    const Luma16 l0 = luma16(w0), l1 = luma16(w1);
    const __mmask16 pass0 = _mm512_mask_cmpgt_epi32_mask(m0, l0.luma, threshold);
    const __mmask16 pass1 = _mm512_mask_cmpgt_epi32_mask(m1, l1.luma, threshold);
    if ((pass0 | pass1) == 0) {  // no gather, even a masked one, is cheap
      _mm512_mask_storeu_epi32(out + x, m0, _mm512_setzero_si512());
      _mm512_mask_storeu_epi32(out + x1, m1, _mm512_setzero_si512());
      continue;
    }
    bright_block16(out + x, m0, w0, l0, pass0, estimable, e, threshold, table);
    bright_block16(out + x1, m1, w1, l1, pass1, estimable, e, threshold, table);
  }
}

// Sixteen screened words, one gather per channel.
KVFX_TARGET_AVX512 inline __m512i screen_gather16(__mmask16 m, __m512i s, __m512i b,
                                                  const uint8_t* table) {
  // Index (b_c << 8) | s_c for each channel at bits 16, 8 and 0.
  const __m512i ir = _mm512_or_si512(_mm512_slli_epi32(channel16<16>(b), 8), channel16<16>(s));
  const __m512i ig = _mm512_or_si512(_mm512_slli_epi32(channel16<8>(b), 8), channel16<8>(s));
  const __m512i ib = _mm512_or_si512(_mm512_slli_epi32(channel16<0>(b), 8), channel16<0>(s));
  return with_rgb16(s, gather_bytes(m, ir, table), gather_bytes(m, ig, table),
                    gather_bytes(m, ib, table));
}

KVFX_TARGET_AVX512 void screen_row_avx512(uint32_t* row, const uint32_t* glow, int32_t n,
                                          const uint8_t* table, double) {
  for (int32_t x = 0; x < n; x += 16) {
    const __mmask16 m = tail_mask16(n - x);
    const __m512i s = _mm512_maskz_loadu_epi32(m, row + x);
    const __m512i b = _mm512_maskz_loadu_epi32(m, glow + x);
    _mm512_mask_storeu_epi32(row + x, m, screen_gather16(m, s, b, table));
  }
}

// With VBMI, a block whose glow is 0 in every colour byte (most of a frame,
// away from the bright parts) looks up table row 0 by byte permutations
// instead, as the channel tables do, keeping alpha from the image words.
// The screen blend estimated in floats where its bracket is sure of the
// byte. In reals the formula is v = 255 - (1 - bt) (255 - s) with
// bt = min(b I / 255, 0.99). In floats (u = 2^-24 each rounding, I / 255
// and 0.99 rounded too), with A = max(1, |I|): bt lands within 3 A u, 1 - bt
// within 5 A u, its product with 255 - s within 1785 A u, and 255 less that,
// + or - E, within 3315 A u of v + or - E; the double formula is within
// 2^-40 A of v. With E twice the first bound plus 2^-30 A, the two ends
// bracket the formula's value, and channel_to_byte, which never decreases,
// gives its byte wherever it gives the same byte at both. A glow channel of
// 0 takes the table's row 0 (its results are not always the plain s), a
// source channel of 255 gives 255 exactly, and the channels left unsure are
// looked up one by one.
struct ScreenEstimate {
  float scale, width;
};

bool screen_estimable(double intensity) {
  return rounding_to_nearest() && std::fabs(intensity) <= 16.0;
}

ScreenEstimate screen_estimate(double intensity) {
  const double a = std::max(1.0, std::fabs(intensity));
  return {static_cast<float>(intensity / 255.0),
          static_cast<float>(2.0 * 3315.0 * a * 0x1p-24 + 0x1p-30 * a)};
}

// The estimate's constants in vectors, made once a row: made where they are
// used, the compilers broadcast some of them again in every block that
// estimates (a shuffle each, on the one port an Intel core has for them).
struct ScreenVectors16 {
  __m512 scale, cap, one, full, width;
};

KVFX_TARGET_AVX512 inline ScreenVectors16 screen_vectors16(const ScreenEstimate& e) {
  return {_mm512_set1_ps(e.scale), _mm512_set1_ps(0.99f), _mm512_set1_ps(1.0f),
          _mm512_set1_ps(255.0f), _mm512_set1_ps(e.width)};
}

// Both ends of one channel's bracket (channel at bit kShift).
template <int kShift>
KVFX_TARGET_AVX512 inline void screen_ends16(__m512i s, __m512i b, const ScreenVectors16& e,
                                             __m512i* lo, __m512i* hi) {
  const __m512 bt = _mm512_min_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(channel16<kShift>(b)), e.scale),
                                  e.cap);
  const __m512 rest = _mm512_cvtepi32_ps(_mm512_sub_epi32(_mm512_set1_epi32(255), channel16<kShift>(s)));
  const __m512 x = _mm512_sub_ps(e.full, _mm512_mul_ps(_mm512_sub_ps(e.one, bt), rest));
  *lo = _mm512_cvttps_epi32(_mm512_sub_ps(x, e.width));
  *hi = _mm512_cvttps_epi32(_mm512_add_ps(x, e.width));
}

// With VBMI: where the glow is 0 in every colour channel (most of a frame
// outside the bright parts), byte permutations of the table's row 0.
KVFX_TARGET_AVX512_VBMI void screen_row_vbmi(uint32_t* row, const uint32_t* glow, int32_t n,
                                             const uint8_t* table, double intensity) {
  const ByteTable512 zero_glow = load_byte_table(table);  // row 0: the glow's byte is 0
  const __m512i colour = _mm512_set1_epi32(0x00FFFFFF);
  const bool estimable = screen_estimable(intensity);
  const ScreenVectors16 e = screen_vectors16(screen_estimate(intensity));
  for (int32_t x = 0; x < n; x += 16) {
    prefetch_ahead(row + x);
    const __mmask16 m = tail_mask16(n - x);
    const __m512i s = _mm512_maskz_loadu_epi32(m, row + x);
    const __m512i b = _mm512_maskz_loadu_epi32(m, glow + x);
    const __m512i zero_row = rgb_through_table16(s, zero_glow);
    if (_mm512_test_epi32_mask(b, colour) == 0) {
      _mm512_mask_storeu_epi32(row + x, m, zero_row);
      continue;
    }
    if (!estimable) {
      _mm512_mask_storeu_epi32(row + x, m, screen_gather16(m, s, b, table));
      continue;
    }
    __m512i lr, hr, lg, hg, lb, hb;
    screen_ends16<16>(s, b, e, &lr, &hr);
    screen_ends16<8>(s, b, e, &lg, &hg);
    screen_ends16<0>(s, b, e, &lb, &hb);
    const __m512i a = _mm512_srli_epi32(s, 24);
    const __m512i lo = pack_channels16(lr, lg, lb, a), hi = pack_channels16(hr, hg, hb, a);
    const __mmask64 glow_zero = _mm512_cmpeq_epi8_mask(b, _mm512_setzero_si512());
    const __mmask64 source_full = _mm512_cmpeq_epi8_mask(s, _mm512_set1_epi8(-1));
    __m512i out = _mm512_mask_blend_epi8(source_full, lo, _mm512_set1_epi8(-1));
    out = _mm512_mask_blend_epi8(glow_zero, out, zero_row);
    _mm512_mask_storeu_epi32(row + x, m, out);
    // Colour bytes of the run where the ends differ: the table, one by one.
    uint64_t unsure = _mm512_mask_cmpneq_epi8_mask(~(glow_zero | source_full) & 0x7777777777777777ull,
                                                   lo, hi) &
                      (m == 0xFFFF ? ~0ull : (uint64_t{1} << (4 * __builtin_popcount(m))) - 1);
    if (unsure == 0) continue;
    alignas(64) uint8_t sb[64], bb[64];
    _mm512_store_si512(sb, s);
    _mm512_store_si512(bb, b);
    uint8_t* out_bytes = reinterpret_cast<uint8_t*>(row + x);
    for (; unsure != 0; unsure &= unsure - 1) {
      const int i = __builtin_ctzll(unsure);
      out_bytes[i] = table[bb[i] << 8 | sb[i]];
    }
  }
}
#endif

// Rows through the tables, generic: the luma and the pass test vectorize, the
// lookups are scalar loads.
KVFX_INLINE void bright_row(const uint32_t* in, uint32_t* out, int32_t n, int32_t thr,
                            const uint8_t* const* table, double, const double*) {
  for (int32_t x = 0; x < n; ++x) {
    const uint32_t w = in[x], r = red_of(w), g = green_of(w), b = blue_of(w);
    const uint32_t luma = bloom_luma(r, g, b);
    const uint32_t word = bright_from_tables(w, luma, table);
    out[x] = bloom_passes(luma, thr) ? word : 0;
  }
}

// The same estimate, generic, for the compiler to vectorize where no row is
// written by hand (the portable level, NEON, SIMD128); unsure words then
// come from the tables, read again from `in`, so a row in place goes through
// the tables. (Keeping an unsure word's input in `out` instead costs a
// sixth of the pass.)
KVFX_INLINE void bright_row_estimated(const uint32_t* in, uint32_t* out, int32_t n, int32_t thr,
                                      const uint8_t* const* table, double denom,
                                      const double* tint) {
  // At thresholds of 255 and above no word passes, and with a denominator
  // of 1 the lanes' products could leave int32.
  if (in == out || !bright_estimable(thr) || thr >= 255)
    return bright_row(in, out, n, thr, table, denom, tint);
  const BrightEstimate e = bright_estimate(denom, tint);
  auto estimate = [&](int64_t k) {
    const uint32_t w = in[k];
    const float r = channel_float(red_of(w)), g = channel_float(green_of(w)),
                b = channel_float(blue_of(w));
    // The luma in floats, exactly: the sum is a whole number below 2^18, and
    // (sum + 1/2) / 1000 lies at least 1/2000 from a whole number, which its
    // rounded product by 0.001 misses by far less. (Vectors without 32-bit
    // multiplies then need none.)
    const float sum = (r * 299.0f + g * 587.0f) + b * 114.0f;
    const int32_t luma = truncate_small((sum + 0.5f) * 0.001f);
    const float f = static_cast<float>(luma - thr) * e.inverse_denominator;
    const float xr = (r * f) * e.tint[0], xg = (g * f) * e.tint[1], xb = (b * f) * e.tint[2];
    // Lanes that do not pass may lie below 0, down to -255 * 254.
    const uint32_t lo = static_cast<uint32_t>(truncate_small(xr - e.width)) << 16 |
                        static_cast<uint32_t>(truncate_small(xg - e.width)) << 8 |
                        static_cast<uint32_t>(truncate_small(xb - e.width));
    const uint32_t hi = static_cast<uint32_t>(truncate_small(xr + e.width)) << 16 |
                        static_cast<uint32_t>(truncate_small(xg + e.width)) << 8 |
                        static_cast<uint32_t>(truncate_small(xb + e.width));
    const bool pass = luma > thr;
    out[k] = pass ? (w & 0xFF000000u) | lo : 0;
    return pass & (lo != hi);
  };
  auto fix = [&](int64_t k) {
    const uint32_t w = in[k];
    out[k] = bright_from_tables(w, bloom_luma(red_of(w), green_of(w), blue_of(w)), table);
  };
  estimate_then_fix(n, estimate, fix);
}

KVFX_INLINE void screen_row(uint32_t* row, const uint32_t* glow, int32_t n, const uint8_t* table,
                            double) {
  for (int32_t x = 0; x < n; ++x) {
    const uint32_t s = row[x], b = glow[x];
    row[x] = with_rgb(s, table[red_of(b) << 8 | red_of(s)], table[green_of(b) << 8 | green_of(s)],
                      table[blue_of(b) << 8 | blue_of(s)]);
  }
}

#if KVFX_X86
// ---- AVX2: the same estimates on eight words ----------------------------------
//
// The bright pass and the screen blend as the AVX-512 kernels above compute
// them, eight lanes at a time: the same float operations in the same order,
// so the same brackets hold. Where a bracket cannot be used (another
// rounding mode, an intensity beyond 16) and for the last n % 8 words, the
// generic rows compiled for this level.

// The luma of eight words, as luma16 above.
struct Luma8 {
  __m256i red_blue, green, luma;
};

KVFX_TARGET_AVX2 inline Luma8 luma8(__m256i w) {
  const __m256i low_bytes = _mm256_set1_epi32(0x00FF00FF);
  const __m256i red_blue = _mm256_and_si256(w, low_bytes);
  const __m256i green_alpha = _mm256_and_si256(_mm256_srli_epi32(w, 8), low_bytes);
  const __m256i sum =
      _mm256_add_epi32(_mm256_madd_epi16(red_blue, _mm256_set1_epi32(299 << 16 | 114)),
                       _mm256_madd_epi16(green_alpha, _mm256_set1_epi32(587)));
  const __m256i luma = _mm256_srli_epi32(
      _mm256_mulhi_epu16(_mm256_srli_epi32(sum, 3), _mm256_set1_epi32(33555)), 6);
  return {red_blue, _mm256_and_si256(green_alpha, _mm256_set1_epi32(0xFF)), luma};
}

// The estimate's constants in vectors, made once a row (see ScreenVectors16).
struct BrightVectors8 {
  __m256 inverse_denominator, tint_r, tint_g, tint_b, minus, plus;
};

KVFX_TARGET_AVX2 inline BrightVectors8 bright_vectors8(const BrightEstimate& e) {
  return {_mm256_set1_ps(e.inverse_denominator), _mm256_set1_ps(e.tint[0]),
          _mm256_set1_ps(e.tint[1]),             _mm256_set1_ps(e.tint[2]),
          _mm256_set1_ps(-e.width),              _mm256_set1_ps(e.width)};
}

// (c f) t for one channel's bytes c, in floats.
KVFX_TARGET_AVX2 inline __m256 bright_scaled8(__m256i c, __m256 f, __m256 tint) {
  return _mm256_mul_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(c), f), tint);
}

// The three channels' ends at one side of a bracket, packed by shifts: each
// end lies in 0 .. 255.
KVFX_TARGET_AVX2 inline __m256i truncated_rgb8(__m256 r, __m256 g, __m256 b, __m256 shift) {
  return _mm256_or_si256(
      _mm256_or_si256(_mm256_slli_epi32(_mm256_cvttps_epi32(_mm256_add_ps(r, shift)), 16),
                      _mm256_slli_epi32(_mm256_cvttps_epi32(_mm256_add_ps(g, shift)), 8)),
      _mm256_cvttps_epi32(_mm256_add_ps(b, shift)));
}

// Eight bright words where they pass (zero elsewhere), the unsure ones from
// the tables.
KVFX_TARGET_AVX2 inline void bright_block8(uint32_t* out, __m256i w, const Luma8& l,
                                           __m256i pass, const BrightVectors8& e,
                                           __m256i threshold, const uint8_t* const* table) {
  const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_sub_epi32(l.luma, threshold)),
                                 e.inverse_denominator);
  const __m256i red = _mm256_srli_epi32(l.red_blue, 16);
  const __m256i blue = _mm256_and_si256(l.red_blue, _mm256_set1_epi32(0xFF));
  const __m256 r = bright_scaled8(red, f, e.tint_r), g = bright_scaled8(l.green, f, e.tint_g),
               b = bright_scaled8(blue, f, e.tint_b);
  const __m256i lo = truncated_rgb8(r, g, b, e.minus);
  const __m256i hi = truncated_rgb8(r, g, b, e.plus);
  const __m256i alpha = _mm256_and_si256(w, _mm256_set1_epi32(static_cast<int>(0xFF000000u)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      _mm256_and_si256(pass, _mm256_or_si256(lo, alpha)));
  // Passing words whose ends differ somewhere: the tables.
  const __m256i differ = _mm256_andnot_si256(_mm256_cmpeq_epi32(lo, hi), pass);
  uint32_t unsure = static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(differ)));
  if (unsure == 0) return;
  alignas(32) uint32_t words[8], lumas[8];  // in may be out
  _mm256_store_si256(reinterpret_cast<__m256i*>(words), w);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lumas), l.luma);
  for (; unsure != 0; unsure &= unsure - 1) {
    const int k = __builtin_ctz(unsure);
    out[k] = bright_from_tables(words[k], lumas[k], table);
  }
}

// Thirty-two words share one test for a passing word: the dark parts of a
// frame cost their lumas alone, and a frame of scattered bright words does
// not pay a mispredicted branch every eight words.
KVFX_TARGET_AVX2 void bright_row_avx2_estimated(const uint32_t* in, uint32_t* out, int32_t n,
                                                int32_t thr, const uint8_t* const* table,
                                                double denom, const double* tint) {
  const BrightVectors8 e = bright_vectors8(bright_estimate(denom, tint));
  const __m256i threshold = _mm256_set1_epi32(thr);
  int32_t x = 0;
  for (; x + 32 <= n; x += 32) {
    prefetch_ahead(in + x);
    prefetch_ahead(in + x + 16);
    __m256i w[4], pass[4];
    Luma8 l[4];
    for (int j = 0; j < 4; ++j) {
      w[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x + 8 * j));
      l[j] = luma8(w[j]);
      pass[j] = _mm256_cmpgt_epi32(l[j].luma, threshold);
    }
    const __m256i any =
        _mm256_or_si256(_mm256_or_si256(pass[0], pass[1]), _mm256_or_si256(pass[2], pass[3]));
    if (_mm256_testz_si256(any, any)) {
      for (int j = 0; j < 4; ++j)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x + 8 * j), _mm256_setzero_si256());
      continue;
    }
    for (int j = 0; j < 4; ++j)
      bright_block8(out + x + 8 * j, w[j], l[j], pass[j], e, threshold, table);
  }
  for (; x < n; x += 8) {
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x));
    const Luma8 l = luma8(w);
    bright_block8(out + x, w, l, _mm256_cmpgt_epi32(l.luma, threshold), e, threshold, table);
  }
}

KVFX_TARGET_AVX2 void bright_row_avx2(const uint32_t* in, uint32_t* out, int32_t n, int32_t thr,
                                      const uint8_t* const* table, double denom,
                                      const double* tint) {
  const int32_t whole = bright_estimable(thr) ? n - n % 8 : 0;
  if (whole > 0) bright_row_avx2_estimated(in, out, whole, thr, table, denom, tint);
  if (whole < n)
    AtEachLevel<bright_row>::avx2(in + whole, out + whole, n - whole, thr, table, denom, tint);
}

// The estimate's constants in vectors, made once a row, as ScreenVectors16.
struct ScreenVectors8 {
  __m256 scale, cap, one, full, width;
};

KVFX_TARGET_AVX2 inline ScreenVectors8 screen_vectors8(const ScreenEstimate& e) {
  return {_mm256_set1_ps(e.scale), _mm256_set1_ps(0.99f), _mm256_set1_ps(1.0f),
          _mm256_set1_ps(255.0f), _mm256_set1_ps(e.width)};
}

// Both ends of one channel's screen bracket (channel at bit kShift).
template <int kShift>
KVFX_TARGET_AVX2 inline void screen_ends8(__m256i s, __m256i b, const ScreenVectors8& e,
                                          __m256i* lo, __m256i* hi) {
  const __m256 bt = _mm256_min_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(channel8<kShift>(b)), e.scale),
                                  e.cap);
  const __m256 rest =
      _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_set1_epi32(255), channel8<kShift>(s)));
  const __m256 x = _mm256_sub_ps(e.full, _mm256_mul_ps(_mm256_sub_ps(e.one, bt), rest));
  *lo = _mm256_cvttps_epi32(_mm256_sub_ps(x, e.width));
  *hi = _mm256_cvttps_epi32(_mm256_add_ps(x, e.width));
}

// Row 0 of the table (a glow byte of 0) gives s or s - 1 for a source byte s
// (1 - (1 - s / 255) rounds below s / 255 for some s): which of the two, as
// a bit per s in two 16-byte halves, found from the table itself. Looked up
// by byte shuffles, as a whole-number result no bracket can settle.
struct RowZeroBits {
  __m256i low, high;  // bits of s = 0 .. 127 and 128 .. 255, byte s / 8 % 16
  bool usable;        // row 0 holds only s and s - 1
};

KVFX_TARGET_AVX2 inline RowZeroBits row_zero_bits(const uint8_t* table) {
  alignas(32) uint8_t bits[32] = {};
  bool usable = true;
  for (int v = 0; v < 256; ++v) {
    const int d = v - table[v];
    usable = usable && (d == 0 || d == 1);
    if (d == 1) bits[v / 8] = static_cast<uint8_t>(bits[v / 8] | 1u << (v % 8));
  }
  const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(bits));
  const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(bits + 16));
  return {_mm256_broadcastsi128_si256(lo), _mm256_broadcastsi128_si256(hi), usable};
}

// Every byte s of v through row 0: s less its bit.
KVFX_TARGET_AVX2 inline __m256i through_row_zero(__m256i v, const RowZeroBits& z) {
  const __m256i index = _mm256_and_si256(_mm256_srli_epi16(v, 3), _mm256_set1_epi8(0x1F));
  // Bit 4 of the index (bytes 16 .. 31 of the bits) moved to each byte's top bit.
  const __m256i upper = _mm256_slli_epi16(index, 3);
  const __m256i byte = _mm256_blendv_epi8(_mm256_shuffle_epi8(z.low, index),
                                          _mm256_shuffle_epi8(z.high, index), upper);
  const __m256i bit = _mm256_shuffle_epi8(
      _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16,
                       32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128),
      _mm256_and_si256(v, _mm256_set1_epi8(7)));
  return _mm256_add_epi8(v, _mm256_cmpeq_epi8(_mm256_and_si256(byte, bit), bit));
}

// Where the glow is 0 in a colour byte, row 0; where the source is 255, 255;
// elsewhere the bracket where it is sure and the table, byte by byte, where
// it is not.
KVFX_TARGET_AVX2 void screen_row_avx2_estimated(uint32_t* row, const uint32_t* glow, int32_t n,
                                                const uint8_t* table, double intensity,
                                                const RowZeroBits& zero) {
  const ScreenVectors8 e = screen_vectors8(screen_estimate(intensity));
  const __m256i colour = _mm256_set1_epi32(0x00FFFFFF);
  for (int32_t x = 0; x < n; x += 8) {
    prefetch_ahead(row + x);
    __m256i* at = reinterpret_cast<__m256i*>(row + x);
    const __m256i s = _mm256_loadu_si256(at);
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(glow + x));
    const __m256i zero_row = _mm256_blendv_epi8(s, through_row_zero(s, zero), colour);
    if (_mm256_testz_si256(b, colour)) {
      _mm256_storeu_si256(at, zero_row);
      continue;
    }
    __m256i lr, hr, lg, hg, lb, hb;
    screen_ends8<16>(s, b, e, &lr, &hr);
    screen_ends8<8>(s, b, e, &lg, &hg);
    screen_ends8<0>(s, b, e, &lb, &hb);
    const __m256i a = _mm256_srli_epi32(s, 24);
    const __m256i lo = pack_channels8(lr, lg, lb, a), hi = pack_channels8(hr, hg, hb, a);
    const __m256i full = _mm256_cmpeq_epi8(s, _mm256_set1_epi8(-1));
    const __m256i glow_zero = _mm256_cmpeq_epi8(b, _mm256_setzero_si256());
    _mm256_storeu_si256(at, _mm256_blendv_epi8(_mm256_or_si256(lo, full), zero_row, glow_zero));
    // Colour bytes with a glow whose ends differ where the source is not
    // 255: the table, one by one.
    const __m256i settled = _mm256_or_si256(_mm256_cmpeq_epi8(lo, hi), _mm256_or_si256(full, glow_zero));
    uint32_t unsure = ~static_cast<uint32_t>(_mm256_movemask_epi8(settled)) & 0x77777777u;
    if (unsure == 0) continue;
    alignas(32) uint8_t sb[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(sb), s);
    const uint8_t* glow_bytes = reinterpret_cast<const uint8_t*>(glow + x);
    uint8_t* out_bytes = reinterpret_cast<uint8_t*>(row + x);
    for (; unsure != 0; unsure &= unsure - 1) {
      const int i = __builtin_ctz(unsure);
      out_bytes[i] = table[glow_bytes[i] << 8 | sb[i]];
    }
  }
}

KVFX_TARGET_AVX2 void screen_row_avx2(uint32_t* row, const uint32_t* glow, int32_t n,
                                      const uint8_t* table, double intensity) {
  const RowZeroBits zero = row_zero_bits(table);
  const int32_t whole = screen_estimable(intensity) && zero.usable ? n - n % 8 : 0;
  if (whole > 0) screen_row_avx2_estimated(row, glow, whole, table, intensity, zero);
  if (whole < n)
    AtEachLevel<screen_row>::avx2(row + whole, glow + whole, n - whole, table, intensity);
}
#endif

KVFX_INLINE void downsample_row(const uint32_t* b0, const uint32_t* b1, uint32_t* h, int32_t hw) {
  for (int32_t x = 0; x < hw; ++x)
    h[x] = bloom_downsample_word(b0[2 * x], b0[2 * x + 1], b1[2 * x], b1[2 * x + 1]);
}

#if KVFX_X86
// The 2 x 2 means at AVX2, eight half words from sixteen words of each row:
// red and blue, then green, as 16-bit fields of the lanes (four bytes add
// to at most 1020), the two rows added lane by lane and each word's right
// neighbour by a shift of the 64-bit lanes; the even lanes hold the sums.
KVFX_TARGET_AVX2 inline __m256i half_words4(__m256i top, __m256i bottom) {
  const __m256i low_bytes = _mm256_set1_epi32(0x00FF00FF);
  __m256i rb =
      _mm256_add_epi32(_mm256_and_si256(top, low_bytes), _mm256_and_si256(bottom, low_bytes));
  __m256i ga = _mm256_add_epi32(_mm256_and_si256(_mm256_srli_epi32(top, 8), low_bytes),
                                _mm256_and_si256(_mm256_srli_epi32(bottom, 8), low_bytes));
  rb = _mm256_add_epi32(rb, _mm256_srli_epi64(rb, 32));
  ga = _mm256_add_epi32(ga, _mm256_srli_epi64(ga, 32));
  return _mm256_or_si256(
      _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(rb, 2), low_bytes),
                      _mm256_and_si256(_mm256_slli_epi32(ga, 6), _mm256_set1_epi32(0xFF00))),
      _mm256_set1_epi32(static_cast<int>(0xFF000000u)));
}

KVFX_TARGET_AVX2 void downsample_row_avx2(const uint32_t* b0, const uint32_t* b1, uint32_t* h,
                                          int32_t hw) {
  int32_t x = 0;
  for (; x + 8 <= hw; x += 8) {
    const __m256i* top = reinterpret_cast<const __m256i*>(b0 + 2 * x);
    const __m256i* bottom = reinterpret_cast<const __m256i*>(b1 + 2 * x);
    const __m256i lo = half_words4(_mm256_loadu_si256(top), _mm256_loadu_si256(bottom));
    const __m256i hi = half_words4(_mm256_loadu_si256(top + 1), _mm256_loadu_si256(bottom + 1));
    // Even lanes of both, in order: 0 1 4 5 | 2 3 6 7 by 128-bit halves,
    // then the middle 64-bit quarters swapped.
    const __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(
        _mm256_castsi256_ps(lo), _mm256_castsi256_ps(hi), _MM_SHUFFLE(2, 0, 2, 0)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(h + x),
                        _mm256_permute4x64_epi64(even, _MM_SHUFFLE(3, 1, 2, 0)));
  }
  AtEachLevel<downsample_row>::avx2(b0 + 2 * x, b1 + 2 * x, h + x, hw - x);
}
#endif

#if KVFX_X86
// The same at AVX-512, sixteen half words at a time; one permute gathers the
// even lanes of two vectors.
KVFX_TARGET_AVX512 inline __m512i half_words8(__m512i top, __m512i bottom) {
  const __m512i low_bytes = _mm512_set1_epi32(0x00FF00FF);
  __m512i rb =
      _mm512_add_epi32(_mm512_and_si512(top, low_bytes), _mm512_and_si512(bottom, low_bytes));
  __m512i ga = _mm512_add_epi32(_mm512_and_si512(_mm512_srli_epi32(top, 8), low_bytes),
                                _mm512_and_si512(_mm512_srli_epi32(bottom, 8), low_bytes));
  rb = _mm512_add_epi32(rb, _mm512_srli_epi64(rb, 32));
  ga = _mm512_add_epi32(ga, _mm512_srli_epi64(ga, 32));
  return _mm512_or_si512(
      _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi32(rb, 2), low_bytes),
                      _mm512_and_si512(_mm512_slli_epi32(ga, 6), _mm512_set1_epi32(0xFF00))),
      _mm512_set1_epi32(static_cast<int>(0xFF000000u)));
}

KVFX_TARGET_AVX512 void downsample_row_avx512(const uint32_t* b0, const uint32_t* b1, uint32_t* h,
                                              int32_t hw) {
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  int32_t x = 0;
  for (; x + 16 <= hw; x += 16) {
    const uint32_t* top = b0 + 2 * x;
    const uint32_t* bottom = b1 + 2 * x;
    const __m512i lo = half_words8(_mm512_loadu_si512(top), _mm512_loadu_si512(bottom));
    const __m512i hi = half_words8(_mm512_loadu_si512(top + 16), _mm512_loadu_si512(bottom + 16));
    _mm512_storeu_si512(h + x, _mm512_permutex2var_epi32(lo, even, hi));
  }
  AtEachLevel<downsample_row>::avx512(b0 + 2 * x, b1 + 2 * x, h + x, hw - x);
}
#endif

KVFX_INLINE void enlarge_row(const uint32_t* glow, uint32_t* wide, int32_t width, int32_t hw) {
  for (int32_t x = 0; x < hw; ++x) wide[2 * x] = wide[2 * x + 1] = glow[x];
  for (int32_t x = 2 * hw; x < width; ++x) wide[x] = glow[hw - 1];  // an odd last column
}

}  // namespace

struct BloomKernels {
  // out[x] = the bright word of in[x] through the (luma, channel) tables;
  // thr is not INT32_MIN.
  void (*bright_row)(const uint32_t* in, uint32_t* out, int32_t n, int32_t thr,
                     const uint8_t* const* table, double denom, const double* tint);
  // row[x] = screen(row[x], glow[x]) through the (bloom, channel) table.
  void (*screen_row)(uint32_t* row, const uint32_t* glow, int32_t n, const uint8_t* table,
                     double intensity);
  void (*downsample_row)(const uint32_t* b0, const uint32_t* b1, uint32_t* h, int32_t hw);
  void (*enlarge_row)(const uint32_t* glow, uint32_t* wide, int32_t width, int32_t hw);
};

namespace {

using Bright = AtEachLevel<bright_row_estimated>;
using Screen = AtEachLevel<screen_row>;
using Down = AtEachLevel<downsample_row>;
using Up = AtEachLevel<enlarge_row>;
const BloomKernels kPortable = {Bright::portable, Screen::portable, Down::portable, Up::portable};
#if KVFX_X86
const BloomKernels kAvx2 = {bright_row_avx2, screen_row_avx2, downsample_row_avx2, Up::avx2};
#else
const BloomKernels kAvx2 = {Bright::avx2, Screen::avx2, Down::avx2, Up::avx2};
#endif
#if KVFX_X86
const BloomKernels kAvx512 = {bright_row_avx512, screen_row_avx512, downsample_row_avx512,
                              Up::avx512};
const BloomKernels kAvx512Vbmi = {bright_row_avx512, screen_row_vbmi, downsample_row_avx512,
                                  Up::avx512};
#endif

// The zero-glow shortcut of the screen blend needs VBMI on top of AVX-512.
const KernelTable<BloomKernels>& bloom_kernels() {
  static const KernelTable<BloomKernels> table = {
      &kPortable, &kAvx2,
#if KVFX_X86
      cpu_has_avx512_vbmi() ? &kAvx512Vbmi : &kAvx512,
#else
      nullptr,
#endif
      nullptr, nullptr};
  return table;
}

}  // namespace

void bloom_downsample_row(const uint32_t* b0, const uint32_t* b1, uint32_t* h, int32_t hw) {
  pick(bloom_kernels()).downsample_row(b0, b1, h, hw);
}

void bloom_enlarge_row(const uint32_t* glow, uint32_t* wide, int32_t width, int32_t hw) {
  pick(bloom_kernels()).enlarge_row(glow, wide, width, hw);
}

BrightPass::BrightPass(double threshold, uint32_t tint, int64_t words)
    : thr_(bloom_threshold(threshold)), denom_(bloom_denominator(thr_)),
      tint_{red_of(tint) / 255.0, green_of(tint) / 255.0, blue_of(tint) / 255.0},
      kernels_(&pick(bloom_kernels())) {
  const bool one_tint = tint_[0] == tint_[1] && tint_[1] == tint_[2];
  const int tables = one_tint ? 1 : 3;
  if (!worth_tables(words)) return;
  // Three bytes of slack: a gather lane reads four bytes.
  storage_ = ScratchArray<uint8_t>::uninitialised(tables * kTableEntries + 3);
  uint8_t* t = storage_.data();
  for (int c = 0; c < 3; ++c) table_[c] = t + (one_tint ? 0 : c) * kTableEntries;
  for (int c = 0; c < tables; ++c)
    for (uint32_t luma = 0; luma < 256; ++luma) {
      if (!bloom_passes(luma, thr_)) continue;
      const double f = bloom_pass_factor(luma, thr_, denom_);
      uint8_t* row = t + c * kTableEntries + luma * 256;
      for (uint32_t v = 0; v < 256; ++v)
        row[v] = static_cast<uint8_t>(bloom_bright_channel(v, f, tint_[c]));
    }
}

uint32_t BrightPass::operator()(uint32_t w) const {
  if (!table_[0]) return bloom_bright_word(w, thr_, denom_, tint_[0], tint_[1], tint_[2]);
  const uint32_t r = red_of(w), g = green_of(w), b = blue_of(w);
  const uint32_t luma = bloom_luma(r, g, b);
  if (!bloom_passes(luma, thr_)) return 0;
  return (w & 0xFF000000u) | uint32_t{table_[0][luma << 8 | r]} << 16 |
         uint32_t{table_[1][luma << 8 | g]} << 8 | table_[2][luma << 8 | b];
}

void BrightPass::row(const uint32_t* in, uint32_t* out, int32_t n) const {
  if (table_[0] && thr_ != INT32_MIN)
    return kernels_->bright_row(in, out, n, thr_, table_, denom_, tint_);
  for (int32_t x = 0; x < n; ++x) out[x] = (*this)(in[x]);
}

ScreenBlend::ScreenBlend(double intensity, int64_t words)
    : intensity_(intensity), kernels_(&pick(bloom_kernels())) {
  if (!worth_tables(words)) return;
  storage_ = ScratchArray<uint8_t>::uninitialised(kTableEntries + 3);
  uint8_t* t = storage_.data();
  for (uint32_t b = 0; b < 256; ++b)
    for (uint32_t c = 0; c < 256; ++c)
      t[b * 256 + c] = static_cast<uint8_t>(screen_channel(c, b, intensity));
  table_ = t;
}

uint32_t ScreenBlend::operator()(uint32_t s, uint32_t b) const {
  if (!table_) return screen_word(s, b, intensity_);
  return with_rgb(s, table_[red_of(b) << 8 | red_of(s)], table_[green_of(b) << 8 | green_of(s)],
                  table_[blue_of(b) << 8 | blue_of(s)]);
}

void ScreenBlend::blend_row(uint32_t* row, const uint32_t* glow, int32_t n) const {
  if (table_) return kernels_->screen_row(row, glow, n, table_, intensity_);
  for (int32_t x = 0; x < n; ++x) row[x] = (*this)(row[x], glow[x]);
}

}  // namespace kvfx
