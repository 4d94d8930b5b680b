// Colour grade: brightness, contrast and gamma are per-channel maps, folded
// into one table per call so pow runs at most 256 times; saturation couples
// the channels and is done per word from the table's outputs.
#include <algorithm>
#include <cmath>

#include "color/color_effects.h"
#include "core/boundary.h"
#include "core/channel_table.h"
#include "core/geometry.h"
#include "core/kernels.h"
#include "core/pixel.h"
#include "core/simd.h"
#include "kelvo_fx.h"


namespace kvfx {
namespace {

double grade_exponent(double gamma) { return gamma > 0.0 ? 1.0 / gamma : 1.0; }

uint32_t grade_entry(uint32_t i, double brightness, double contrast,
                     double gamma, double e) {
  // This order (rather than one folded expression) is what makes the neutral
  // table lose one level on a few entries; it is kept as is.
  double t = static_cast<double>(i) / 255.0;
  t = t - 0.5;
  t = t * contrast;
  t = t + 0.5;
  t = t + brightness;
  t = clamp_upper_first(t, 0.0, 1.0);
  if (gamma != 1.0) t = std::pow(t, e);
  return channel_to_byte(t * 255.0);
}

}  // namespace

uint32_t color_grade_entry(uint32_t i, double brightness, double contrast,
                           double gamma) {
  return grade_entry(i, brightness, contrast, gamma, grade_exponent(gamma));
}

ChannelTable color_grade_table(double brightness, double contrast, double gamma) {
  const double e = grade_exponent(gamma);
  return make_channel_table(
      [&](uint32_t i) { return grade_entry(i, brightness, contrast, gamma, e); });
}

uint32_t color_grade_word(uint32_t w, const ChannelTable& table,
                          double saturation) {
  const uint32_t graded = apply_channel_table_word(w, table);
  return saturation == 1.0 ? graded : color_grade_saturate(graded, saturation);
}

namespace {

// The saturation step on words already through the table, for the compiler
// to vectorize, one word per lane.
KVFX_INLINE void saturate_graded(uint32_t* words, int64_t count, double saturation) {
  for (int64_t k = 0; k < count; ++k) words[k] = color_grade_saturate(words[k], saturation);
}

// The saturation step estimated in floats, with the result taken only where
// the estimate is sure of it.
//
// (c - l) s + l is c s + l (1 - s), and l (1 - s) is r kr + g kg + b kb with
// kr = 0.299 (1 - s) and so on. Computed in floats, each product and sum
// rounded on its own (by at most u = 2^-24 relative, the constants rounded
// too), c s + that sum + or - a width E lands within 255 u (6 |1 - s| +
// 3 |s|) (plus terms in u^2 and E u) of the exact value + or - E; the double
// formula is within 2^-40 (1 + |s|) of the exact value. So with E twice the
// first bound plus 2^-30 (1 + |s|), the two estimates lo and hi bracket the
// double value, and channel_to_byte, which never decreases, gives the
// formula's byte wherever it gives the same byte at both ends. Blocks where
// lo and hi give different bytes anywhere (one in seventy at saturation 1.2
// on noise) are done by the formula.
struct SaturationEstimate {
  float s, kr, kg, kb, width;
};

// Saturations the estimate covers: its values stay well inside the 16 bits
// the packing saturates through, and its bracket narrow.
inline bool saturation_estimable(double saturation) {
  if (!rounding_to_nearest()) return false;
  return std::fabs(saturation) <= 16.0;
}

inline SaturationEstimate saturation_estimate(double saturation) {
  const double k = 1.0 - saturation;
  const double width = 2.0 * 0x1p-24 * 255.0 * (6.0 * std::fabs(k) + 3.0 * std::fabs(saturation)) +
                       0x1p-30 * (1.0 + std::fabs(saturation));
  return {static_cast<float>(saturation), static_cast<float>(0.299 * k),
          static_cast<float>(0.587 * k), static_cast<float>(0.114 * k), static_cast<float>(width)};
}

// The table, then saturate(words, n) on the graded words, a cache-sized
// block at a time.
template <class Saturate>
void grade_in_blocks(uint32_t* words, int64_t count, const ChannelTable& table,
                     Saturate saturate) {
  constexpr int64_t kBlock = 2048;
  for (int64_t k = 0; k < count; k += kBlock) {
    const int64_t n = std::min(kBlock, count - k);
    apply_channel_table(words + k, n, table);
    saturate(words + k, n);
  }
}

// The same with the one-word formula, compiled for a level (F).
template <void (*F)(uint32_t*, int64_t, double)>
void grade_by_formula(uint32_t* words, int64_t count, const ChannelTable& table,
                      double saturation) {
  grade_in_blocks(words, count, table, [&](uint32_t* w, int64_t n) { F(w, n, saturation); });
}

// The grey words' saturation (red, green and blue equal c): their formula
// comes to within a unit in the last place of c itself and so defeats any
// bracket, and each of their channels is grey[c].
ChannelTable grey_saturation_table(double saturation) {
  return make_channel_table(
      [&](uint32_t c) { return color_grade_saturate(c * 0x010101u, saturation) & 0xFFu; });
}

// One graded word the estimate was unsure of: a grey by its table, any
// other by the formula.
inline uint32_t saturate_unsure(uint32_t w, const ChannelTable& grey, double saturation) {
  const uint32_t c = w & 0xFF;
  if (((w >> 16) & 0xFF) == c && ((w >> 8) & 0xFF) == c)
    return (w & 0xFF000000u) | grey[c] * 0x010101u;
  return color_grade_saturate(w, saturation);
}

// The estimate without vector intrinsics, for the compiler to vectorize at
// the levels that have no kernel of their own (the same float operations in
// the same order as the AVX2 kernel below, so the same bracket holds): a
// word is written where both ends give its bytes, and the rest, greys among
// them, are made from their graded value left in place.
template <bool kGreysKeep>
KVFX_INLINE void saturate_estimated(uint32_t* words, int64_t count, const SaturationEstimate& e,
                                    const ChannelTable& grey, double saturation) {
  // |v| stays below 2^14 for the saturations the estimate takes.
  auto byte = [](float v) { return clamp_to_byte(truncate_small(v)); };
  auto estimate = [&](int64_t k) {
    const uint32_t w = words[k];
    const float r = channel_float(red_of(w)), g = channel_float(green_of(w)),
                b = channel_float(blue_of(w));
    const float shared = (r * e.kr + g * e.kg) + b * e.kb;
    const float lo = shared - e.width, hi = shared + e.width;
    const float rs = r * e.s, gs = g * e.s, bs = b * e.s;
    const uint32_t out0 = byte(rs + lo) << 16 | byte(gs + lo) << 8 | byte(bs + lo);
    const uint32_t out1 = byte(rs + hi) << 16 | byte(gs + hi) << 8 | byte(bs + hi);
    // Where no grey changes (kGreysKeep), greys stay as they are here, not
    // one by one.
    const bool kept = kGreysKeep && ((w ^ w >> 8) & 0xFFFF) == 0;
    const bool unsure = out0 != out1 && !kept;
    words[k] = out0 != out1 || kept ? w : (w & 0xFF000000u) | out0;
    return unsure;
  };
  auto fix = [&](int64_t k) { words[k] = saturate_unsure(words[k], grey, saturation); };
  estimate_then_fix(count, estimate, fix);
}

// A grey's channels come out as c or c - 1 (its luma is c within an ulp),
// and where the table says so, bit c of these 256 is set where c - 1.
struct GreyDrops {
  bool in_lanes;  // every grey is c or c - 1
  bool any;       // some grey is c - 1
  alignas(32) uint32_t bits[8];
  bool keeps() const { return in_lanes && !any; }  // every grey stays c
};

GreyDrops grey_drops(const ChannelTable& grey) {
  GreyDrops d{true, false, {}};
  for (uint32_t c = 0; c < 256; ++c) {
    if (static_cast<uint32_t>(grey[c]) + 1 == c) d.bits[c >> 5] |= 1u << (c & 31);
    else if (grey[c] != c) d.in_lanes = false;
  }
  for (uint32_t b : d.bits) d.any = d.any || b != 0;
  return d;
}

void grade_estimated(uint32_t* words, int64_t count, const ChannelTable& table,
                     double saturation) {
  if (!saturation_estimable(saturation)) {
    grade_by_formula<AtEachLevel<saturate_graded>::portable>(words, count, table, saturation);
    return;
  }
  const SaturationEstimate e = saturation_estimate(saturation);
  const ChannelTable grey = grey_saturation_table(saturation);
  const bool greys_keep = grey_drops(grey).keeps();
  grade_in_blocks(words, count, table, [&](uint32_t* w, int64_t n) {
    if (greys_keep) saturate_estimated<true>(w, n, e, grey, saturation);
    else saturate_estimated<false>(w, n, e, grey, saturation);
  });
}

#if KVFX_X86

// The words of a block the estimate left unsure (bit i: words[i]) by the
// formula, from their graded values.
inline void saturate_by_formula(uint32_t* words, const uint32_t* graded, uint32_t unsure,
                                double saturation) {
  for (; unsure != 0; unsure &= unsure - 1) {
    const int i = __builtin_ctz(unsure);
    words[i] = color_grade_saturate(graded[i], saturation);
  }
}

// The estimate at the AVX2 level, eight words a step, as estimate16 below,
// four steps to a group. Greys, which no bracket decides, take their drops
// in lanes (kDrops: some grey drops a level) in a second pass over a group
// with an unsure word, as at AVX-512: a branch per step would go either way
// at random in images with greys in them. The other unsure words go one by
// one.
template <bool kDrops>
KVFX_TARGET_AVX2 void saturate_block_avx2(uint32_t* words, int64_t count,
                                          const SaturationEstimate& e, const ChannelTable& grey,
                                          const GreyDrops& drops, double saturation) {
  constexpr int kGroup = 4;
  const __m256 s = _mm256_set1_ps(e.s), kr = _mm256_set1_ps(e.kr), kg = _mm256_set1_ps(e.kg),
               kb = _mm256_set1_ps(e.kb), width = _mm256_set1_ps(e.width);
  const __m256i byte = _mm256_set1_epi32(0xFF);
  int64_t k = 0;
  for (; k + 8 * kGroup <= count; k += 8 * kGroup) {
    alignas(32) uint32_t graded[8 * kGroup];
    uint32_t unsure = 0;  // bit i: word k + i
#pragma GCC unroll 4
    for (int j = 0; j < kGroup; ++j) {
      __m256i* p = reinterpret_cast<__m256i*>(words + k + 8 * j);
      const __m256i w = _mm256_loadu_si256(p);
      _mm256_store_si256(reinterpret_cast<__m256i*>(graded + 8 * j), w);
      const __m256 r = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(w, 16), byte)),
                   g = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(w, 8), byte)),
                   b = _mm256_cvtepi32_ps(_mm256_and_si256(w, byte));
      const __m256 shared = _mm256_add_ps(
          _mm256_add_ps(_mm256_mul_ps(r, kr), _mm256_mul_ps(g, kg)), _mm256_mul_ps(b, kb));
      const __m256 lo = _mm256_sub_ps(shared, width), hi = _mm256_add_ps(shared, width);
      const __m256 rs = _mm256_mul_ps(r, s), gs = _mm256_mul_ps(g, s), bs = _mm256_mul_ps(b, s);
      const __m256i a = _mm256_srli_epi32(w, 24);
      const __m256i out0 = pack_channels8(
          _mm256_cvttps_epi32(_mm256_add_ps(rs, lo)), _mm256_cvttps_epi32(_mm256_add_ps(gs, lo)),
          _mm256_cvttps_epi32(_mm256_add_ps(bs, lo)), a);
      const __m256i out1 = pack_channels8(
          _mm256_cvttps_epi32(_mm256_add_ps(rs, hi)), _mm256_cvttps_epi32(_mm256_add_ps(gs, hi)),
          _mm256_cvttps_epi32(_mm256_add_ps(bs, hi)), a);
      _mm256_storeu_si256(p, out0);
      const uint32_t sure =
          static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(out0, out1))));
      unsure |= (~sure & 0xFF) << (8 * j);
    }
    if (unsure == 0) continue;
    const __m256i low16 = _mm256_set1_epi32(0xFFFF), low5 = _mm256_set1_epi32(31),
                  levels = _mm256_set1_epi32(0x010101),
                  bits = _mm256_load_si256(reinterpret_cast<const __m256i*>(drops.bits));
    for (int j = 0; j < kGroup; ++j) {
      __m256i* p = reinterpret_cast<__m256i*>(words + k + 8 * j);
      const __m256i w = _mm256_load_si256(reinterpret_cast<const __m256i*>(graded + 8 * j));
      // Red, green and blue equal: no bit of the low 16 of w ^ (w >> 8) set.
      const __m256i is_grey = _mm256_cmpeq_epi32(
          _mm256_and_si256(_mm256_xor_si256(w, _mm256_srli_epi32(w, 8)), low16), _mm256_setzero_si256());
      __m256i grey_out = w;
      if (kDrops) {
        // Bit c & 31 of word c >> 5 (the index's low three bits) to the top.
        const __m256i c = _mm256_and_si256(w, byte);
        const __m256i word = _mm256_permutevar8x32_epi32(bits, _mm256_srli_epi32(c, 5));
        const __m256i drop = _mm256_sllv_epi32(word, _mm256_sub_epi32(low5, _mm256_and_si256(c, low5)));
        grey_out = _mm256_castps_si256(_mm256_blendv_ps(
            _mm256_castsi256_ps(w), _mm256_castsi256_ps(_mm256_sub_epi32(w, levels)),
            _mm256_castsi256_ps(drop)));
      }
      _mm256_storeu_si256(p, _mm256_blendv_epi8(_mm256_loadu_si256(p), grey_out, is_grey));
      unsure &= ~(static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(is_grey))) << (8 * j));
    }
    saturate_by_formula(words + k, graded, unsure, saturation);
  }
  for (; k < count; ++k) words[k] = saturate_unsure(words[k], grey, saturation);
}

KVFX_TARGET_AVX2 void grade_avx2(uint32_t* words, int64_t count, const ChannelTable& table,
                                 double saturation) {
  const ChannelTable grey = grey_saturation_table(saturation);
  const GreyDrops drops = grey_drops(grey);
  if (!saturation_estimable(saturation) || !drops.in_lanes) {
    grade_by_formula<AtEachLevel<saturate_graded>::avx2>(words, count, table, saturation);
    return;
  }
  const SaturationEstimate e = saturation_estimate(saturation);
  grade_in_blocks(words, count, table, [&](uint32_t* w, int64_t n) {
    if (drops.any) saturate_block_avx2<true>(w, n, e, grey, drops, saturation);
    else saturate_block_avx2<false>(w, n, e, grey, drops, saturation);
  });
}

struct Estimate16 {
  __m512 s, kr, kg, kb, width;
  double saturation;
};

KVFX_TARGET_AVX512 inline Estimate16 estimate16(double saturation) {
  const SaturationEstimate e = saturation_estimate(saturation);
  return {_mm512_set1_ps(e.s),  _mm512_set1_ps(e.kr),    _mm512_set1_ps(e.kg),
          _mm512_set1_ps(e.kb), _mm512_set1_ps(e.width), saturation};
}

// The saturation step on sixteen graded words by the estimate: the bytes of
// its lower end, and the words where the two ends differ.
struct Estimated16 {
  __m512i out;
  __mmask16 unsure;
};

KVFX_TARGET_AVX512 inline Estimated16 estimate16(__m512i w, const Estimate16& e) {
  const __m512i byte = _mm512_set1_epi32(0xFF);
  const __m512 r = _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srli_epi32(w, 16), byte));
  const __m512 g = _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srli_epi32(w, 8), byte));
  const __m512 b = _mm512_cvtepi32_ps(_mm512_and_si512(w, byte));
  // Fused here: a product and a sum rounded once instead of twice stays
  // inside the same bound.
  const __m512 shared =
      _mm512_fmadd_ps(b, e.kb, _mm512_fmadd_ps(g, e.kg, _mm512_mul_ps(r, e.kr)));
  const __m512 lo = _mm512_sub_ps(shared, e.width), hi = _mm512_add_ps(shared, e.width);
  const __m512i a = _mm512_srli_epi32(w, 24);
  const __m512i out0 = pack_channels16(_mm512_cvttps_epi32(_mm512_fmadd_ps(r, e.s, lo)),
                                    _mm512_cvttps_epi32(_mm512_fmadd_ps(g, e.s, lo)),
                                    _mm512_cvttps_epi32(_mm512_fmadd_ps(b, e.s, lo)), a);
  const __m512i out1 = pack_channels16(_mm512_cvttps_epi32(_mm512_fmadd_ps(r, e.s, hi)),
                                    _mm512_cvttps_epi32(_mm512_fmadd_ps(g, e.s, hi)),
                                    _mm512_cvttps_epi32(_mm512_fmadd_ps(b, e.s, hi)), a);
  return {out0, _mm512_cmpneq_epi32_mask(out0, out1)};
}

// With VBMI the table lookup joins the same pass. The greys take their
// table (grey_saturation_table) in lanes, or stay as they are where no grey
// drops a level (kDrops false), in a second pass over each group of four
// vectors (64 words) that has an unsure word: a branch per vector would go
// either way at random in images with greys in them, one per group is taken
// in nearly every group of those and in nearly none of the others.
template <bool kDrops, bool kWhole>
KVFX_TARGET_AVX512_VBMI inline void grade_group(uint32_t* words, int64_t left,
                                                const ByteTable512& t, const ByteTable512& grey,
                                                const Estimate16& e) {
  constexpr int kGroup = 4;
  __m512i graded[kGroup];
  Estimated16 est[kGroup];
  __mmask16 in_run[kGroup];
  __mmask16 any = 0;
#pragma GCC unroll 4
  for (int j = 0; j < kGroup; ++j) {
    // The arithmetic between loads is long enough for the hardware
    // prefetcher to fall behind.
    prefetch_ahead(words + 16 * j);
    in_run[j] = kWhole ? static_cast<__mmask16>(0xFFFF)
                       : 16 * j < left ? tail_mask16(left - 16 * j) : static_cast<__mmask16>(0);
    graded[j] = rgb_through_table16(_mm512_maskz_loadu_epi32(in_run[j], words + 16 * j), t);
    est[j] = estimate16(graded[j], e);
    _mm512_mask_storeu_epi32(words + 16 * j, in_run[j], est[j].out);
    any |= est[j].unsure & in_run[j];
  }
  if (any == 0) return;
  const __m512i low16 = _mm512_set1_epi32(0xFFFF);
#pragma GCC unroll 4
  for (int j = 0; j < kGroup; ++j) {
    // Red, green and blue equal: no bit of the low 16 of w ^ (w >> 8) set.
    const __mmask16 is_grey = _mm512_testn_epi32_mask(
        _mm512_xor_si512(graded[j], _mm512_srli_epi32(graded[j], 8)), low16);
    _mm512_mask_storeu_epi32(words + 16 * j, is_grey & in_run[j],
                             kDrops ? rgb_through_table16(graded[j], grey) : graded[j]);
    const uint32_t unsure = est[j].unsure & in_run[j] & static_cast<__mmask16>(~is_grey);
    if (unsure == 0) continue;
    alignas(64) uint32_t g[16];
    _mm512_store_si512(g, graded[j]);
    saturate_by_formula(words + 16 * j, g, unsure, e.saturation);
  }
}

template <bool kDrops>
KVFX_TARGET_AVX512_VBMI void grade_vbmi_t(uint32_t* words, int64_t count, const ByteTable512& t,
                                          const ByteTable512& grey, const Estimate16& e) {
  int64_t k = 0;
  for (; k + 64 <= count; k += 64) grade_group<kDrops, true>(words + k, 64, t, grey, e);
  if (k < count) grade_group<kDrops, false>(words + k, count - k, t, grey, e);
}

KVFX_TARGET_AVX512_VBMI void grade_vbmi(uint32_t* words, int64_t count, const ChannelTable& table,
                                        double saturation) {
  if (!saturation_estimable(saturation)) {
    grade_by_formula<AtEachLevel<saturate_graded>::avx512>(words, count, table, saturation);
    return;
  }
  const ChannelTable grey_table = grey_saturation_table(saturation);
  const GreyDrops d = grey_drops(grey_table);
  const bool drops = !d.keeps();
  const ByteTable512 t = load_byte_table(table.data()), grey = load_byte_table(grey_table.data());
  const Estimate16 e = estimate16(saturation);
  if (drops) grade_vbmi_t<true>(words, count, t, grey, e);
  else grade_vbmi_t<false>(words, count, t, grey, e);
}

#endif

struct GradeKernels {
  // words[0 .. count - 1] through the table, then the saturation step.
  void (*grade)(uint32_t* words, int64_t count, const ChannelTable& table, double saturation);
};

const GradeKernels kPortable = {grade_estimated};
#if KVFX_X86
const GradeKernels kAvx2 = {grade_avx2}, kVbmi = {grade_vbmi};
#else
const GradeKernels kAvx2 = kPortable, kVbmi = kPortable;
#endif

// The AVX-512 kernel needs VBMI for its table lookups; without it the level
// below runs.
const KernelTable<GradeKernels>& grade_kernels() {
  static const KernelTable<GradeKernels> table = {
      &kPortable, &kAvx2, cpu_has_avx512_vbmi() ? &kVbmi : nullptr, nullptr, nullptr};
  return table;
}

}  // namespace

// Split: the run cut into equal spans of words, all graded by one table.
int32_t color_grade(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                    double brightness, double contrast, double saturation, double gamma,
                    Runner& runner) {
  return run_effect(entry::kColorGrade, pixels, width, height, stride, [&](const Buffer& b) {
    const ChannelTable table = color_grade_table(brightness, contrast, gamma);
    const GradeKernels& kernels = pick(grade_kernels());
    const bool table_only = saturation == 1.0;
    const int64_t work = table_only ? channel_table_work(b.run_count) : b.run_count;
    const int pieces = pieces_for(runner, work, b.run_count);
    runner.run(pieces, [&](int i) {
      const Span words = span_of(b.run_count, pieces, i);
      if (table_only) {
        // color_grade_word reduces to a plain table lookup here.
        apply_channel_table(pixels + words.begin, words.end - words.begin, table);
      } else {
        kernels.grade(pixels + words.begin, words.end - words.begin, table, saturation);
      }
    });
  });
}

}  // namespace kvfx
