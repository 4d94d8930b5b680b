// Vector intrinsics for the x86 fast paths, with the dispatch macros.
#pragma once

#include <cfenv>
#include <cstdint>

#include "core/cpu.h"

#if KVFX_X86
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 reports the intrinsics' own undefined-vector placeholders as
// (maybe) uninitialised once they are inlined into target-attributed
// functions.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#endif

namespace kvfx {

// The float estimates of the fast paths (film grain, colour grade,
// vignette, bloom) bound their errors for round-to-nearest; a host that has
// changed the rounding mode gets the double formulas throughout, which
// follow the mode as the one-word forms do. (x86 vector code rounds by
// MXCSR, read here directly.)
inline bool rounding_to_nearest() {
#if KVFX_X86
  return (_mm_getcsr() & 0x6000u) == 0;
#else
  return std::fegetround() == FE_TONEAREST;
#endif
}

}  // namespace kvfx

#if KVFX_X86
namespace kvfx {

// channel_to_byte on eight (four) doubles: min(v, 255) returns its second
// operand, 255, when v is NaN, which is the scalar rule; then max(., 0) and
// truncation toward zero.
KVFX_TARGET_AVX512 inline __m256i channel_to_byte8(__m512d v) {
  return _mm512_cvttpd_epi32(
      _mm512_max_pd(_mm512_min_pd(v, _mm512_set1_pd(255.0)), _mm512_setzero_pd()));
}

// Passes that meet a row one at a time between other work (blur passes,
// skipped blocks, rows walked from both ends) lose the hardware prefetcher;
// they ask for the line 2 KB ahead. An address, not a pointer into the
// caller's memory: it may lie past the end, and a prefetch never faults.
inline void prefetch_ahead(const void* p) {
  _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(p) + 2048), _MM_HINT_T0);
}

// Masks for the first `left` of 8 or 16 lanes (all of them when left is
// larger): the tail of a run, loaded and stored without touching what lies
// beyond it.
KVFX_TARGET_AVX512 inline __mmask8 tail_mask8(int64_t left) {
  return left >= 8 ? static_cast<__mmask8>(0xFF) : static_cast<__mmask8>((1u << left) - 1u);
}

KVFX_TARGET_AVX512 inline __mmask16 tail_mask16(int64_t left) {
  return left >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << left) - 1u);
}

// The vector forms of red_of / green_of / blue_of (kShift 16, 8, 0) and of
// with_rgb: the word's alpha bits with three new channel values 0..255.
template <int kShift>
KVFX_TARGET_AVX512 inline __m512i channel16(__m512i w) {
  return _mm512_and_si512(_mm512_srli_epi32(w, kShift), _mm512_set1_epi32(0xFF));
}

template <int kShift>
KVFX_TARGET_AVX2 inline __m256i channel8(__m256i w) {
  return _mm256_and_si256(_mm256_srli_epi32(w, kShift), _mm256_set1_epi32(0xFF));
}

KVFX_TARGET_AVX512 inline __m512i with_rgb16(__m512i w, __m512i r, __m512i g, __m512i b) {
  return _mm512_or_si512(
      _mm512_or_si512(_mm512_and_si512(w, _mm512_set1_epi32(static_cast<int>(0xFF000000u))),
                      _mm512_slli_epi32(r, 16)),
      _mm512_or_si512(_mm512_slli_epi32(g, 8), b));
}

KVFX_TARGET_AVX2 inline __m256i with_rgb8(__m256i w, __m256i r, __m256i g, __m256i b) {
  return _mm256_or_si256(
      _mm256_or_si256(_mm256_and_si256(w, _mm256_set1_epi32(static_cast<int>(0xFF000000u))),
                      _mm256_slli_epi32(r, 16)),
      _mm256_or_si256(_mm256_slli_epi32(g, 8), b));
}


// Red, green, blue and alpha values of sixteen (eight) words, each in a
// 32-bit lane, packed into words. Packing saturates each to 0 .. 255, which
// is the clamp for values within 16 bits. Per 128-bit block the packs give
// b0..b3 g0..g3 r0..r3 a0..a3; a byte shuffle interleaves them by word.
KVFX_TARGET_AVX512 inline __m512i pack_channels16(__m512i r, __m512i g, __m512i b, __m512i a) {
  const __m512i grouped =
      _mm512_packus_epi16(_mm512_packus_epi32(b, g), _mm512_packus_epi32(r, a));
  return _mm512_shuffle_epi8(grouped, _mm512_broadcast_i32x4(_mm_setr_epi8(
                                          0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15)));
}

KVFX_TARGET_AVX2 inline __m256i pack_channels8(__m256i r, __m256i g, __m256i b, __m256i a) {
  const __m256i grouped =
      _mm256_packus_epi16(_mm256_packus_epi32(b, g), _mm256_packus_epi32(r, a));
  return _mm256_shuffle_epi8(grouped, _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3,
                                                       7, 11, 15, 0, 4, 8, 12, 1, 5, 9, 13, 2, 6,
                                                       10, 14, 3, 7, 11, 15));
}

// A 256-byte table held in four registers, for the byte permutations of
// AVX-512 VBMI.
#define KVFX_TARGET_AVX512_VBMI \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx2,fma,avx512vbmi")))

struct ByteTable512 {
  __m512i t0, t1, t2, t3;
};

KVFX_TARGET_AVX512_VBMI inline ByteTable512 load_byte_table(const uint8_t* table) {
  return {_mm512_loadu_si512(table), _mm512_loadu_si512(table + 64),
          _mm512_loadu_si512(table + 128), _mm512_loadu_si512(table + 192)};
}

// Every byte of v through the table: two two-table permutations and a
// select on the index's top bit.
KVFX_TARGET_AVX512_VBMI inline __m512i bytes_through_table(__m512i v, const ByteTable512& t) {
  const __m512i lo = _mm512_permutex2var_epi8(t.t0, v, t.t1);  // entries 0..127
  const __m512i hi = _mm512_permutex2var_epi8(t.t2, v, t.t3);  // entries 128..255
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), lo, hi);
}

// Red, green and blue of sixteen words through the table, alpha kept (the
// fourth byte of each word in a little-endian register).
KVFX_TARGET_AVX512_VBMI inline __m512i rgb_through_table16(__m512i v, const ByteTable512& t) {
  return _mm512_mask_blend_epi8(0x8888888888888888ull, bytes_through_table(v, t), v);
}

// The same with a table for each channel: blue the first byte of a word,
// green the second, red the third.
KVFX_TARGET_AVX512_VBMI inline __m512i rgb_through_tables16(__m512i v, const ByteTable512& r,
                                                            const ByteTable512& g,
                                                            const ByteTable512& b) {
  __m512i out = _mm512_mask_blend_epi8(0x1111111111111111ull, v, bytes_through_table(v, b));
  out = _mm512_mask_blend_epi8(0x2222222222222222ull, out, bytes_through_table(v, g));
  return _mm512_mask_blend_epi8(0x4444444444444444ull, out, bytes_through_table(v, r));
}

}  // namespace kvfx
#endif
