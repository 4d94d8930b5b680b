// Vector intrinsics for the x86 fast paths, with the dispatch macros.
#pragma once

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

#if KVFX_X86
namespace kvfx {

// channel_to_byte on eight (four) doubles: min(v, 255) returns its second
// operand, 255, when v is NaN, which is the scalar rule; then max(., 0) and
// truncation toward zero.
KVFX_TARGET_AVX512 inline __m256i channel_to_byte8(__m512d v) {
  return _mm512_cvttpd_epi32(
      _mm512_max_pd(_mm512_min_pd(v, _mm512_set1_pd(255.0)), _mm512_setzero_pd()));
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

KVFX_TARGET_AVX2 inline __m128i channel_to_byte4(__m256d v) {
  return _mm256_cvttpd_epi32(
      _mm256_max_pd(_mm256_min_pd(v, _mm256_set1_pd(255.0)), _mm256_setzero_pd()));
}

}  // namespace kvfx
#endif
