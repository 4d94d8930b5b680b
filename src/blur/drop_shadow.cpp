// Drop shadow: the source's alpha, tinted, moved and blurred, composited under
// the source into the destination.
//
// dst is written only by the final composite, after the shadow image and the
// blur's scratch exist, so a failure leaves it as it was. dst may alias src:
// the composite reads src[k] before it writes dst[k], in increasing k, and the
// shadow is built from src before any of that.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "core/kernels.h"
#include "core/simd.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "core/split.h"
#include "kelvo_fx.h"

#if KVFX_SIMD128
#include <wasm_simd128.h>
#endif

namespace kvfx {

uint32_t shadow_coverage_word(uint32_t s, uint32_t color) {
  const uint32_t coverage = (alpha_of(s) * alpha_of(color)) / 255;
  return coverage << 24 | (color & 0xFFFFFFu);
}

uint32_t composite_word(uint32_t s, uint32_t h) {
  return composite_with_inverse(s, h, inverse_alpha(alpha_of(s)));
}

namespace {

// 1 - alpha / 255 for every alpha: the one division of composite_word, done
// 256 times per call instead of once per word.
struct InverseAlphaTable {
  double inv[256];
  InverseAlphaTable() {
    for (uint32_t a = 0; a < 256; ++a) inv[a] = inverse_alpha(a);
  }
};

// The shadow word for every source alpha, by shadow_coverage_word.
struct ShadowWordTable {
  uint32_t word[256];
  explicit ShadowWordTable(uint32_t color) {
    for (uint32_t a = 0; a < 256; ++a) word[a] = shadow_coverage_word(a << 24, color);
  }
};

// Generic forms of the two per-word passes, for the compiler to vectorize.
// A shadow word by its table (shadow_coverage_word of each alpha).
KVFX_INLINE void coverage_span(const uint32_t* from, uint32_t* to, int64_t n, uint32_t,
                               const uint32_t* word) {
  for (int64_t x = 0; x < n; ++x) to[x] = word[alpha_of(from[x])];
}

// The composite in integers. For a source alpha a and a shadow channel h,
// the true h (1 - a / 255) is h (255 - a) / 255; where 255 does not divide
// x = h (255 - a) it lies at least 1/255 from every integer, far beyond the
// double product's error, so channel_to_byte(h * inv + s) is min(255, s +
// floor(x / 255)), and floor(x / 255) is (x * 0x8081) >> 23 for every
// x < 2^16. Where 255 divides x the product may fall a hair short of the
// integer (1,230 of the 65,536 (a, h) pairs, a and h neither 0 nor 255 -
// a), and the sum's rounding then depends on s: those channels, the lanes
// called unsure below, take the formula word by word. Checked over every
// (a, h, s) by the tests.

// One channel of that: shadow channel h over source channel c, keep = 255 -
// the source's alpha. *unsure gains 1 where 255 divides x (and x is not 0),
// which leaves the lane to the formula unless keep is 255.
KVFX_INLINE uint32_t composite_channel_integer(uint32_t h, uint32_t c, uint32_t keep,
                                               uint32_t* unsure) {
  const uint32_t x = h * keep, q = (x * 0x8081u) >> 23;
  *unsure |= static_cast<uint32_t>(x != 0) & static_cast<uint32_t>(x == 255 * q);
  return std::min(255u, c + q);
}

// d[k] = composite of s[k] over h[k], d apart from h and either apart from
// s or s itself: every word in integers, an unsure word keeping its source
// word for the formula.
KVFX_INLINE void composite_run(const uint32_t* s, const uint32_t* h, uint32_t* d, int64_t n,
                               const double* inverse) {
  auto estimate = [&](int64_t k) {
    const uint32_t sw = s[k], hw = h[k], keep = 255 - (sw >> 24);
    uint32_t out = 0, u = 0;
    for (int c = 0; c < 32; c += 8)
      out |= composite_channel_integer(hw >> c & 0xFF, sw >> c & 0xFF, keep, &u) << c;
    const bool unsure = (u & static_cast<uint32_t>(keep != 255)) != 0;
    d[k] = unsure ? sw : out;
    return unsure;
  };
  auto fix = [&](int64_t k) {
    const uint32_t sw = d[k];
    d[k] = composite_with_inverse(sw, h[k], inverse[alpha_of(sw)]);
  };
  estimate_then_fix(n, estimate, fix);
}

#if KVFX_X86
// shadow_coverage_word on sixteen words at once: (a * cA) / 255 is
// (a * cA * 32897) >> 23 for every pair of bytes, in 16-bit halves of the
// lanes: a * cA fits 16 bits, and the shift by 23 is the high half of the
// product by 32897, shifted by 7. Each row of the source is
// met here first, one row at a time between blur passes, so it prefetches;
// so does the composite for the destination row it writes.
KVFX_TARGET_AVX512 void coverage_span_avx512(const uint32_t* from, uint32_t* to, int64_t n,
                                             uint32_t color, const uint32_t*) {
  const __m512i ca = _mm512_set1_epi32(static_cast<int>(color >> 24));
  const __m512i rgb = _mm512_set1_epi32(static_cast<int>(color & 0xFFFFFFu));
  for (int64_t x = 0; x < n; x += 16) {
    prefetch_ahead(from + x);
    const __mmask16 m = tail_mask16(n - x);
    const __m512i a = _mm512_srli_epi32(_mm512_maskz_loadu_epi32(m, from + x), 24);
    const __m512i cover = _mm512_srli_epi32(
        _mm512_mulhi_epu16(_mm512_mullo_epi16(a, ca), _mm512_set1_epi32(32897)), 7);
    _mm512_mask_storeu_epi32(to + x, m, _mm512_or_si512(_mm512_slli_epi32(cover, 24), rgb));
  }
}

// The same at AVX2. (The generic form looks each word up, which the
// compiler does with a gather.)
KVFX_TARGET_AVX2 void coverage_span_avx2(const uint32_t* from, uint32_t* to, int64_t n,
                                         uint32_t color, const uint32_t* word) {
  const __m256i ca = _mm256_set1_epi32(static_cast<int>(color >> 24));
  const __m256i rgb = _mm256_set1_epi32(static_cast<int>(color & 0xFFFFFFu));
  int64_t x = 0;
  for (; x + 8 <= n; x += 8) {
    prefetch_ahead(from + x);
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + x));
    const __m256i a = _mm256_srli_epi32(w, 24);
    const __m256i cover = _mm256_srli_epi32(
        _mm256_mulhi_epu16(_mm256_mullo_epi16(a, ca), _mm256_set1_epi32(32897)), 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + x),
                        _mm256_or_si256(_mm256_slli_epi32(cover, 24), rgb));
  }
  for (; x < n; ++x) to[x] = word[alpha_of(from[x])];
}
#endif

// The word by word composite, in increasing k: the only form that may run
// with dst overlapping src other than as src itself.
void composite_run_in_order(const uint32_t* s, const uint32_t* h, uint32_t* d, int64_t n,
                            const double* inverse) {
  for (int64_t k = 0; k < n; ++k) {
    const uint32_t sw = s[k];
    d[k] = composite_with_inverse(sw, h[k], inverse[alpha_of(sw)]);
  }
}

#if KVFX_X86
// The composite in integers as composite_run above, by hand.

// Sixteen words whose source is not opaque or whose shadow is not 0 come out
// as the source word, so a block of only those is copied. As at AVX2 below,
// with no byte shuffles (one shuffle port runs them on some cores): each
// 16-bit lane takes a word's even or odd bytes, and one saturating byte add
// joins the quotients to the source.
KVFX_TARGET_AVX512 void composite_run_avx512(const uint32_t* s, const uint32_t* h, uint32_t* d,
                                             int64_t n, const double* inverse) {
  const __m512i low_bytes = _mm512_set1_epi16(0xFF);
  const __m512i magic = _mm512_set1_epi16(static_cast<short>(0x8081));
  for (int64_t k = 0; k < n; k += 16) {
    prefetch_ahead(d + k);
    const __mmask16 m = tail_mask16(n - k);
    const __m512i sw = _mm512_maskz_loadu_epi32(m, s + k);
    const __m512i hw = _mm512_maskz_loadu_epi32(m, h + k);
    const __m512i a = _mm512_srli_epi32(sw, 24);
    const __mmask16 busy = _mm512_mask_test_epi32_mask(m, hw, hw) &
                           _mm512_cmpneq_epi32_mask(a, _mm512_set1_epi32(0xFF));
    if (busy == 0) {
      _mm512_mask_storeu_epi32(d + k, m, sw);
      continue;
    }
    // 255 - a in both 16-bit lanes of each word.
    const __m512i keep = _mm512_xor_si512(_mm512_or_si512(a, _mm512_slli_epi32(a, 16)), low_bytes);
    const __m512i x0 = _mm512_mullo_epi16(_mm512_and_si512(hw, low_bytes), keep);
    const __m512i x1 = _mm512_mullo_epi16(_mm512_srli_epi16(hw, 8), keep);
    const __m512i q0 = _mm512_srli_epi16(_mm512_mulhi_epu16(x0, magic), 7);
    const __m512i q1 = _mm512_srli_epi16(_mm512_mulhi_epu16(x1, magic), 7);
    const __m512i q = _mm512_or_si512(q0, _mm512_slli_epi16(q1, 8));
    // x = 255 q exactly, x not 0 and a not 0; two lanes per word. Lanes past
    // the run hold zero words, never unsure.
    const __mmask32 kept = _mm512_cmpneq_epi16_mask(keep, low_bytes);
    const uint32_t unsure =
        (_mm512_mask_cmpeq_epi16_mask(kept & _mm512_test_epi16_mask(x0, x0), x0,
                                      _mm512_sub_epi16(_mm512_slli_epi16(q0, 8), q0)) |
         _mm512_mask_cmpeq_epi16_mask(kept & _mm512_test_epi16_mask(x1, x1), x1,
                                      _mm512_sub_epi16(_mm512_slli_epi16(q1, 8), q1)));
    if (unsure == 0) {
      _mm512_mask_storeu_epi32(d + k, m, _mm512_adds_epu8(sw, q));
      continue;
    }
    alignas(64) uint32_t source[16];  // d may be s
    _mm512_store_si512(source, sw);
    _mm512_mask_storeu_epi32(d + k, m, _mm512_adds_epu8(sw, q));
    for (uint32_t lanes = unsure; lanes != 0; lanes &= ~(3u << (__builtin_ctz(lanes) & ~1))) {
      const int w = __builtin_ctz(lanes) / 2;
      d[k + w] = composite_with_inverse(source[w], h[k + w], inverse[alpha_of(source[w])]);
    }
  }
}

// The same at the AVX2 level, eight words at a time, with no byte shuffles:
// a word's even bytes (blue, red) and odd bytes (green, alpha) each fill a
// 16-bit lane, 255 - a goes to both lanes of its word by shifts, and the
// quotients rejoin the source bytes by one saturating byte add (s + q,
// clamped at 255).

// Lanes where x = 255 q exactly, x not 0 and a not 0.
KVFX_TARGET_AVX2 inline __m256i unsure16(__m256i x, __m256i q, __m256i keep) {
  const __m256i exact = _mm256_cmpeq_epi16(x, _mm256_sub_epi16(_mm256_slli_epi16(q, 8), q));
  const __m256i trivial = _mm256_or_si256(_mm256_cmpeq_epi16(x, _mm256_setzero_si256()),
                                          _mm256_cmpeq_epi16(keep, _mm256_set1_epi16(0xFF)));
  return _mm256_andnot_si256(trivial, exact);
}

KVFX_TARGET_AVX2 void composite_run_avx2(const uint32_t* s, const uint32_t* h, uint32_t* d,
                                         int64_t n, const double* inverse) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i low_bytes = _mm256_set1_epi16(0xFF);
  const __m256i magic = _mm256_set1_epi16(static_cast<short>(0x8081));
  int64_t k = 0;
  for (; k + 8 <= n; k += 8) {
    prefetch_ahead(d + k);
    const __m256i sw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k));
    const __m256i hw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + k));
    const __m256i a = _mm256_srli_epi32(sw, 24);
    const __m256i idle = _mm256_or_si256(_mm256_cmpeq_epi32(hw, zero),
                                         _mm256_cmpeq_epi32(a, _mm256_set1_epi32(0xFF)));
    if (_mm256_movemask_epi8(idle) == -1) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + k), sw);
      continue;
    }
    // 255 - a in both 16-bit lanes of each word.
    const __m256i keep = _mm256_xor_si256(_mm256_or_si256(a, _mm256_slli_epi32(a, 16)), low_bytes);
    const __m256i x0 = _mm256_mullo_epi16(_mm256_and_si256(hw, low_bytes), keep);
    const __m256i x1 = _mm256_mullo_epi16(_mm256_srli_epi16(hw, 8), keep);
    const __m256i q0 = _mm256_srli_epi16(_mm256_mulhi_epu16(x0, magic), 7);
    const __m256i q1 = _mm256_srli_epi16(_mm256_mulhi_epu16(x1, magic), 7);
    const __m256i q = _mm256_or_si256(q0, _mm256_slli_epi16(q1, 8));
    // Two bytes of the mask per 16-bit lane, four per word.
    const __m256i unsure = _mm256_or_si256(unsure16(x0, q0, keep), unsure16(x1, q1, keep));
    uint32_t bytes = static_cast<uint32_t>(_mm256_movemask_epi8(unsure));
    if (bytes == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + k), _mm256_adds_epu8(sw, q));
      continue;
    }
    alignas(32) uint32_t source[8];  // d may be s
    _mm256_store_si256(reinterpret_cast<__m256i*>(source), sw);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + k), _mm256_adds_epu8(sw, q));
    for (; bytes != 0; bytes &= ~(0xFu << (__builtin_ctz(bytes) & ~3))) {
      const int w = __builtin_ctz(bytes) / 4;
      d[k + w] = composite_with_inverse(source[w], h[k + w], inverse[alpha_of(source[w])]);
    }
  }
  for (; k < n; ++k) d[k] = composite_with_inverse(s[k], h[k], inverse[alpha_of(s[k])]);
}
#endif

// The coverage of four source rows' alphas, row q's in byte q of the packed
// words: (a * cA) / 255 is (a * cA * 32897) >> 23 for every pair of bytes,
// and the product fits 32 bits.
KVFX_INLINE void pack_coverage(const uint32_t* const* rows, uint32_t* to, int64_t n,
                               uint32_t color) {
  const uint32_t k = (color >> 24) * 32897u;
  const uint32_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
  for (int64_t x = 0; x < n; ++x)
    to[x] = (r0[x] >> 24) * k >> 23 | ((r1[x] >> 24) * k >> 23) << 8 |
            ((r2[x] >> 24) * k >> 23) << 16 | ((r3[x] >> 24) * k >> 23) << 24;
}
// composite_run over slice q's shadow words, alpha alone, in byte q of the
// packed words p: the same integers, where a channel of 0 adds nothing and
// is never unsure. (The byte's shift a constant: a shift by a count in a
// register takes a shuffle port's micro-op on some cores.)
template <int kShift>
KVFX_INLINE void composite_alpha_bytes(const uint32_t* s, const uint32_t* p, uint32_t* d,
                                       int64_t n, const double* inverse) {
  constexpr int shift = kShift;
  auto estimate = [&](int64_t k) {
    const uint32_t sw = s[k], a = sw >> 24, keep = 255 - a;
    uint32_t u = 0;
    const uint32_t alpha = composite_channel_integer(p[k] >> shift & 0xFF, a, keep, &u);
    const bool unsure = (u & static_cast<uint32_t>(keep != 255)) != 0;
    d[k] = unsure ? sw : (sw & 0xFFFFFFu) | alpha << 24;
    return unsure;
  };
  auto fix = [&](int64_t k) {
    const uint32_t sw = d[k];
    d[k] = composite_with_inverse(sw, (p[k] >> shift & 0xFF) << 24, inverse[alpha_of(sw)]);
  };
  estimate_then_fix(n, estimate, fix);
}
// f(std::integral_constant<int, 8 q>()) for byte q of 4.
template <class F>
KVFX_INLINE void with_byte_shift(int q, const F& f) {
  switch (q) {
    case 0: return f(std::integral_constant<int, 0>());
    case 1: return f(std::integral_constant<int, 8>());
    case 2: return f(std::integral_constant<int, 16>());
    default: return f(std::integral_constant<int, 24>());
  }
}
KVFX_INLINE void composite_alpha_run(const uint32_t* s, const uint32_t* p, int q, uint32_t* d,
                                     int64_t n, const double* inverse) {
  with_byte_shift(q, [&](auto shift) {
    composite_alpha_bytes<decltype(shift)::value>(s, p, d, n, inverse);
  });
}

#if KVFX_SIMD128
// The same two passes in SIMD128, four words at a time, for the reasons and
// with the unsure lanes of the AVX2 forms: where the compiler is left to the
// generic forms it looks each coverage word up, and composites in 32-bit
// lanes.
void coverage_span_simd128(const uint32_t* from, uint32_t* to, int64_t n, uint32_t color,
                           const uint32_t* word) {
  const v128_t ca = wasm_u32x4_splat(color >> 24);
  const v128_t rgb = wasm_u32x4_splat(color & 0xFFFFFFu);
  const v128_t magic = wasm_u32x4_splat(32897);
  int64_t x = 0;
  for (; x + 4 <= n; x += 4) {
    const v128_t a = wasm_u32x4_shr(wasm_v128_load(from + x), 24);
    const v128_t cover = wasm_u32x4_shr(wasm_i32x4_mul(wasm_i32x4_mul(a, ca), magic), 23);
    wasm_v128_store(to + x, wasm_v128_or(wasm_i32x4_shl(cover, 24), rgb));
  }
  for (; x < n; ++x) to[x] = word[alpha_of(from[x])];
}

// Lanes where x = 255 q exactly, x not 0 and a not 0.
inline v128_t unsure16(v128_t x, v128_t q, v128_t keep) {
  const v128_t exact = wasm_i16x8_eq(x, wasm_i16x8_sub(wasm_i16x8_shl(q, 8), q));
  const v128_t trivial = wasm_v128_or(wasm_i16x8_eq(x, wasm_i16x8_splat(0)),
                                      wasm_i16x8_eq(keep, wasm_i16x8_splat(0xFF)));
  return wasm_v128_andnot(exact, trivial);
}

// floor(x / 255) for x < 2^16: (x * 0x8081) >> 23.
inline v128_t div255(v128_t x) {
  const v128_t magic = wasm_u16x8_splat(0x8081);
  const v128_t lo = wasm_u32x4_extmul_low_u16x8(x, magic), hi = wasm_u32x4_extmul_high_u16x8(x, magic);
  return wasm_u16x8_shr(wasm_i16x8_shuffle(lo, hi, 1, 3, 5, 7, 9, 11, 13, 15), 7);
}

// Even and odd bytes in 16-bit lanes, as at AVX2.
void composite_run_simd128(const uint32_t* s, const uint32_t* h, uint32_t* d, int64_t n,
                           const double* inverse) {
  const v128_t zero = wasm_i32x4_splat(0);
  const v128_t opaque = wasm_u32x4_splat(0xFF);
  const v128_t low_bytes = wasm_i16x8_splat(0xFF);
  int64_t k = 0;
  for (; k + 4 <= n; k += 4) {
    const v128_t sw = wasm_v128_load(s + k);
    const v128_t hw = wasm_v128_load(h + k);
    const v128_t a = wasm_u32x4_shr(sw, 24);
    const v128_t idle = wasm_v128_or(wasm_i32x4_eq(hw, zero), wasm_i32x4_eq(a, opaque));
    if (wasm_i32x4_all_true(idle)) {
      wasm_v128_store(d + k, sw);
      continue;
    }
    // 255 - a in both 16-bit lanes of each word.
    const v128_t keep = wasm_v128_xor(wasm_v128_or(a, wasm_i32x4_shl(a, 16)), low_bytes);
    const v128_t x0 = wasm_i16x8_mul(wasm_v128_and(hw, low_bytes), keep);
    const v128_t x1 = wasm_i16x8_mul(wasm_u16x8_shr(hw, 8), keep);
    const v128_t q0 = div255(x0), q1 = div255(x1);
    // Two bytes of the mask per 16-bit lane, four per word.
    const uint32_t unsure =
        wasm_i8x16_bitmask(wasm_v128_or(unsure16(x0, q0, keep), unsure16(x1, q1, keep)));
    const v128_t out = wasm_u8x16_add_sat(sw, wasm_v128_or(q0, wasm_i16x8_shl(q1, 8)));
    if (unsure == 0) {
      wasm_v128_store(d + k, out);
      continue;
    }
    alignas(16) uint32_t source[4];  // d may be s
    wasm_v128_store(source, sw);
    wasm_v128_store(d + k, out);
    for (int w = 0; w < 4; ++w)
      if (unsure >> (4 * w) & 0xF)
        d[k + w] = composite_with_inverse(source[w], h[k + w], inverse[alpha_of(source[w])]);
  }
  composite_run(s + k, h + k, d + k, n - k, inverse);
}

// pack_coverage and composite_alpha_run in SIMD128, where the generic forms
// gained nothing in the browser's engine.
void pack_coverage_simd128(const uint32_t* const* rows, uint32_t* to, int64_t n,
                           uint32_t color) {
  const v128_t k = wasm_u32x4_splat((color >> 24) * 32897u);
  auto cover = [&](const uint32_t* row, int64_t x) {
    return wasm_u32x4_shr(wasm_i32x4_mul(wasm_u32x4_shr(wasm_v128_load(row + x), 24), k), 23);
  };
  int64_t x = 0;
  for (; x + 4 <= n; x += 4) {
    const v128_t w = wasm_v128_or(
        wasm_v128_or(cover(rows[0], x), wasm_i32x4_shl(cover(rows[1], x), 8)),
        wasm_v128_or(wasm_i32x4_shl(cover(rows[2], x), 16), wasm_i32x4_shl(cover(rows[3], x), 24)));
    wasm_v128_store(to + x, w);
  }
  const uint32_t* rest[4] = {rows[0] + x, rows[1] + x, rows[2] + x, rows[3] + x};
  pack_coverage(rest, to + x, n - x, color);
}

template <int kShift>
void composite_alpha_bytes_simd128(const uint32_t* s, const uint32_t* p, uint32_t* d, int64_t n,
                                   const double* inverse) {
  const v128_t bytes = wasm_u32x4_splat(0xFF), colour = wasm_u32x4_splat(0xFFFFFFu);
  const v128_t magic = wasm_u32x4_splat(0x8081), zero = wasm_i32x4_splat(0);
  int64_t k = 0;
  for (; k + 4 <= n; k += 4) {
    const v128_t sw = wasm_v128_load(s + k);
    const v128_t h = wasm_v128_and(wasm_u32x4_shr(wasm_v128_load(p + k), kShift), bytes);
    const v128_t a = wasm_u32x4_shr(sw, 24), keep = wasm_i32x4_sub(bytes, a);
    const v128_t x = wasm_i32x4_mul(h, keep);
    const v128_t q = wasm_u32x4_shr(wasm_i32x4_mul(x, magic), 23);
    const v128_t alpha = wasm_u32x4_min(wasm_i32x4_add(a, q), bytes);
    const v128_t out = wasm_v128_or(wasm_v128_and(sw, colour), wasm_i32x4_shl(alpha, 24));
    const v128_t unsure =
        wasm_v128_andnot(wasm_i32x4_eq(x, wasm_i32x4_sub(wasm_i32x4_shl(q, 8), q)),
                         wasm_v128_or(wasm_i32x4_eq(x, zero), wasm_i32x4_eq(keep, bytes)));
    if (!wasm_v128_any_true(unsure)) {
      wasm_v128_store(d + k, out);
      continue;
    }
    alignas(16) uint32_t source[4];  // d may be s
    wasm_v128_store(source, sw);
    wasm_v128_store(d + k, out);
    const uint32_t m = wasm_i32x4_bitmask(unsure);
    for (int w = 0; w < 4; ++w)
      if (m >> w & 1)
        d[k + w] = composite_with_inverse(source[w], (p[k + w] >> kShift & 0xFF) << 24,
                                          inverse[alpha_of(source[w])]);
  }
  composite_alpha_bytes<kShift>(s + k, p + k, d + k, n - k, inverse);
}

void composite_alpha_run_simd128(const uint32_t* s, const uint32_t* p, int q, uint32_t* d,
                                 int64_t n, const double* inverse) {
  with_byte_shift(q, [&](auto shift) {
    composite_alpha_bytes_simd128<decltype(shift)::value>(s, p, d, n, inverse);
  });
}
#endif

struct ShadowKernels {
  // to[x] = the shadow word of from[x]'s alpha (word: that for every alpha).
  void (*coverage_span)(const uint32_t* from, uint32_t* to, int64_t n, uint32_t color,
                        const uint32_t* word);
  // d[k] = composite of s[k] over h[k] for k < n; d apart from h, and
  // apart from s or s itself.
  void (*composite_run)(const uint32_t* s, const uint32_t* h, uint32_t* d, int64_t n,
                        const double* inverse);
  void (*pack_coverage)(const uint32_t* const* rows, uint32_t* to, int64_t n, uint32_t color);
  void (*composite_alpha_run)(const uint32_t* s, const uint32_t* p, int q, uint32_t* d,
                              int64_t n, const double* inverse);
};

using Coverage = AtEachLevel<coverage_span>;
using Composite = AtEachLevel<composite_run>;
using PackCoverage = AtEachLevel<pack_coverage>;
using CompositeAlpha = AtEachLevel<composite_alpha_run>;
const ShadowKernels kPortable = {Coverage::portable, Composite::portable, PackCoverage::portable,
                                 CompositeAlpha::portable};
#if KVFX_X86
const ShadowKernels kAvx2 = {coverage_span_avx2, composite_run_avx2, PackCoverage::avx2,
                             CompositeAlpha::avx2};
const ShadowKernels kAvx512 = {coverage_span_avx512, composite_run_avx512, PackCoverage::avx512,
                               CompositeAlpha::avx512};
#else
const ShadowKernels kAvx2 = {Coverage::avx2, Composite::avx2, PackCoverage::avx2,
                             CompositeAlpha::avx2};
const ShadowKernels kAvx512 = {Coverage::avx512, Composite::avx512, PackCoverage::avx512,
                               CompositeAlpha::avx512};
#endif
#if KVFX_SIMD128
const ShadowKernels kSimd128 = {coverage_span_simd128, composite_run_simd128,
                                pack_coverage_simd128, composite_alpha_run_simd128};
const KernelTable<ShadowKernels> kShadowKernels = {&kPortable, &kAvx2, &kAvx512, nullptr, &kSimd128};
#else
const KernelTable<ShadowKernels> kShadowKernels = {&kPortable, &kAvx2, &kAvx512, nullptr, nullptr};
#endif

// Row y of the shadow image from `source`, row y - dy of the source (nullptr
// where that lies outside the image): word x takes the source's alpha at
// column x - dx where that lies inside the width, and is 0 elsewhere. The
// in-range columns are the same for every row, worked out in 64 bits (dx may
// be INT32_MIN).
void shadow_row_from(const uint32_t* source, uint32_t* to, int32_t width, int32_t dx,
                     const ShadowWordTable& shadow_words, uint32_t color,
                     const ShadowKernels& kernels) {
  const int64_t x_begin = std::max<int64_t>(0, dx);
  const int64_t x_end = std::min<int64_t>(width, static_cast<int64_t>(width) + dx);
  if (!source || x_begin >= x_end) {
    std::fill(to, to + width, 0u);
    return;
  }
  // Only the columns the source does not reach are cleared.
  std::fill(to, to + x_begin, 0u);
  kernels.coverage_span(source + (x_begin - dx), to + x_begin, x_end - x_begin, color,
                        shadow_words.word);
  std::fill(to + x_end, to + width, 0u);
}

// The source row that shadow row y is cast from, or -1 where there is none.
int64_t shadow_source(int64_t y, int32_t dy, int32_t height) {
  const int64_t sy = y - dy;
  return sy >= 0 && sy < height ? sy : -1;
}

void shadow_row(const uint32_t* src, uint32_t* to, int32_t width, int32_t height,
                int64_t row_pixels, int32_t dx, int32_t dy, const ShadowWordTable& shadow_words,
                uint32_t color, int64_t y, const ShadowKernels& kernels) {
  const int64_t sy = shadow_source(y, dy, height);
  shadow_row_from(sy < 0 ? nullptr : src + sy * row_pixels, to, width, dx, shadow_words, color,
                  kernels);
}

// What every band of one call shares: the geometry, the offsets and the
// tables, made once.
struct ShadowCall {
  int32_t width, height;
  int64_t row_pixels;
  int32_t dx, dy;
  uint32_t color;
  ShadowWordTable shadow_words;
  InverseAlphaTable inverse;
  const ShadowKernels& kernels;

  ShadowCall(int32_t w, int32_t h, int64_t rp, int32_t dx_, int32_t dy_, uint32_t c)
      : width(w), height(h), row_pixels(rp), dx(dx_), dy(dy_), color(c), shadow_words(c),
        kernels(pick(kShadowKernels)) {}
};

// dst is a separate block: the shadow is built, blurred and composited one
// row at a time and never stored whole. Row j of dst is written only after
// the blur has taken every shadow row it needs, and the shadow rows are
// built from src, which dst does not touch; so bands need nothing from each
// other.
class StreamedShadow final : public BlurRows {
 public:
  StreamedShadow(const ShadowCall& call, const uint32_t* src, uint32_t* dst)
      : call_(call), src_(src), dst_(dst),
        rows_(ScratchImage::uninitialised(2 * int64_t{call.width})) {}

  // The source row that shadow row y is cast from, or nullptr.
  const uint32_t* source_of(int32_t y) {
    const int64_t sy = shadow_source(y, call_.dy, call_.height);
    return sy < 0 ? nullptr : src_ + sy * call_.row_pixels;
  }
  const uint32_t* input_row(int32_t y) override { return input_row_into(y, rows_.data()); }
  const uint32_t* input_row_into(int32_t y, uint32_t* room) override {
    shadow_row_from(source_of(y), room, call_.width, call_.dx, call_.shadow_words, call_.color,
                    call_.kernels);
    return room;
  }
  uint32_t* output_row(int32_t) override { return rows_.data() + call_.width; }
  void row_done(int32_t j) override {
    composite(j, [&](const uint32_t* s, uint32_t* d) {
      call_.kernels.composite_run(s, rows_.data() + call_.width, d, call_.width,
                                  call_.inverse.inv);
    });
  }
  // Row j by run(source row, destination row).
  template <class Run>
  void composite(int32_t j, const Run& run) {
    const uint32_t* s = src_ + j * call_.row_pixels;
    uint32_t* d = dst_ + j * call_.row_pixels;
    run(s, d);
    // Padding has no shadow, and the composite over 0 is the source word.
    std::copy(s + call_.width, s + call_.row_pixels, d + call_.width);
  }

 private:
  const ShadowCall& call_;
  const uint32_t* src_;
  uint32_t* dst_;
  ScratchImage rows_;
};

// dst is src, composited row by row as in StreamedShadow. A row's source
// words are read just before the composite writes over them, where they
// lie, and a shadow row is cast from the source row dy above it: a
// row that a shadow row still to be built needs is kept, in a ring of the
// band's last dy rows. A band also needs source rows that other bands
// write; those are copied before any band runs. Padding has no shadow and
// keeps its words.
class InPlaceShadow final : public BlurRows {
 public:
  InPlaceShadow(const ShadowCall& call, uint32_t* pixels, int32_t begin, int32_t end,
                int32_t input_begin, int32_t input_end)
      : call_(call), pixels_(pixels), begin_(begin), input_end_(input_end),
        next_input_(input_begin), next_composite_(begin),
        kept_rows_(call.dy > 0 ? std::min<int64_t>(end - begin, call.dy) : 0),
        rows_(ScratchImage::uninitialised((2 + kept_rows_) * int64_t{call.width})) {
    // The source rows the band's shadow rows are cast from, less its own.
    const int64_t lo = std::clamp<int64_t>(int64_t{input_begin} - call.dy, 0, call.height);
    const int64_t hi = std::clamp<int64_t>(int64_t{input_end} - call.dy, lo, call.height);
    foreign_ = BandHalo(lo, std::min<int64_t>(hi, begin), std::max<int64_t>(lo, end), hi,
                        call.width);
  }

  // Copies the rows other bands write; before any band runs.
  int64_t foreign_words() const { return foreign_.words(); }
  void copy_foreign_rows() {
    foreign_.fill([&](int64_t y) { return pixels_ + y * call_.row_pixels; });
  }

  // The source row that shadow row y is cast from, or nullptr; rows are
  // asked for in order, as the blur asks for input rows.
  const uint32_t* source_of(int32_t y) {
    next_input_ = y + 1;
    const int64_t sy = shadow_source(y, call_.dy, call_.height);
    return sy < 0 ? nullptr : source_row(sy);
  }
  const uint32_t* input_row(int32_t y) override { return input_row_into(y, rows_.data()); }
  const uint32_t* input_row_into(int32_t y, uint32_t* room) override {
    shadow_row_from(source_of(y), room, call_.width, call_.dx, call_.shadow_words, call_.color,
                    call_.kernels);
    return room;
  }
  uint32_t* output_row(int32_t) override { return rows_.data() + call_.width; }
  void row_done(int32_t j) override {
    composite(j, [&](const uint32_t* s, uint32_t* d) {
      call_.kernels.composite_run(s, rows_.data() + call_.width, d, call_.width,
                                  call_.inverse.inv);
    });
  }
  // Row j by run(source row, destination row).
  template <class Run>
  void composite(int32_t j, const Run& run) {
    uint32_t* row = pixels_ + j * call_.row_pixels;
    const int64_t needed_by = int64_t{j} + call_.dy;
    // A row no shadow row still needs is composited where it lies.
    const uint32_t* source = row;
    if (needed_by >= next_input_ && needed_by < input_end_) {
      std::memcpy(kept(j), row, static_cast<size_t>(call_.width) * sizeof(uint32_t));
      source = kept(j);
    }
    run(source, row);
    next_composite_ = j + 1;
  }

 private:
  uint32_t* kept(int64_t y) {
    return rows_.data() + (2 + (y - begin_) % kept_rows_) * call_.width;
  }
  const uint32_t* source_row(int64_t sy) {
    if (const uint32_t* copy = foreign_.copy_of(sy)) return copy;
    return sy < next_composite_ ? kept(sy) : pixels_ + sy * call_.row_pixels;
  }

  const ShadowCall& call_;
  uint32_t* pixels_;
  int32_t begin_, input_end_;
  int64_t next_input_, next_composite_;
  int64_t kept_rows_;
  ScratchImage rows_;  // shadow row, blurred row, kept rows
  BandHalo foreign_;
};

// A shadow colour with no red, green or blue (black at any opacity, the
// usual shadow) makes shadow words whose only channel that is not 0 is
// alpha, and a blur of zeros is zeros: only alpha needs blurring. The blur
// keeps the four bytes of a word apart, so a band's rows are cut into four
// slices whose alphas ride in the four bytes of one packed image, blurred
// once: about a quarter of the blur's work. Slice q's packed rows are image
// rows first[q] ... first[q] + rows - 1: its own rows and at least the
// blur's reach beyond them on either side, or up to the image's edge where
// that is nearer, which is then an edge of the packed image too. So every
// sum behind one of its own rows reads the packed image only where it
// holds that slice's own image rows, and the row comes out as from the
// whole image.
struct Slices {
  int32_t rows;                         // of the packed image
  int32_t first[4], begin[4], end[4];   // begin, end: the rows a slice composites
};

// The slices of rows [begin, end) of an image `height` rows high, or false
// where slicing saves too little (or the blur reaches too far).
bool slice_band(int32_t begin, int32_t end, int32_t height, int32_t reach, Slices* s) {
  const int64_t n = int64_t{end} - begin;
  const int64_t rows = (n + 3) / 4 + 2 * int64_t{reach};
  if (reach == INT32_MAX || n < 16 || n < 8 * int64_t{reach} || rows > height) return false;
  s->rows = static_cast<int32_t>(rows);
  for (int q = 0; q < 4; ++q) {
    const Span own = span_of(n, 4, q);
    s->begin[q] = static_cast<int32_t>(begin + own.begin);
    s->end[q] = static_cast<int32_t>(begin + own.end);
    s->first[q] = static_cast<int32_t>(
        std::clamp<int64_t>(int64_t{s->begin[q]} - reach, 0, int64_t{height} - rows));
  }
  return true;
}

// The packed image's rows for one band's blur: each input row packs the
// shadow rows its four slices make (Lane: StreamedShadow or InPlaceShadow,
// one a slice, as for a band of its own), and each blurred row goes back to
// the slices it holds one of their own rows for.
template <class Lane>
class PackedShadow final : public BlurRows {
 public:
  PackedShadow(const ShadowCall& call, const Slices& s, Lane* lanes)
      : call_(call), s_(s), lanes_(lanes),
        rows_(ScratchImage::uninitialised(2 * int64_t{call.width})),
        zeros_(ScratchImage::zeroed(call.width)) {}

  const uint32_t* input_row(int32_t i) override { return input_row_into(i, rows_.data()); }
  // As shadow_row_from, for the four rows at once: the columns the source
  // reaches are the same for every row.
  const uint32_t* input_row_into(int32_t i, uint32_t* room) override {
    const int64_t x_begin = std::max<int64_t>(0, call_.dx);
    const int64_t x_end = std::min<int64_t>(call_.width, int64_t{call_.width} + call_.dx);
    const uint32_t* from[4];
    for (int q = 0; q < 4; ++q) from[q] = lanes_[q].source_of(s_.first[q] + i);
    if (x_begin >= x_end) {
      std::fill(room, room + call_.width, 0u);
      return room;
    }
    for (const uint32_t*& row : from) row = row ? row + (x_begin - call_.dx) : zeros_.data();
    std::fill(room, room + x_begin, 0u);
    call_.kernels.pack_coverage(from, room + x_begin, x_end - x_begin, call_.color);
    std::fill(room + x_end, room + call_.width, 0u);
    return room;
  }
  uint32_t* output_row(int32_t) override { return rows_.data() + call_.width; }
  void row_done(int32_t j) override {
    for (int q = 0; q < 4; ++q) {
      const int32_t y = s_.first[q] + j;
      if (y < s_.begin[q] || y >= s_.end[q]) continue;
      lanes_[q].composite(y, [&](const uint32_t* s, uint32_t* d) {
        call_.kernels.composite_alpha_run(s, rows_.data() + call_.width, q, d, call_.width,
                                          call_.inverse.inv);
      });
    }
  }

 private:
  const ShadowCall& call_;
  Slices s_;
  Lane* lanes_;
  ScratchImage rows_;   // input row, blurred row
  ScratchImage zeros_;  // the source of rows cast from outside the image
};

bool runs_overlap(const uint32_t* a, const uint32_t* b, int64_t count) {
  const auto pa = reinterpret_cast<uintptr_t>(a), pb = reinterpret_cast<uintptr_t>(b);
  const auto bytes = static_cast<uintptr_t>(count) * sizeof(uint32_t);
  return pa < pb + bytes && pb < pa + bytes;
}

// dst overlaps src without being it: the whole shadow first, then the
// composite word by word in increasing order, each source word read just
// before its destination word is written.
void overlapping_shadow(const uint32_t* src, uint32_t* dst, const Buffer& b, int32_t dx,
                        int32_t dy, double sigma, uint32_t color) {
  ScratchImage shadow = ScratchImage::zeroed(b.run_count);
  uint32_t* h = shadow.data();
  const ShadowWordTable shadow_words(color);
  for (int64_t y = 0; y < b.height; ++y)
    shadow_row(src, h + y * b.row_pixels, b.width, b.height, b.row_pixels, dx, dy, shadow_words,
               color, y, kPortable);
  gaussian_blur_in_place(h, b.width, b.height, b.row_pixels, sigma);
  const InverseAlphaTable inverse;
  composite_run_in_order(src, h, dst, b.run_count, inverse.inv);
}

}  // namespace

// Split: row bands of the destination, each its own shadow pipeline over
// the shadow rows its rows need (reach beyond it), all sharing one call's
// tables. From a separate source no band needs anything of another; in
// place, each first copies the source rows it reads that others write. A
// black shadow's band is four slices in one packed blur, each slice a band
// of its own for those rules.
int32_t drop_shadow(const uint32_t* src, uint32_t* dst, int32_t width, int32_t height,
                    int32_t stride, double offset_x, double offset_y, double sigma,
                    uint32_t color, Runner& runner) {
  // The shadow build writes width words per row of an image with the
  // caller's rows, so the policy refuses rows that overlap.
  return run_effect(entry::kDropShadow, src && dst ? src : nullptr, width, height, stride,
                    [&](const Buffer& b) {
    const int32_t dx = round_to_int32(offset_x);
    const int32_t dy = round_to_int32(offset_y);
    const bool in_place = src == dst;
    if (!in_place && runs_overlap(src, dst, b.run_count)) {
      overlapping_shadow(src, dst, b, dx, dy, sigma, color);
      return;
    }
    const ShadowCall call(width, height, b.row_pixels, dx, dy, color);
    const int bands = blur_band_count(runner, b.run_count, height, sigma);
    std::vector<Slices> slices(static_cast<size_t>(bands));
    bool sliced = (color & 0xFFFFFFu) == 0;
    for (int i = 0; i < bands && sliced; ++i) {
      const Span rows = span_of(height, bands, i);
      sliced = slice_band(static_cast<int32_t>(rows.begin), static_cast<int32_t>(rows.end),
                          height, blur_reach(sigma), &slices[i]);
    }
    std::vector<BlurBand> blurs;
    blurs.reserve(static_cast<size_t>(bands));
    for (int i = 0; i < bands; ++i) {
      const Span rows = span_of(height, bands, i);
      if (sliced)
        blurs.emplace_back(width, slices[i].rows, sigma, 0, slices[i].rows, 0, false);
      else
        blurs.emplace_back(width, height, sigma, static_cast<int32_t>(rows.begin),
                           static_cast<int32_t>(rows.end), 0, false);
    }
    const ScratchImage shared = share_scratch(bands, [&](int i) -> BlurBand& { return blurs[i]; });
    // A band's sinks: one, or one a slice.
    const int lanes = sliced ? 4 : 1;
    auto run_bands = [&](auto& sinks) {
      using Lane = typename std::remove_reference_t<decltype(sinks)>::value_type;
      if (!sliced) return runner.run(bands, [&](int i) { blurs[i].run(sinks[i]); });
      std::vector<PackedShadow<Lane>> packed;
      packed.reserve(static_cast<size_t>(bands));
      for (int i = 0; i < bands; ++i) packed.emplace_back(call, slices[i], &sinks[4 * i]);
      runner.run(bands, [&](int i) { blurs[i].run(packed[i]); });
    };
    if (!in_place) {
      std::vector<StreamedShadow> sinks;
      sinks.reserve(static_cast<size_t>(bands * lanes));
      for (int i = 0; i < bands * lanes; ++i) sinks.emplace_back(call, src, dst);
      run_bands(sinks);
      return;
    }
    std::vector<InPlaceShadow> sinks;
    sinks.reserve(static_cast<size_t>(bands * lanes));
    for (int i = 0; i < bands; ++i) {
      if (!sliced) {
        const Span rows = span_of(height, bands, i);
        sinks.emplace_back(call, dst, static_cast<int32_t>(rows.begin),
                           static_cast<int32_t>(rows.end), blurs[i].input_begin(),
                           blurs[i].input_end());
        continue;
      }
      const Slices& sl = slices[i];
      for (int q = 0; q < 4; ++q)
        sinks.emplace_back(call, dst, sl.begin[q], sl.end[q], sl.first[q], sl.first[q] + sl.rows);
    }
    const int count = bands * lanes;
    fill_halos(runner, count, [&](int i) { return sinks[i].foreign_words(); },
               [&](int i) { sinks[i].copy_foreign_rows(); });
    run_bands(sinks);
  });
}

}  // namespace kvfx

