// Kernels written once. A generic kernel is plain C++ over short blocks,
// forced inline (KVFX_INLINE), that the compiler vectorizes by itself; the
// instances below compile it once per x86 level, each at its own vector
// width, and the arm64 and WebAssembly builds vectorize the portable instance
// for NEON and SIMD128. Every instance computes exactly the one-word formulas:
// the arithmetic is the same IEEE operations in the same order, and fused
// multiply-adds are off for the whole library.
#pragma once

#include <cstdint>

#include "core/cpu.h"
#include "core/pixel.h"

namespace kvfx {

// The x86 instances exist in every build, so kernel tables need no #if; off
// x86 they are plain copies of the portable one, and their levels are never
// available.
template <auto F>
struct AtEachLevel;

template <class R, class... A, R (*F)(A...)>
struct AtEachLevel<F> {
  static R portable(A... a) { return F(a...); }
  KVFX_TARGET_AVX2 static R avx2(A... a) { return F(a...); }
  KVFX_TARGET_AVX512 static R avx512(A... a) { return F(a...); }
};

// A generic pass whose estimate is sure of nearly every word, in chunks of
// 64: estimate(k) makes word k without a branch (so that the compiler
// vectorizes the chunk) and returns whether it is unsure, leaving that
// word's input readable; fix(k) then makes each unsure word by the formula,
// in the few chunks that have one.
template <class Estimate, class Fix>
KVFX_INLINE void estimate_then_fix(int64_t n, Estimate estimate, Fix fix) {
  constexpr int64_t kChunk = 64;
  for (int64_t k0 = 0; k0 < n; k0 += kChunk) {
    const int64_t m = n - k0 < kChunk ? n - k0 : kChunk;
    uint8_t unsure[kChunk];
    uint32_t any = 0;
    for (int64_t k = 0; k < m; ++k) {
      unsure[k] = estimate(k0 + k) ? 1 : 0;
      any |= unsure[k];
    }
    if (any == 0) continue;
    for (int64_t k = 0; k < m; ++k)
      if (unsure[k]) fix(k0 + k);
  }
}

}  // namespace kvfx
