// The effects as plain loops over their one-word formulas: what every fast
// path, table, streaming form and vector level must reproduce word for word.
// Shared by the suite and the fuzzer; nothing here is in the shipped library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "effect_catalogue.h"

namespace kvfx_test {

// One output sample of a box blur: the word at position j of the line
// a[0], a[step], ... a[(n - 1) * step] blurred with radius r, every channel
// trunc(k * sum of a[clamp(j + t, 0, n - 1)], t = -r .. r), k = 1 / (2r + 1).
uint32_t box_blur_sample_reference(const uint32_t* a, ptrdiff_t step, int32_t n, int32_t r,
                                   int32_t j);

// One half of one pass through the library's row kernels (horizontal) or a
// plain running sum (vertical), src into dst, first `width` words of a row.
void box_blur_horizontal(const uint32_t* src, uint32_t* dst, int32_t width, int32_t height,
                         int64_t row_pixels, int32_t r);
void box_blur_vertical(const uint32_t* src, uint32_t* dst, int32_t width, int32_t height,
                       int64_t row_pixels, int32_t r);

// The three boxes the library plans for sigma, sample by sample. Returns
// false (pixels untouched) when that would cost more than `budget` window
// sums.
bool reference_blur(uint32_t* pixels, int32_t width, int32_t height, int64_t row_pixels,
                    double sigma, int64_t budget = INT64_MAX);

// What the reference could not afford to compute (the blur's brute force):
// those words are left as they were and the caller must not compare them.
enum class Unchecked { kNothing, kRows, kRun };

// The result code `effect` owes for this buffer: its entry policy's answer,
// or FX_OK.
int32_t expected_result(const kvfx_catalogue::Effect& effect, const void* pixels, int32_t width,
                        int32_t height, int32_t stride);

// Applies `effect` to `pixels` the reference way, for a buffer its entry
// checks accept (expected_result gave FX_OK). `source` is the drop shadow's
// src (nullptr: in place; it may overlap pixels, as the C interface allows).
Unchecked reference_effect(const kvfx_catalogue::Effect& effect, uint32_t* pixels, int32_t width,
                           int32_t height, int32_t stride, const double* args,
                           const uint32_t* source = nullptr, int64_t budget = INT64_MAX);

}  // namespace kvfx_test
