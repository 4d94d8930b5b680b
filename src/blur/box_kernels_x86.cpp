// x86 vector forms of the box kernels. Each gives exactly the words of the
// portable form: the sums are the same exact integers, and the conversion is
// either the same IEEE double multiply and truncation, or, where
// BoxScale::exact_in_float says so, the single-precision form that is proven
// to give the same integer.
#include "blur/box_kernels.h"

#include <type_traits>

#include "blur/box_kernels_narrow.h"
#include "core/kernels.h"
#include "core/simd.h"

#if KVFX_X86

namespace kvfx {
namespace {

using narrow::Loss;
using narrow::with_form;

constexpr float kFloorBias = 1.0f / 512.0f;

inline uint32_t word_from_sums(const int32_t* s, double k) {
  uint32_t w = 0;
  for (int c = 0; c < 4; ++c) w |= box_sum_to_byte(s[c], k) << (8 * c);
  return w;
}

// ---- AVX2: two words (eight lanes) per step --------------------------------

KVFX_TARGET_AVX2 inline __m256i load2_lanes(const uint32_t* w) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(w)));
}

template <bool kFloat>
KVFX_TARGET_AVX2 inline void store2_bytes(uint32_t* out, __m256i s, const BoxScale& scale) {
  __m128i lo, hi;
  if (kFloat) {
    const __m256 f = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(s), _mm256_set1_ps(scale.kf)),
                                   _mm256_set1_ps(kFloorBias));
    const __m256i q = _mm256_cvttps_epi32(f);
    lo = _mm256_castsi256_si128(q);
    hi = _mm256_extracti128_si256(q, 1);
  } else {
    const __m256d k = _mm256_set1_pd(scale.k);
    lo = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(s)), k));
    hi = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(s, 1)), k));
  }
  const __m128i packed = _mm_packus_epi32(lo, hi);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(packed, packed));
}

template <bool kFloat>
KVFX_TARGET_AVX2 void run_span_avx2_t(const uint32_t* add, const uint32_t* sub, int32_t n,
                                      int32_t* w, const BoxScale& scale, uint32_t* b) {
  // carry holds the running sum of the word before the current pair in both
  // halves; each step adds the pair's differences, scanned within the pair.
  __m256i carry = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)));
  int32_t j = 0;
  for (; j + 2 <= n; j += 2) {
    __m256i d = _mm256_sub_epi32(load2_lanes(add + j), load2_lanes(sub + j));
    d = _mm256_add_epi32(d, _mm256_permute2x128_si256(d, d, 0x08));
    store2_bytes<kFloat>(b + j, _mm256_add_epi32(d, carry), scale);
    carry = _mm256_add_epi32(carry, _mm256_permute2x128_si256(d, d, 0x11));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(w), _mm256_castsi256_si128(carry));
  for (; j < n; ++j) {
    for (int c = 0; c < 4; ++c) w[c] += lane(add[j], c) - lane(sub[j], c);
    b[j] = word_from_sums(w, scale.k);
  }
}

KVFX_TARGET_AVX2 void run_span_avx2(const uint32_t* add, const uint32_t* sub, int32_t n,
                                    int32_t* w, const BoxScale& scale, uint32_t* b) {
  if (scale.exact_in_float)
    run_span_avx2_t<true>(add, sub, n, w, scale, b);
  else
    run_span_avx2_t<false>(add, sub, n, w, scale, b);
}

KVFX_TARGET_AVX2 void accumulate_avx2(void* block, const uint32_t* row, int32_t n, int32_t times) {
  int32_t* sums = static_cast<int32_t*>(block);
  const __m256i t = _mm256_set1_epi32(times);
  int32_t x = 0;
  for (; x + 2 <= n; x += 2) {
    __m256i* s = reinterpret_cast<__m256i*>(sums + 4 * x);
    _mm256_storeu_si256(s, _mm256_add_epi32(_mm256_loadu_si256(s), _mm256_mullo_epi32(load2_lanes(row + x), t)));
  }
  for (; x < n; ++x)
    for (int c = 0; c < 4; ++c) sums[4 * x + c] += times * lane(row[x], c);
}

template <bool kFloat>
KVFX_TARGET_AVX2 void slide_and_emit_avx2_t(int32_t* sums, const uint32_t* add, const uint32_t* sub,
                                            uint32_t* out, int32_t n, const BoxScale& scale) {
  int32_t x = 0;
  for (; x + 2 <= n; x += 2) {
    __m256i* sp = reinterpret_cast<__m256i*>(sums + 4 * x);
    __m256i s = _mm256_add_epi32(_mm256_loadu_si256(sp), load2_lanes(add + x));
    s = _mm256_sub_epi32(s, load2_lanes(sub + x));
    _mm256_storeu_si256(sp, s);
    store2_bytes<kFloat>(out + x, s, scale);
  }
  for (; x < n; ++x) {
    for (int c = 0; c < 4; ++c) sums[4 * x + c] += lane(add[x], c) - lane(sub[x], c);
    out[x] = word_from_sums(sums + 4 * x, scale.k);
  }
}

KVFX_TARGET_AVX2 void slide_and_emit_avx2(void* block, const uint32_t* add, const uint32_t* sub,
                                          uint32_t* out, int32_t n, const BoxScale& scale) {
  int32_t* sums = static_cast<int32_t*>(block);
  if (scale.exact_in_float)
    slide_and_emit_avx2_t<true>(sums, add, sub, out, n, scale);
  else
    slide_and_emit_avx2_t<false>(sums, add, sub, out, n, scale);
}

KVFX_TARGET_AVX2 void emit_avx2(const void* block, uint32_t* out, int32_t n, const BoxScale& scale) {
  const int32_t* sums = static_cast<const int32_t*>(block);
  int32_t x = 0;
  for (; x + 2 <= n; x += 2)
    store2_bytes<false>(out + x, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + 4 * x)), scale);
  for (; x < n; ++x) out[x] = word_from_sums(sums + 4 * x, scale.k);
}

// ---- AVX-512: four words (sixteen lanes) per step ---------------------------

KVFX_TARGET_AVX512 inline __m512i load4_lanes(const uint32_t* w) {
  return _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)));
}

template <bool kFloat>
KVFX_TARGET_AVX512 inline void store4_bytes(uint32_t* out, __m512i s, const BoxScale& scale) {
  __m512i q;
  if (kFloat) {
    const __m512 f = _mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(s), _mm512_set1_ps(scale.kf)),
                                   _mm512_set1_ps(kFloorBias));
    q = _mm512_cvttps_epi32(f);
  } else {
    const __m512d k = _mm512_set1_pd(scale.k);
    const __m256i lo = _mm512_cvttpd_epi32(_mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_castsi512_si256(s)), k));
    const __m256i hi = _mm512_cvttpd_epi32(_mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(s, 1)), k));
    q = _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi32_epi8(q));
}

template <bool kFloat>
KVFX_TARGET_AVX512 void run_span_avx512_t(const uint32_t* add, const uint32_t* sub, int32_t n,
                                          int32_t* w, const BoxScale& scale, uint32_t* b) {
  const __m512i zero = _mm512_setzero_si512();
  __m512i carry = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)));
  int32_t j = 0;
  for (; j + 4 <= n; j += 4) {
    __m512i d = _mm512_sub_epi32(load4_lanes(add + j), load4_lanes(sub + j));
    d = _mm512_add_epi32(d, _mm512_alignr_epi32(d, zero, 12));  // + previous word
    d = _mm512_add_epi32(d, _mm512_alignr_epi32(d, zero, 8));   // + two words back
    store4_bytes<kFloat>(b + j, _mm512_add_epi32(d, carry), scale);
    // Only this addition is carried from step to step.
    carry = _mm512_add_epi32(carry, _mm512_shuffle_i32x4(d, d, 0xFF));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(w), _mm512_castsi512_si128(carry));
  if (j < n) run_span_avx2(add + j, sub + j, n - j, w, scale, b + j);
}

KVFX_TARGET_AVX512 void run_span_avx512(const uint32_t* add, const uint32_t* sub, int32_t n,
                                        int32_t* w, const BoxScale& scale, uint32_t* b) {
  if (scale.exact_in_float)
    run_span_avx512_t<true>(add, sub, n, w, scale, b);
  else
    run_span_avx512_t<false>(add, sub, n, w, scale, b);
}

KVFX_TARGET_AVX512 void accumulate_avx512(void* block, const uint32_t* row, int32_t n, int32_t times) {
  int32_t* sums = static_cast<int32_t*>(block);
  const __m512i t = _mm512_set1_epi32(times);
  int32_t x = 0;
  for (; x + 4 <= n; x += 4) {
    int32_t* s = sums + 4 * x;
    _mm512_storeu_si512(s, _mm512_add_epi32(_mm512_loadu_si512(s), _mm512_mullo_epi32(load4_lanes(row + x), t)));
  }
  if (x < n) accumulate_avx2(sums + 4 * x, row + x, n - x, times);
}

template <bool kFloat>
KVFX_TARGET_AVX512 void slide_and_emit_avx512_t(int32_t* sums, const uint32_t* add, const uint32_t* sub,
                                                uint32_t* out, int32_t n, const BoxScale& scale) {
  int32_t x = 0;
  for (; x + 4 <= n; x += 4) {
    int32_t* sp = sums + 4 * x;
    __m512i s = _mm512_add_epi32(_mm512_loadu_si512(sp), load4_lanes(add + x));
    s = _mm512_sub_epi32(s, load4_lanes(sub + x));
    _mm512_storeu_si512(sp, s);
    store4_bytes<kFloat>(out + x, s, scale);
  }
  if (x < n) slide_and_emit_avx2(sums + 4 * x, add + x, sub + x, out + x, n - x, scale);
}

KVFX_TARGET_AVX512 void slide_and_emit_avx512(void* block, const uint32_t* add, const uint32_t* sub,
                                              uint32_t* out, int32_t n, const BoxScale& scale) {
  int32_t* sums = static_cast<int32_t*>(block);
  if (scale.exact_in_float)
    slide_and_emit_avx512_t<true>(sums, add, sub, out, n, scale);
  else
    slide_and_emit_avx512_t<false>(sums, add, sub, out, n, scale);
}

KVFX_TARGET_AVX512 void emit_avx512(const void* block, uint32_t* out, int32_t n, const BoxScale& scale) {
  const int32_t* sums = static_cast<const int32_t*>(block);
  int32_t x = 0;
  for (; x + 4 <= n; x += 4) store4_bytes<false>(out + x, _mm512_loadu_si512(sums + 4 * x), scale);
  if (x < n) emit_avx2(sums + 4 * x, out + x, n - x, scale);
}

// ---- AVX-512BW, narrow sums (16-bit lanes): eight words per step ---------------
//
// The rows come from the caller's image and from ring buffers too large for
// the nearer caches, one row at a time between other work, so the row and
// column kernels prefetch.
//
// For d <= 257 every window sum is below 2^16. Tails are handled with masked
// loads and stores, which never touch the masked-out words.

KVFX_TARGET_AVX512 inline __mmask32 word_mask(int32_t words) {
  return words >= 8 ? ~__mmask32{0} : static_cast<__mmask32>((1u << (4 * words)) - 1u);
}

KVFX_TARGET_AVX512 inline __m512i load8_words_narrow(const uint32_t* w, __mmask32 m) {
  return _mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8(m, w));
}

KVFX_TARGET_AVX512 inline __m512i load8_words_narrow(const uint32_t* w) {
  return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w)));
}

// The constants of one division, kept in registers across a row.
struct NarrowDivider {
  __m512i magic, divisor, loss_bits, fifteen, one, multiplier, inverse;
  // Shift counts in every lane: a shift by lanes is one micro-op on Intel's
  // cores, where a shift by the count in an xmm register is two, one of them
  // on the shuffle port.
  __m512i shift;
  __m512i up_shift;  // 8 - shift: the quotient's byte straight into bits 8 .. 15
};

template <bool kShort>
KVFX_TARGET_AVX512 inline NarrowDivider make_divider(const BoxScale& sc) {
  NarrowDivider dv;
  dv.magic = _mm512_set1_epi16(static_cast<int16_t>(kShort ? sc.short_magic : sc.magic));
  const int32_t shift = kShort ? sc.short_shift : sc.shift;
  dv.shift = _mm512_set1_epi16(static_cast<int16_t>(shift));
  // Sums that fit 16 bits have divisors below 2^9, whose shifts are at most 8.
  dv.up_shift = _mm512_set1_epi16(static_cast<int16_t>(8 - shift));
  dv.divisor = _mm512_set1_epi16(static_cast<int16_t>(sc.divisor));
  dv.loss_bits = _mm512_maskz_loadu_epi16(0xFFFF, sc.loss_bits);
  dv.fifteen = _mm512_set1_epi16(15);
  dv.one = _mm512_set1_epi16(1);
  dv.multiplier = _mm512_set1_epi16(static_cast<int16_t>(sc.sum_loss_multiplier));
  dv.inverse = _mm512_set1_epi16(static_cast<int16_t>(sc.sum_loss_inverse));
  return dv;
}

// The multiply-shift's product before its final shift right.
template <bool kShort>
KVFX_TARGET_AVX512 inline __m512i unshifted_quotient(__m512i s, const NarrowDivider& dv) {
  const __m512i t = _mm512_mulhi_epu16(s, dv.magic);
  if (kShort) return t;
  return _mm512_add_epi16(t, _mm512_srli_epi16(_mm512_sub_epi16(s, t), 1));
}

// The lanes whose sums lose one by narrow::sum_loss_mask: ~y <= b, by one
// ternary op (0xC3: not b ^ w) and an unsigned compare.
KVFX_TARGET_AVX512 inline __mmask32 sum_loses(__m512i s, const NarrowDivider& dv) {
  const __m512i b = _mm512_mulhi_epu16(s, dv.multiplier);
  const __m512i w = _mm512_mullo_epi16(s, dv.inverse);
  return _mm512_cmple_epu16_mask(_mm512_ternarylogic_epi32(b, w, w, 0xC3), b);
}

// floor(S / d) by multiply-shift, then one less at the lossy multiples: by
// narrow::sum_loss_mask where the box has that rule (no shuffle), else by the
// table of lossy quotients.
template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX512 inline __m512i divide_narrow(__m512i s, const NarrowDivider& dv) {
  __m512i q = _mm512_srlv_epi16(unshifted_quotient<kShort>(s, dv), dv.shift);
  if (kLoss == Loss::kFromSum) {
    q = _mm512_mask_sub_epi16(q, sum_loses(s, dv), q, dv.one);
  } else if (kLoss == Loss::kFromQuotient) {
    const __mmask32 exact = _mm512_cmpeq_epi16_mask(_mm512_mullo_epi16(q, dv.divisor), s);
    const __m512i word = _mm512_permutexvar_epi16(_mm512_srli_epi16(q, 4), dv.loss_bits);
    const __m512i bit = _mm512_srlv_epi16(word, _mm512_and_si512(q, dv.fifteen));
    const __mmask32 lose = _mm512_mask_test_epi16_mask(exact, bit, dv.one);
    q = _mm512_mask_sub_epi16(q, lose, q, dv.one);
  }
  return q;
}

// Eight words of a running sum: the differences, scanned within the block,
// plus the sum carried in from the block before.
KVFX_TARGET_AVX512 inline __m512i scan8(__m512i d) {
  const __m512i zero = _mm512_setzero_si512();
  d = _mm512_add_epi16(d, _mm512_alignr_epi32(d, zero, 14));  // + previous word
  d = _mm512_add_epi16(d, _mm512_alignr_epi32(d, zero, 12));  // + two words back
  return _mm512_add_epi16(d, _mm512_alignr_epi32(d, zero, 8));  // + four words back
}

template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX512 void run_span_narrow_t(const uint32_t* add, const uint32_t* sub, int32_t n,
                                     int32_t* w, const BoxScale& sc, uint32_t* b) {
  const NarrowDivider dv = make_divider<kShort>(sc);
  const uint64_t packed = uint64_t(uint16_t(w[0])) | uint64_t(uint16_t(w[1])) << 16 |
                          uint64_t(uint16_t(w[2])) << 32 | uint64_t(uint16_t(w[3])) << 48;
  __m512i carry = _mm512_set1_epi64(static_cast<long long>(packed));
  const __m512i last_word = _mm512_set1_epi64(7);
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    prefetch_ahead(add + j);
    const __m512i d = scan8(_mm512_sub_epi16(load8_words_narrow(add + j), load8_words_narrow(sub + j)));
    const __m512i q = divide_narrow<kLoss, kShort>(_mm512_add_epi16(d, carry), dv);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + j), _mm512_cvtepi16_epi8(q));
    carry = _mm512_add_epi16(carry, _mm512_permutexvar_epi64(last_word, d));
  }
  if (j < n) {
    const __mmask32 m = word_mask(n - j);
    const __m512i d = scan8(_mm512_sub_epi16(load8_words_narrow(add + j, m), load8_words_narrow(sub + j, m)));
    const __m512i q = divide_narrow<kLoss, kShort>(_mm512_add_epi16(d, carry), dv);
    _mm256_mask_storeu_epi8(b + j, m, _mm512_cvtepi16_epi8(q));
    carry = _mm512_add_epi16(carry, _mm512_permutexvar_epi64(last_word, d));
  }
  const uint64_t total = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(carry)));
  for (int c = 0; c < 4; ++c) w[c] = static_cast<int32_t>((total >> (16 * c)) & 0xFFFF);
}

KVFX_TARGET_AVX512 void run_span_narrow(const uint32_t* add, const uint32_t* sub, int32_t n,
                                   int32_t* w, const BoxScale& sc, uint32_t* b) {
  with_form(sc, [&](auto short_form, auto loss) {
    run_span_narrow_t<decltype(loss)::value, decltype(short_form)::value>(add, sub, n, w, sc, b);
  });
}

KVFX_TARGET_AVX512 void accumulate_narrow(void* block, const uint32_t* row, int32_t n, int32_t times) {
  uint16_t* sums = static_cast<uint16_t*>(block);
  const __m512i t = _mm512_set1_epi16(static_cast<int16_t>(times));
  for (int32_t x = 0; x < n; x += 8) {
    const __mmask32 m = word_mask(n - x);
    const __m512i s = _mm512_maskz_loadu_epi16(m, sums + 4 * x);
    _mm512_mask_storeu_epi16(sums + 4 * x, m,
                             _mm512_add_epi16(s, _mm512_mullo_epi16(load8_words_narrow(row + x, m), t)));
  }
}

template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX512 void slide_and_emit_narrow_t(uint16_t* sums, const uint32_t* add, const uint32_t* sub,
                                           uint32_t* out, int32_t n, const BoxScale& sc) {
  const NarrowDivider dv = make_divider<kShort>(sc);
  int32_t x = 0;
  for (; x + 8 <= n; x += 8) {
    prefetch_ahead(sub + x);
    prefetch_ahead(add + x);
    __m512i s = _mm512_loadu_si512(sums + 4 * x);
    s = _mm512_sub_epi16(_mm512_add_epi16(s, load8_words_narrow(add + x)), load8_words_narrow(sub + x));
    _mm512_storeu_si512(sums + 4 * x, s);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                        _mm512_cvtepi16_epi8(divide_narrow<kLoss, kShort>(s, dv)));
  }
  if (x < n) {
    const __mmask32 m = word_mask(n - x);
    __m512i s = _mm512_maskz_loadu_epi16(m, sums + 4 * x);
    s = _mm512_sub_epi16(_mm512_add_epi16(s, load8_words_narrow(add + x, m)), load8_words_narrow(sub + x, m));
    _mm512_mask_storeu_epi16(sums + 4 * x, m, s);
    _mm256_mask_storeu_epi8(out + x, m, _mm512_cvtepi16_epi8(divide_narrow<kLoss, kShort>(s, dv)));
  }
}

template <Loss kLoss>
KVFX_TARGET_AVX512 void emit_narrow_t(const uint16_t* sums, uint32_t* out, int32_t n,
                                      const BoxScale& sc) {
  const NarrowDivider dv = make_divider<false>(sc);
  for (int32_t x = 0; x < n; x += 8) {
    const __mmask32 m = word_mask(n - x);
    const __m512i s = _mm512_maskz_loadu_epi16(m, sums + 4 * x);
    _mm256_mask_storeu_epi8(out + x, m, _mm512_cvtepi16_epi8(divide_narrow<kLoss, false>(s, dv)));
  }
}

// ---- AVX2, narrow sums (16-bit lanes) ---------------------------------------
//
// The division of sixteen 16-bit sums at once, as the AVX-512 narrow
// kernels divide, with the lossy multiples found by the generic kernels'
// multiplier rules in lanes (AVX2 has no 16-bit table permutation). Both the
// strip kernel (the horizontal half) and the column kernels (the vertical
// half) below use it; their tails go to the generic narrow kernels compiled
// for this level.

struct NarrowDivider2 {
  __m256i magic, divisor, multiplier, inverse;
  __m128i shift;
};

template <bool kShort>
KVFX_TARGET_AVX2 inline NarrowDivider2 make_divider2(const BoxScale& sc) {
  NarrowDivider2 dv;
  dv.magic = _mm256_set1_epi16(static_cast<int16_t>(kShort ? sc.short_magic : sc.magic));
  dv.shift = _mm_cvtsi32_si128(kShort ? sc.short_shift : sc.shift);
  dv.divisor = _mm256_set1_epi16(static_cast<int16_t>(sc.divisor));
  dv.multiplier = _mm256_set1_epi16(static_cast<int16_t>(narrow::loss_rule_multiplier(sc)));
  dv.inverse = _mm256_set1_epi16(static_cast<int16_t>(sc.sum_loss_inverse));
  return dv;
}

// divide_lane on sixteen lanes: the multiply-shift, then, at a lossy width,
// narrow::sum_loss_mask (y >= ~b as a saturating y + b of all ones) or
// narrow::corrected with the high half of the quotient's product.
template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX2 inline __m256i divide_narrow2(__m256i s, const NarrowDivider2& dv) {
  __m256i q;
  if (kShort) {
    q = _mm256_srl_epi16(_mm256_mulhi_epu16(s, dv.magic), dv.shift);
  } else {
    const __m256i t = _mm256_mulhi_epu16(s, dv.magic);
    q = _mm256_srl_epi16(_mm256_add_epi16(t, _mm256_srli_epi16(_mm256_sub_epi16(s, t), 1)),
                         dv.shift);
  }
  if (kLoss == Loss::kFromSum) {
    const __m256i b = _mm256_mulhi_epu16(s, dv.multiplier);
    const __m256i y = _mm256_xor_si256(b, _mm256_mullo_epi16(s, dv.inverse));
    q = _mm256_add_epi16(q, _mm256_cmpeq_epi16(_mm256_adds_epu16(y, b), _mm256_set1_epi16(-1)));
  } else if (kLoss == Loss::kFromQuotient) {
    const __m256i b = _mm256_mulhi_epu16(q, dv.multiplier);
    const __m256i multiple = _mm256_cmpeq_epi16(_mm256_mullo_epi16(q, dv.divisor), s);
    const __m256i x = _mm256_xor_si256(b, _mm256_sub_epi16(q, _mm256_set1_epi16(1)));
    const __m256i at_most_b = _mm256_cmpeq_epi16(_mm256_max_epu16(x, b), b);
    q = _mm256_add_epi16(q, _mm256_and_si256(multiple, at_most_b));  // all ones: one less
  }
  return q;
}

// ---- AVX2 column sums in pairs of bytes ----------------------------------------
//
// The vertical half's sums for the level's strip kernels: each group of
// eight words (32 bytes) of a row keeps the sums of its even bytes, then
// those of its odd bytes, sixteen lanes each, so a row's bytes join the sums
// by a mask and a shift and the quotients join back into bytes by a shift
// and an or: no widening or narrowing shuffles. The words after the last
// whole group keep the generic layout and kernels.

constexpr int32_t kPairGroup = 8;  // words

KVFX_TARGET_AVX2 inline __m256i even_bytes(__m256i v) {
  return _mm256_and_si256(v, _mm256_set1_epi16(0xFF));
}

KVFX_TARGET_AVX2 inline __m256i odd_bytes(__m256i v) { return _mm256_srli_epi16(v, 8); }

KVFX_TARGET_AVX2 inline __m256i load_words8(const uint32_t* w) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));
}

KVFX_TARGET_AVX2 inline __m256i* pair_sums(uint16_t* sums, int32_t x) {
  return reinterpret_cast<__m256i*>(sums + 4 * int64_t{x});
}

template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX2 inline __m256i join_quotients(__m256i even, __m256i odd,
                                               const NarrowDivider2& dv) {
  return _mm256_or_si256(divide_narrow2<kLoss, kShort>(even, dv),
                         _mm256_slli_epi16(divide_narrow2<kLoss, kShort>(odd, dv), 8));
}

KVFX_TARGET_AVX2 void accumulate_pairs2(void* block, const uint32_t* row, int32_t n,
                                        int32_t times) {
  uint16_t* sums = static_cast<uint16_t*>(block);
  const __m256i t = _mm256_set1_epi16(static_cast<int16_t>(times));
  int32_t x = 0;
  for (; x + kPairGroup <= n; x += kPairGroup) {
    __m256i* sp = pair_sums(sums, x);
    const __m256i v = load_words8(row + x);
    _mm256_storeu_si256(
        sp, _mm256_add_epi16(_mm256_loadu_si256(sp), _mm256_mullo_epi16(even_bytes(v), t)));
    _mm256_storeu_si256(
        sp + 1, _mm256_add_epi16(_mm256_loadu_si256(sp + 1), _mm256_mullo_epi16(odd_bytes(v), t)));
  }
  if (x < n) AtEachLevel<narrow::accumulate>::avx2(sums + 4 * x, row + x, n - x, times);
}

template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX2 void slide_and_emit_pairs2_t(uint16_t* sums, const uint32_t* add,
                                              const uint32_t* sub, uint32_t* out, int32_t n,
                                              const BoxScale& sc) {
  const NarrowDivider2 dv = make_divider2<kShort>(sc);
  int32_t x = 0;
  for (; x + kPairGroup <= n; x += kPairGroup) {
    __m256i* sp = pair_sums(sums, x);
    const __m256i a = load_words8(add + x), d = load_words8(sub + x);
    const __m256i even =
        _mm256_add_epi16(_mm256_loadu_si256(sp), _mm256_sub_epi16(even_bytes(a), even_bytes(d)));
    const __m256i odd =
        _mm256_add_epi16(_mm256_loadu_si256(sp + 1), _mm256_sub_epi16(odd_bytes(a), odd_bytes(d)));
    _mm256_storeu_si256(sp, even);
    _mm256_storeu_si256(sp + 1, odd);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                        join_quotients<kLoss, kShort>(even, odd, dv));
  }
  if (x < n)
    AtEachLevel<narrow::slide_and_emit>::avx2(sums + 4 * x, add + x, sub + x, out + x, n - x, sc);
}

KVFX_TARGET_AVX2 void slide_and_emit_pairs2(void* block, const uint32_t* add, const uint32_t* sub,
                                            uint32_t* out, int32_t n, const BoxScale& sc) {
  uint16_t* sums = static_cast<uint16_t*>(block);
  with_form(sc, [&](auto short_form, auto loss) {
    slide_and_emit_pairs2_t<decltype(loss)::value, decltype(short_form)::value>(sums, add, sub, out, n, sc);
  });
}

template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX2 void emit_pairs2_t(const uint16_t* sums, uint32_t* out, int32_t n,
                                    const BoxScale& sc) {
  const NarrowDivider2 dv = make_divider2<kShort>(sc);
  int32_t x = 0;
  for (; x + kPairGroup <= n; x += kPairGroup) {
    const __m256i* sp = reinterpret_cast<const __m256i*>(sums + 4 * int64_t{x});
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                        join_quotients<kLoss, kShort>(_mm256_loadu_si256(sp),
                                                               _mm256_loadu_si256(sp + 1), dv));
  }
  if (x < n) AtEachLevel<narrow::emit>::avx2(sums + 4 * x, out + x, n - x, sc);
}

KVFX_TARGET_AVX2 void emit_pairs2(const void* block, uint32_t* out, int32_t n, const BoxScale& sc) {
  const uint16_t* sums = static_cast<const uint16_t*>(block);
  with_form(sc, [&](auto short_form, auto loss) {
    emit_pairs2_t<decltype(loss)::value, decltype(short_form)::value>(
        sums, out, n, sc);
  });
}

// ---- AVX2 strip kernel: eight rows on their side ----------------------------
//
// The horizontal half of a box for eight rows at once with no scan in the
// row (see box_strip.h for the idea). Column p of the plane is one 256-bit
// register: word p of rows 0 .. 3 in its lower half, of rows 4 .. 7 in its
// upper half. Loading rows i and i + 4 into the two halves of a register
// makes the turn a four-word transpose inside each half (eight in-lane
// unpacks for four columns, the same going back), and the running sums move
// along the columns by lane-wise adds. Each column's bytes are summed as
// 16-bit pairs, the lower byte masked and the upper one shifted down, so no
// byte is widened or narrowed by a shuffle.

// Four registers of rows (i and i + 4 in the halves) to four columns, and
// back: the in-lane four-word transpose is its own inverse.
KVFX_TARGET_AVX2 inline void transpose_halves(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  const __m256i ab_lo = _mm256_unpacklo_epi32(a, b), ab_hi = _mm256_unpackhi_epi32(a, b);
  const __m256i cd_lo = _mm256_unpacklo_epi32(c, d), cd_hi = _mm256_unpackhi_epi32(c, d);
  a = _mm256_unpacklo_epi64(ab_lo, cd_lo);
  b = _mm256_unpackhi_epi64(ab_lo, cd_lo);
  c = _mm256_unpacklo_epi64(ab_hi, cd_hi);
  d = _mm256_unpackhi_epi64(ab_hi, cd_hi);
}

// Words x .. x + 3 of rows i and i + 4.
KVFX_TARGET_AVX2 inline __m256i load_row_halves(const uint32_t* row, int64_t stride) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * stride)), 1);
}

KVFX_TARGET_AVX2 inline void store_row_halves(uint32_t* row, int64_t stride, __m256i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(row), _mm256_castsi256_si128(v));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 4 * stride), _mm256_extracti128_si256(v, 1));
}

KVFX_TARGET_AVX2 inline __m256i column_at(const uint32_t* t, int64_t p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + kStripRows * p));
}

// Word x of every row of the strip as a column.
KVFX_TARGET_AVX2 inline __m256i gather_column(const uint32_t* in, int64_t stride, int64_t x) {
  alignas(32) uint32_t c[kStripRows];
  for (int i = 0; i < kStripRows; ++i) c[i] = in[i * stride + x];
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(c));
}

// Part of the strip on its side, padded as a running sum reads it: column p
// (at t + pitch * p) holds words clamp(first + p, 0, n - 1), p = 0 .. count - 1.
KVFX_TARGET_AVX2 void strip_in_avx2(const uint32_t* in, int64_t stride, int32_t n, int64_t first,
                                    int64_t count, int64_t pitch, uint32_t* t) {
  const __m256i head = gather_column(in, stride, 0), tail = gather_column(in, stride, n - 1);
  int64_t p = 0;
  for (; p < count && first + p < 0; ++p) _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + pitch * p), head);
  for (; p + 4 <= count && first + p + 4 <= n; p += 4) {
    const uint32_t* row = in + first + p;
    __m256i a = load_row_halves(row, stride), b = load_row_halves(row + stride, stride),
            c = load_row_halves(row + 2 * stride, stride), d = load_row_halves(row + 3 * stride, stride);
    transpose_halves(a, b, c, d);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + pitch * p), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + pitch * (p + 1)), b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + pitch * (p + 2)), c);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + pitch * (p + 3)), d);
  }
  for (; p < count && first + p < n; ++p)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + pitch * p), gather_column(in, stride, first + p));
  for (; p < count; ++p) _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + pitch * p), tail);
}

// The window moved on by column j (adding add's column j, dropping t's) and
// divided into the strip's bytes of output column j.
template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX2 inline __m256i next_column(const uint32_t* add, const uint32_t* t, int64_t j,
                                            __m256i& lo, __m256i& hi, const NarrowDivider2& dv) {
  const __m256i low_bytes = _mm256_set1_epi16(0xFF);
  const __m256i a = column_at(add, j), d = column_at(t, j);
  lo = _mm256_add_epi16(
      lo, _mm256_sub_epi16(_mm256_and_si256(a, low_bytes), _mm256_and_si256(d, low_bytes)));
  hi = _mm256_add_epi16(hi, _mm256_sub_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(d, 8)));
  return join_quotients<kLoss, kShort>(lo, hi, dv);
}

template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX2 void strip_columns_avx2(const uint32_t* t, int32_t n, int32_t r, uint32_t* out,
                                         int64_t stride, const BoxScale& sc) {
  const NarrowDivider2 dv = make_divider2<kShort>(sc);
  const __m256i low_bytes = _mm256_set1_epi16(0xFF);
  // The window of the column before the first: columns 0 .. 2r.
  __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
  for (int64_t p = 0; p <= 2 * int64_t{r}; ++p) {
    const __m256i v = column_at(t, p);
    lo = _mm256_add_epi16(lo, _mm256_and_si256(v, low_bytes));
    hi = _mm256_add_epi16(hi, _mm256_srli_epi16(v, 8));
  }
  const uint32_t* add = t + kStripRows * (2 * int64_t{r} + 1);
  int64_t x = 0;
  for (; x + 4 <= n; x += 4) {
    __m256i a = next_column<kLoss, kShort>(add, t, x, lo, hi, dv),
            b = next_column<kLoss, kShort>(add, t, x + 1, lo, hi, dv),
            c = next_column<kLoss, kShort>(add, t, x + 2, lo, hi, dv),
            d = next_column<kLoss, kShort>(add, t, x + 3, lo, hi, dv);
    transpose_halves(a, b, c, d);
    store_row_halves(out + x, stride, a);
    store_row_halves(out + stride + x, stride, b);
    store_row_halves(out + 2 * stride + x, stride, c);
    store_row_halves(out + 3 * stride + x, stride, d);
  }
  for (; x < n; ++x) {
    alignas(32) uint32_t c[kStripRows];
    _mm256_store_si256(reinterpret_cast<__m256i*>(c),
                       next_column<kLoss, kShort>(add, t, x, lo, hi, dv));
    for (int i = 0; i < kStripRows; ++i) out[i * stride + x] = c[i];
  }
}

KVFX_TARGET_AVX2 void strip_avx2(const uint32_t* in, int64_t in_stride, uint32_t* out,
                                 int64_t out_stride, int32_t n, int32_t r, const BoxScale& sc,
                                 uint32_t* scratch) {
  strip_in_avx2(in, in_stride, n, -(int64_t{r} + 1), int64_t{n} + 2 * int64_t{r} + 1, kStripRows,
                scratch);
  with_form(sc, [&](auto short_form, auto loss) {
    strip_columns_avx2<decltype(loss)::value, decltype(short_form)::value>(scratch, n, r, out,
                                                                         out_stride, sc);
  });
}

// ---- AVX-512 column sums in pairs of bytes, and strips in two halves --------
//
// The AVX2 level's pairs and strips on 512-bit registers. Column sums: each
// group of sixteen words keeps its 32 even-byte sums, then its 32 odd-byte
// sums; the words after the last whole group keep the generic layout and
// this level's narrow kernels. Divisions as the narrow kernels divide (the
// lossy multiples by the 256-bit table).

constexpr int32_t kPairGroup512 = 16;  // words

KVFX_TARGET_AVX512 inline __m512i even_bytes512(__m512i v) {
  return _mm512_and_si512(v, _mm512_set1_epi16(0xFF));
}

KVFX_TARGET_AVX512 inline __m512i odd_bytes512(__m512i v) { return _mm512_srli_epi16(v, 8); }

// The odd sums' quotients go straight to the upper byte: the product (before
// its shift right by s) shifted left by 8 - s holds the quotient's low eight
// bits in bits 8 .. 15, as (q << 8) does, and one ternary op (0xF8: a | b & c)
// drops the bits below and joins the even byte, where a shift right, a shift
// left and an or did it. One less would subtract 256 there. The table's
// lossy rule needs the quotient itself and joins as before.
template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX512 inline __m512i divide_narrow_high(__m512i s, const NarrowDivider& dv) {
  const __m512i high = _mm512_sllv_epi16(unshifted_quotient<kShort>(s, dv), dv.up_shift);
  if (kLoss != Loss::kFromSum) return high;
  return _mm512_mask_sub_epi16(high, sum_loses(s, dv), high, _mm512_set1_epi16(0x100));
}

template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX512 inline __m512i join_quotients512(__m512i even, __m512i odd,
                                                    const NarrowDivider& dv) {
  // (Some compilers define the immediate forms as macros, which a template
  // argument list would split: the quotients are named first.)
  const __m512i low = divide_narrow<kLoss, kShort>(even, dv);
  if (kLoss == Loss::kFromQuotient) {
    const __m512i high = divide_narrow<kLoss, kShort>(odd, dv);
    return _mm512_or_si512(low, _mm512_slli_epi16(high, 8));
  }
  const __m512i high = divide_narrow_high<kLoss, kShort>(odd, dv);
  return _mm512_ternarylogic_epi32(low, high, _mm512_set1_epi16(static_cast<int16_t>(0xFF00)),
                                   0xF8);
}

KVFX_TARGET_AVX512 void accumulate_pairs512(void* block, const uint32_t* row, int32_t n,
                                            int32_t times) {
  uint16_t* sums = static_cast<uint16_t*>(block);
  const __m512i t = _mm512_set1_epi16(static_cast<int16_t>(times));
  int32_t x = 0;
  for (; x + kPairGroup512 <= n; x += kPairGroup512) {
    uint16_t* sp = sums + 4 * int64_t{x};
    const __m512i v = _mm512_loadu_si512(row + x);
    _mm512_storeu_si512(sp, _mm512_add_epi16(_mm512_loadu_si512(sp),
                                             _mm512_mullo_epi16(even_bytes512(v), t)));
    _mm512_storeu_si512(sp + 32, _mm512_add_epi16(_mm512_loadu_si512(sp + 32),
                                                  _mm512_mullo_epi16(odd_bytes512(v), t)));
  }
  if (x < n) accumulate_narrow(sums + 4 * x, row + x, n - x, times);
}

template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX512 void slide_and_emit_pairs512_t(uint16_t* sums, const uint32_t* add,
                                                  const uint32_t* sub, uint32_t* out, int32_t n,
                                                  const BoxScale& sc) {
  const NarrowDivider dv = make_divider<kShort>(sc);
  int32_t x = 0;
  for (; x + kPairGroup512 <= n; x += kPairGroup512) {
    prefetch_ahead(sub + x);
    prefetch_ahead(add + x);
    uint16_t* sp = sums + 4 * int64_t{x};
    const __m512i a = _mm512_loadu_si512(add + x), d = _mm512_loadu_si512(sub + x);
    const __m512i even = _mm512_add_epi16(_mm512_loadu_si512(sp),
                                          _mm512_sub_epi16(even_bytes512(a), even_bytes512(d)));
    const __m512i odd = _mm512_add_epi16(_mm512_loadu_si512(sp + 32),
                                         _mm512_sub_epi16(odd_bytes512(a), odd_bytes512(d)));
    _mm512_storeu_si512(sp, even);
    _mm512_storeu_si512(sp + 32, odd);
    _mm512_storeu_si512(out + x, join_quotients512<kLoss, kShort>(even, odd, dv));
  }
  if (x < n)
    slide_and_emit_narrow_t<kLoss, kShort>(sums + 4 * x, add + x, sub + x, out + x, n - x, sc);
}

KVFX_TARGET_AVX512 void slide_and_emit_pairs512(void* block, const uint32_t* add,
                                                const uint32_t* sub, uint32_t* out, int32_t n,
                                                const BoxScale& sc) {
  uint16_t* sums = static_cast<uint16_t*>(block);
  with_form(sc, [&](auto short_form, auto loss) {
    slide_and_emit_pairs512_t<decltype(loss)::value, decltype(short_form)::value>(sums, add, sub,
                                                                                 out, n, sc);
  });
}

template <Loss kLoss>
KVFX_TARGET_AVX512 void emit_pairs512_t(const uint16_t* sums, uint32_t* out, int32_t n,
                                        const BoxScale& sc) {
  const NarrowDivider dv = make_divider<false>(sc);
  int32_t x = 0;
  for (; x + kPairGroup512 <= n; x += kPairGroup512) {
    const uint16_t* sp = sums + 4 * int64_t{x};
    const __m512i even = _mm512_loadu_si512(sp), odd = _mm512_loadu_si512(sp + 32);
    _mm512_storeu_si512(out + x, join_quotients512<kLoss, false>(even, odd, dv));
  }
  if (x < n) emit_narrow_t<kLoss>(sums + 4 * x, out + x, n - x, sc);
}

KVFX_TARGET_AVX512 void emit_pairs512(const void* block, uint32_t* out, int32_t n,
                                      const BoxScale& sc) {
  const uint16_t* sums = static_cast<const uint16_t*>(block);
  narrow::with_loss(sc, [&](auto loss) { emit_pairs512_t<decltype(loss)::value>(sums, out, n, sc); });
}

// Strips: the low half of a 512-bit column holds word x of the strip's eight
// rows (as an AVX2 column), the high half word o + x, o = n - h, h = ceil(n /
// 2). The row's two halves (sharing a word when n is odd, which both then
// write alike) run as two running sums side by side, each over h columns
// padded by the clamped words around it.

constexpr int64_t kColumn512 = 2 * kStripRows;  // words

// A strip at least this long runs in two halves; a shorter one as at AVX2.
constexpr int32_t kShortestSplitStrip = 32;

KVFX_TARGET_AVX512 inline __m512i column512_at(const uint32_t* t, int64_t p) {
  return _mm512_loadu_si512(t + kColumn512 * p);
}

template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX512 inline __m512i next_column512(const uint32_t* add, const uint32_t* t, int64_t j,
                                                 __m512i& lo, __m512i& hi,
                                                 const NarrowDivider& dv) {
  const __m512i a = column512_at(add, j), d = column512_at(t, j);
  lo = _mm512_add_epi16(lo, _mm512_sub_epi16(even_bytes512(a), even_bytes512(d)));
  hi = _mm512_add_epi16(hi, _mm512_sub_epi16(odd_bytes512(a), odd_bytes512(d)));
  return join_quotients512<kLoss, kShort>(lo, hi, dv);
}

// transpose_halves in each 128-bit quarter.
KVFX_TARGET_AVX512 inline void transpose_quarters(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
  const __m512i ab_lo = _mm512_unpacklo_epi32(a, b), ab_hi = _mm512_unpackhi_epi32(a, b);
  const __m512i cd_lo = _mm512_unpacklo_epi32(c, d), cd_hi = _mm512_unpackhi_epi32(c, d);
  a = _mm512_unpacklo_epi64(ab_lo, cd_lo);
  b = _mm512_unpackhi_epi64(ab_lo, cd_lo);
  c = _mm512_unpacklo_epi64(ab_hi, cd_hi);
  d = _mm512_unpackhi_epi64(ab_hi, cd_hi);
}

// Quarter k of v to `at`, by a store masked to that quarter from 16k bytes
// before it: a store where an extract would take the shuffle port. The
// address is formed as an integer, since it may lie before the buffer;
// words masked off are never touched.
KVFX_TARGET_AVX512 inline void store_quarter(uint32_t* at, int k, __m512i v) {
  uint32_t* base = reinterpret_cast<uint32_t*>(reinterpret_cast<uintptr_t>(at) - 16 * k);
  _mm512_mask_storeu_epi32(base, static_cast<__mmask16>(0xF << (4 * k)), v);
}
// Words x .. x + 3 of rows i and i + 4 (from row = out + i * stride + x), and
// the same at o + x, from the quarters of v.
KVFX_TARGET_AVX512 inline void store_quarters(uint32_t* row, int64_t stride, int64_t o, __m512i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(row), _mm512_castsi512_si128(v));
  store_quarter(row + 4 * stride, 1, v);
  store_quarter(row + o, 2, v);
  store_quarter(row + 4 * stride + o, 3, v);
}

template <Loss kLoss, bool kShort>
KVFX_TARGET_AVX512 void strip_columns512(const uint32_t* t, int32_t h, int32_t o, int32_t r,
                                         uint32_t* out, int64_t stride, const BoxScale& sc) {
  const NarrowDivider dv = make_divider<kShort>(sc);
  // The windows of the columns before the first: columns 0 .. 2r.
  __m512i lo = _mm512_setzero_si512(), hi = _mm512_setzero_si512();
  for (int64_t p = 0; p <= 2 * int64_t{r}; ++p) {
    const __m512i v = column512_at(t, p);
    lo = _mm512_add_epi16(lo, even_bytes512(v));
    hi = _mm512_add_epi16(hi, odd_bytes512(v));
  }
  const uint32_t* add = t + kColumn512 * (2 * int64_t{r} + 1);
  int64_t x = 0;
  for (; x + 4 <= h; x += 4) {
    __m512i a = next_column512<kLoss, kShort>(add, t, x, lo, hi, dv),
            b = next_column512<kLoss, kShort>(add, t, x + 1, lo, hi, dv),
            c = next_column512<kLoss, kShort>(add, t, x + 2, lo, hi, dv),
            d = next_column512<kLoss, kShort>(add, t, x + 3, lo, hi, dv);
    transpose_quarters(a, b, c, d);
    store_quarters(out + x, stride, o, a);
    store_quarters(out + stride + x, stride, o, b);
    store_quarters(out + 2 * stride + x, stride, o, c);
    store_quarters(out + 3 * stride + x, stride, o, d);
  }
  for (; x < h; ++x) {
    alignas(64) uint32_t c[kColumn512];
    _mm512_store_si512(c, next_column512<kLoss, kShort>(add, t, x, lo, hi, dv));
    for (int i = 0; i < kStripRows; ++i) {
      out[i * stride + x] = c[i];
      out[i * stride + o + x] = c[kStripRows + i];
    }
  }
}

KVFX_TARGET_AVX512 void strip512(const uint32_t* in, int64_t in_stride, uint32_t* out,
                                 int64_t out_stride, int32_t n, int32_t r, const BoxScale& sc,
                                 uint32_t* scratch) {
  if (n < kShortestSplitStrip) {
    strip_avx2(in, in_stride, out, out_stride, n, r, sc, scratch);
    return;
  }
  const int32_t h = n - n / 2, o = n / 2;
  const int64_t columns = int64_t{h} + 2 * int64_t{r} + 1;
  strip_in_avx2(in, in_stride, n, -(int64_t{r} + 1), columns, kColumn512, scratch);
  strip_in_avx2(in, in_stride, n, o - (int64_t{r} + 1), columns, kColumn512, scratch + kStripRows);
  with_form(sc, [&](auto short_form, auto loss) {
    strip_columns512<decltype(loss)::value, decltype(short_form)::value>(scratch, h, o, r, out,
                                                                        out_stride, sc);
  });
}

const BoxKernels kAvx2Pairs = {AtEachLevel<narrow::run_span>::avx2, accumulate_pairs2,
                               slide_and_emit_pairs2, emit_pairs2};

const BoxKernels kAvx2 = {run_span_avx2, accumulate_avx2, slide_and_emit_avx2, emit_avx2};
const BoxKernels kAvx512 = {run_span_avx512, accumulate_avx512, slide_and_emit_avx512, emit_avx512};
const BoxKernels kAvx512Pairs = {run_span_narrow, accumulate_pairs512, slide_and_emit_pairs512,
                                 emit_pairs512};

}  // namespace

const BoxKernelSet kBoxKernelsAvx2 = {&kAvx2, &kAvx2Pairs, true, strip_avx2};
const BoxKernelSet kBoxKernelsAvx512 = {&kAvx512, &kAvx512Pairs, true, strip512};

}  // namespace kvfx
#endif
