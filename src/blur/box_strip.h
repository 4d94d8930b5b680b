// The horizontal half of a box on a strip of rows at once, in generic form.
//
// A running sum along a row carries each word's sum into the next, so the
// vector kernels that take one row at a time scan inside registers: a chain
// of shuffles on the critical path, and the compilers do not vectorize that
// scan at all. A strip of kStripRows rows turned on its side has no such
// chain: after a word transpose, column x of the strip holds word x of every
// row (byte lane 4i + c of a quad being channel c of its row i), and the
// window sum moves along x by adding one column and subtracting another,
// lane by lane, as the vertical pass already moves down the rows. Each step
// below is a plain loop over whole columns that the compilers vectorize for
// SSE2, NEON and SIMD128 alike: the transpose in (a store group of four
// words), the sums, divided as they are made (box_kernels_narrow.h), and the
// transpose out (a load group), all on 16-bit sums, so only boxes that fit
// 16 bits come here.
#pragma once

#include <algorithm>
#include <cstdint>

#include "blur/box_kernels.h"
#include "blur/box_kernels_narrow.h"

// The rows a strip writes never overlap (their stride is at least their
// length): a compiler that cannot see that keeps the transpose out scalar.
#if defined(__clang__)
#define KVFX_ROWS_APART _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define KVFX_ROWS_APART _Pragma("GCC ivdep")
#else
#define KVFX_ROWS_APART
#endif

namespace kvfx {
namespace strip {

// A strip is turned on its side in quads of four rows, each quad a plane of
// its own: a four-row transpose is a two-stage interleave that stays within
// the registers, where an eight-row one spills.
constexpr int kQuads = kStripRows / 4;
constexpr int kQuadLanes = 16;                 // byte lanes of a column of a quad
constexpr int kLanes = kQuads * kQuadLanes;    // of a column of the strip
constexpr int kChunk = 32;                     // columns summed, divided and written back at once
static_assert(kStripRows % 4 == 0, "a strip is whole quads");

// Quad q of the strip on its side, padded as the running sum reads it:
// column p holds words clamp(p - r - 1, 0, n - 1) of rows 4q .. 4q + 3,
// p = 0 .. n + 2r, at t + 4p.
KVFX_INLINE void transpose_in(const uint32_t* __restrict in, int64_t stride, int32_t n, int32_t r,
                              uint32_t* __restrict t) {
  for (int64_t p = 0; p <= r; ++p)
    for (int i = 0; i < 4; ++i) t[4 * p + i] = in[i * stride];
  uint32_t* middle = t + 4 * (int64_t{r} + 1);
  for (int64_t x = 0; x < n; ++x)
    for (int i = 0; i < 4; ++i) middle[4 * x + i] = in[i * stride + x];
  uint32_t* end = middle + 4 * int64_t{n};
  for (int64_t p = 0; p < r; ++p)
    for (int i = 0; i < 4; ++i) end[4 * p + i] = in[i * stride + n - 1];
}

// count columns of running sums of every quad, s += add - sub per lane,
// each sum handed on as emit(sum, at): column j of quad q, lane l, at
// (q * kChunk + j) * kQuadLanes + l.
template <class Emit>
KVFX_INLINE void column_walk(const uint8_t* const* add, const uint8_t* const* sub,
                             uint16_t* __restrict carry, int count, const Emit& emit) {
  uint16_t s[kLanes];
  for (int l = 0; l < kLanes; ++l) s[l] = carry[l];
  for (int j = 0; j < count; ++j)
    for (int q = 0; q < kQuads; ++q)
      for (int l = 0; l < kQuadLanes; ++l) {
        uint16_t& v = s[q * kQuadLanes + l];
        v = static_cast<uint16_t>(v + add[q][j * kQuadLanes + l] - sub[q][j * kQuadLanes + l]);
        emit(v, (q * kChunk + j) * kQuadLanes + l);
      }
  for (int l = 0; l < kLanes; ++l) carry[l] = s[l];
}

// The walk's sums divided into bytes at once; a lossy box here is one whose
// rule starts from the sum (sum_loss_multiplier).
template <bool kShort, bool kLossy>
KVFX_INLINE void column_bytes(const uint8_t* const* add, const uint8_t* const* sub,
                              uint16_t* __restrict carry, uint8_t* __restrict bytes, int count,
                              const narrow::NarrowDivision& dv, int shift) {
  const uint16_t magic = dv.magic, g = dv.sum_loss_multiplier, inverse = dv.sum_loss_inverse;
  column_walk(add, sub, carry, count, [=](uint16_t v, int at) {
    bytes[at] = static_cast<uint8_t>(kLossy ? narrow::sum_rule_quotient<kShort>(v, magic, shift, g, inverse)
                                            : narrow::quotient_lane<kShort>(v, magic, shift));
  });
}

// The walk's sums kept for a division of their own, for the lossy boxes
// whose rule starts from the quotient.
KVFX_INLINE void column_sums(const uint8_t* const* add, const uint8_t* const* sub,
                             uint16_t* __restrict carry, uint16_t* __restrict sums, int count) {
  column_walk(add, sub, carry, count, [=](uint16_t v, int at) { sums[at] = v; });
}

// count columns of a quad back into its rows: word x of row i from column x.
KVFX_INLINE void transpose_out(const uint32_t* __restrict t, uint32_t* __restrict out,
                               int64_t stride, int count) {
  KVFX_ROWS_APART
  for (int64_t x = 0; x < count; ++x)
    for (int i = 0; i < 4; ++i) out[i * stride + x] = t[4 * x + i];
}

// Rows in + i * in_stride, i < kStripRows, of n words each, blurred along
// the row with radius r (windows clamped to the row) into out + i *
// out_stride. Needs scale.fits16 and strides of at least n; scratch holds
// box_strip_scratch_words(n, r).
KVFX_INLINE void blur_strip(const uint32_t* in, int64_t in_stride, uint32_t* out,
                            int64_t out_stride, int32_t n, int32_t r, const BoxScale& scale,
                            uint32_t* scratch) {
  const narrow::NarrowDivision dv = narrow::narrow_division(scale);
  const int shift = narrow::narrow_shift(dv);
  const int64_t columns = int64_t{n} + 2 * int64_t{r} + 1;
  const uint8_t* t[kQuads];
  for (int q = 0; q < kQuads; ++q) {
    uint32_t* plane = scratch + 4 * columns * q;
    transpose_in(in + 4 * q * in_stride, in_stride, n, r, plane);
    t[q] = narrow::bytes_of(plane);
  }
  // The window of the column before the first: columns 0 .. 2r.
  uint16_t carry[kLanes];
  for (int l = 0; l < kLanes; ++l) carry[l] = 0;
  for (int q = 0; q < kQuads; ++q)
    for (int64_t p = 0; p <= 2 * int64_t{r}; ++p)
      for (int l = 0; l < kQuadLanes; ++l)
        carry[q * kQuadLanes + l] =
            static_cast<uint16_t>(carry[q * kQuadLanes + l] + t[q][p * kQuadLanes + l]);
  alignas(64) uint32_t bytes[kChunk * kStripRows];
  uint8_t* b = narrow::bytes_of(bytes);
  const bool short_form = scale.short_division;
  const bool from_quotient = scale.lossy && dv.sum_loss_multiplier == 0;
  for (int32_t j0 = 0; j0 < n; j0 += kChunk) {
    const int count = std::min(kChunk, n - j0);
    const uint8_t* add[kQuads];
    const uint8_t* sub[kQuads];
    for (int q = 0; q < kQuads; ++q) {
      add[q] = t[q] + (int64_t{j0} + 2 * int64_t{r} + 1) * kQuadLanes;
      sub[q] = t[q] + int64_t{j0} * kQuadLanes;
    }
    if (from_quotient) {
      alignas(64) uint16_t sums[kChunk * kLanes];
      column_sums(add, sub, carry, sums, count);
      for (int q = 0; q < kQuads; ++q)
        narrow::divide_sums(sums + q * kChunk * kQuadLanes, b + q * kChunk * kQuadLanes,
                            count * kQuadLanes, dv, short_form, true, shift);
    } else if (short_form) {
      if (scale.lossy) column_bytes<true, true>(add, sub, carry, b, count, dv, shift);
      else column_bytes<true, false>(add, sub, carry, b, count, dv, shift);
    } else {
      if (scale.lossy) column_bytes<false, true>(add, sub, carry, b, count, dv, shift);
      else column_bytes<false, false>(add, sub, carry, b, count, dv, shift);
    }
    for (int q = 0; q < kQuads; ++q)
      transpose_out(bytes + q * kChunk * 4, out + 4 * q * out_stride + j0, out_stride, count);
  }
}

}  // namespace strip
}  // namespace kvfx
