// Kernels written once. A generic kernel is plain C++ over short blocks,
// forced inline (KVFX_INLINE), that the compiler vectorizes by itself; the
// instances below compile it once per x86 level, each at its own vector
// width, and the arm64 and WebAssembly builds vectorize the portable instance
// for NEON and SIMD128. Every instance computes exactly the one-word formulas:
// the arithmetic is the same IEEE operations in the same order, and fused
// multiply-adds are off for the whole library.
#pragma once

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

}  // namespace kvfx
