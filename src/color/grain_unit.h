// The film grain's unit value u = (state & 0xFFFF) / 65535.0 in vector
// lanes. Kept apart so the tests can hold it to the division for every one
// of its 65536 inputs.
#pragma once

#include "core/simd.h"

#if KVFX_X86
namespace kvfx {

// (state & 0xFFFF) / 65535.0 without a division: the product with the
// rounded reciprocal, corrected once by its exact residual (both fused), is
// the correctly rounded quotient for every one of the 65536 inputs (checked
// exhaustively by the tests); the plain product differs for 88 of them.
KVFX_TARGET_AVX512 inline __m512d unit8(__m256i st) {
  const __m512d v = _mm512_cvtepi32_pd(_mm256_and_si256(st, _mm256_set1_epi32(0xFFFF)));
  const __m512d d = _mm512_set1_pd(65535.0), rcp = _mm512_set1_pd(1.0 / 65535.0);
  const __m512d q0 = _mm512_mul_pd(v, rcp);
  const __m512d residual = _mm512_fnmadd_pd(q0, d, v);
  return _mm512_fmadd_pd(residual, rcp, q0);
}

}  // namespace kvfx
#endif
