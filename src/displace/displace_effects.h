// Displacement effects: the pieces of arithmetic that decide where every
// output word comes from. Each output word is a function of these pieces and
// the input as it was before the call (the effects keep just enough of it:
// a few saved rows, or none at all).
#pragma once

#include <cstdint>

#include "core/split.h"

namespace kvfx {

// A coordinate sum clamped into 0 .. limit - 1 (limit >= 1), upper bound
// first. Sums are formed in 64 bits by the caller, so an offset of INT32_MIN
// added to a coordinate never overflows.
inline int32_t clamp_coordinate(int64_t v, int32_t limit) {
  if (v >= static_cast<int64_t>(limit) - 1) v = static_cast<int64_t>(limit) - 1;
  if (v <= 0) v = 0;
  return static_cast<int32_t>(v);
}

// ---- Chromatic aberration ------------------------------------------------

// Where red (rx, ry) and blue (bx, by) are fetched from, relative to a pixel.
// Fixed for a whole call.
struct ChromaticShift {
  int32_t rx, ry, bx, by;
};

// hx = cos(angle) * strength_x, hy = sin(angle) * strength_y; red at
// round(hx), round(hy) and blue at round(-hx), round(-hy), rounded halves away
// from zero. NaN, infinite or out-of-range offsets become INT32_MIN, which
// then clamps to row or column 0.
ChromaticShift chromatic_shift(double strength_x, double strength_y,
                               double angle);

// One output word: alpha and green of the pixel itself, red of the word at
// the red source, blue of the word at the blue source.
inline uint32_t chromatic_word(uint32_t center, uint32_t red_source,
                               uint32_t blue_source) {
  return (center & 0xFF00FF00u) | (red_source & 0x00FF0000u) |
         (blue_source & 0x000000FFu);
}

// ---- Glitch displacement -------------------------------------------------

// The generator's start state: the seed's bits, or 987654321 for seed 0.
inline uint32_t glitch_start_state(int32_t seed) {
  return seed == 0 ? 987654321u : static_cast<uint32_t>(seed);
}

// One linear congruential step, modulo 2^32.
inline uint32_t glitch_step(uint32_t state) {
  return state * 1664525u + 1013904223u;
}

// The step undone: the multiplier is odd, so it has an inverse modulo 2^32
// (1664525 * 0xFEE058C5 = 1).
inline uint32_t glitch_step_back(uint32_t state) {
  return (state - 1013904223u) * 0xFEE058C5u;
}

// The state n steps after `state`, in O(log n) steps: the step is an affine
// map, composed with itself by squaring.
uint32_t glitch_jump(uint32_t state, uint64_t n);

// Rows [start, end) of one band, shifted sideways by `shift`, and the three
// generator states it consumed (s3 is the state for the next band).
struct GlitchBand {
  uint32_t s1, s2, s3;
  int32_t start, end;
  int32_t shift;
};

// Draws the band that follows `state`. Requires height > 0 and
// 2 * max_shift != 0 in 32-bit arithmetic (the shift range would be empty).
// The shift is (s3 mod (2 * max_shift)) - max_shift, all in unsigned 32-bit
// arithmetic and then read as signed: for a negative max_shift it spreads
// over nearly the whole 32-bit range.
GlitchBand glitch_band(uint32_t state, int32_t height, int32_t max_shift);

// The input column that output column x of a band shows: x + shift wrapping
// in 32 bits, then clamped to 0 .. width - 1 (upper bound first).
inline int32_t glitch_column(int32_t x, int32_t shift, int32_t width) {
  int32_t c = static_cast<int32_t>(static_cast<uint32_t>(x) +
                                   static_cast<uint32_t>(shift));
  if (c >= width - 1) c = width - 1;
  if (c <= 0) c = 0;
  return c;
}

// ---- The exports' bodies ----------------------------------------------------
// Entry checks, then the effect, its pieces run by `runner` (see core/split.h).

int32_t chromatic_aberration(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                             double strength_x, double strength_y, double angle,
                             Runner& runner);
int32_t glitch_displacement(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                            int32_t band_count, int32_t max_shift, int32_t seed,
                            Runner& runner);

}  // namespace kvfx
