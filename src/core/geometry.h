// Buffer geometry and the two visiting orders.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvfx {

// Distance between row starts in words: stride / 4, truncating toward zero
// (a stride of 7 gives 1, of -7 gives -1).
inline int64_t row_pixels_of(int32_t stride) { return stride / 4; }

// height * row_pixels in 64 bits: the 32-bit product overflows for large
// frames. Negative for a negative stride.
inline int64_t run_count_of(int32_t height, int32_t stride) {
  return static_cast<int64_t>(height) * row_pixels_of(stride);
}

// A buffer whose rows do not overlap: row_pixels >= width (so stride >= 0).
inline bool rows_fit(int32_t width, int32_t stride) {
  return row_pixels_of(stride) >= width;
}

// Rows that share no word, top-down or bottom-up: |row_pixels| >= width.
// Where they share words a row walk must visit them in order, each row
// reading what the rows before it left.
inline bool rows_apart(int32_t width, int64_t row_pixels) {
  return row_pixels >= width || -row_pixels >= width;
}

// Whole-run walk: pixels[0 .. count - 1] in increasing address order, row
// padding included. `map` takes a word and returns its replacement.
template <class Map>
inline void walk_run(uint32_t* pixels, int64_t count, Map map) {
  for (int64_t k = 0; k < count; ++k) pixels[k] = map(pixels[k]);
}

// Row walk: rows 0 .. height - 1, in each the first `width` words; padding is
// never touched. Works for negative row_pixels (bottom-up buffers).
// `map` takes (word, x, y) and returns the replacement.
template <class Map>
inline void walk_rows(uint32_t* pixels, int32_t width, int32_t height,
                      int64_t row_pixels, Map map) {
  for (int32_t y = 0; y < height; ++y) {
    uint32_t* row = pixels + static_cast<ptrdiff_t>(y * row_pixels);
    for (int32_t x = 0; x < width; ++x) row[x] = map(row[x], x, y);
  }
}

}  // namespace kvfx
