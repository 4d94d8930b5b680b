// The C boundary: the entry checks every export makes, as data, and the one
// function that applies them and keeps C++ exceptions from reaching a C
// caller.
#pragma once

#include <cstdint>
#include <new>

#include "core/geometry.h"
#include "kelvo_fx.h"

namespace kvfx {

// What an effect answers a buffer it cannot, or need not, work on.
enum class Answer : int8_t {
  kWork,       // go on: the effect is defined for this buffer
  kNothing,    // FX_OK, nothing read or written
  kRefuse,     // FX_ERR_INVALID_ARGUMENT, nothing read or written
};

// One row per export, checked in this order; the first answer that is not
// kWork ends the call before any memory is touched or allocated.
struct EntryPolicy {
  Answer bad_buffer;        // a NULL pointer, width <= 0 or height <= 0
  Answer negative_rows;     // row_pixels < 0: a stride of -4 or less
  Answer overlapping_rows;  // 0 <= row_pixels < width: rows share words
};

// The whole table, to be read against kelvo_fx.h. Whole-run effects walk
// height * row_pixels words, so overlapping rows are simply part of the run;
// row effects without scratch memory take any stride (bottom-up images).
// The blur, scanlines and glitch have nothing to do where the others refuse.
namespace entry {
constexpr Answer W = Answer::kWork, N = Answer::kNothing, R = Answer::kRefuse;
//                                         bad buffer  stride <= -4  rows overlap
constexpr EntryPolicy kGaussianBlur         {N,          N,            N};
constexpr EntryPolicy kBloom                {R,          R,            N};
constexpr EntryPolicy kDropShadow           {R,          R,            R};
constexpr EntryPolicy kToneMapAces          {R,          R,            W};
constexpr EntryPolicy kColorGrade           {R,          R,            W};
constexpr EntryPolicy kVignette             {R,          W,            W};
constexpr EntryPolicy kFilmGrain            {R,          R,            W};
constexpr EntryPolicy kScanlines            {N,          W,            W};
constexpr EntryPolicy kChromaticAberration  {R,          R,            R};
constexpr EntryPolicy kGlitchDisplacement   {N,          N,            N};
}  // namespace entry

// What a call's body sees once the checks have passed.
struct Buffer {
  int32_t width, height;
  int64_t row_pixels;  // stride / 4, truncated toward zero
  int64_t run_count;   // height * row_pixels, in 64 bits
};

constexpr int32_t result_of(Answer a) {
  return a == Answer::kRefuse ? FX_ERR_INVALID_ARGUMENT : FX_OK;
}

// The first answer of `policy` that is not kWork for this buffer, or kWork.
inline Answer check_entry(const EntryPolicy& policy, bool pointers, int32_t width,
                          int32_t height, int32_t stride) {
  if (!pointers || width <= 0 || height <= 0) return policy.bad_buffer;
  const int64_t row_pixels = row_pixels_of(stride);
  if (row_pixels < 0) return policy.negative_rows;
  if (row_pixels < width) return policy.overlapping_rows;
  return Answer::kWork;
}

// Runs an export: the entry checks of `policy`, then body(buffer). The body
// returns nothing (FX_OK) and may end early when its own arguments leave it
// nothing to do. Scratch memory it cannot get throws std::bad_alloc, which
// becomes FX_ERR_OUT_OF_MEMORY; every effect makes its scratch memory before
// it writes a caller pixel, so the caller's buffers are then as they were.
// Anything else thrown (the library throws nothing else, but the standard
// library's length_error is an allocation failure in all but name) is
// reported the same way rather than let through to a C caller.
template <class Body>
int32_t run_effect(const EntryPolicy& policy, const void* pixels, int32_t width,
                   int32_t height, int32_t stride, Body body) noexcept {
  const Answer a = check_entry(policy, pixels != nullptr, width, height, stride);
  if (a != Answer::kWork) return result_of(a);
  const Buffer buffer{width, height, row_pixels_of(stride), run_count_of(height, stride)};
  try {
    body(buffer);
    return FX_OK;
  } catch (...) {
    return FX_ERR_OUT_OF_MEMORY;
  }
}

}  // namespace kvfx
