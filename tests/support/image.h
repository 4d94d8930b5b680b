// Small helpers shared by the tests: images with padding, deterministic noise.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace kvfx_test {

// A caller-owned buffer: height rows of `row_pixels` words (row_pixels >= width
// unless a test says otherwise). stride() is in bytes as the C interface wants.
struct Image {
  int32_t width = 0, height = 0;
  int32_t row_pixels = 0;
  std::vector<uint32_t> words;

  Image() = default;
  Image(int32_t w, int32_t h, int32_t padding = 0, uint32_t fill = 0)
      : width(w), height(h), row_pixels(w + padding),
        words(static_cast<size_t>(h) * static_cast<size_t>(w + padding), fill) {}

  int32_t stride() const { return row_pixels * 4; }
  uint32_t* data() { return words.data(); }
  uint32_t& at(int32_t x, int32_t y) { return words[static_cast<size_t>(y) * row_pixels + x]; }
  uint32_t at(int32_t x, int32_t y) const { return words[static_cast<size_t>(y) * row_pixels + x]; }
};

// Any 32-bit words (not necessarily premultiplied).
inline void fill_random(std::vector<uint32_t>& v, uint32_t seed) {
  std::mt19937 rng(seed);
  for (auto& w : v) w = rng();
}

// Valid premultiplied words: every colour channel at most its alpha.
inline void fill_random_premultiplied(std::vector<uint32_t>& v, uint32_t seed) {
  std::mt19937 rng(seed);
  for (auto& w : v) {
    uint32_t a = rng() & 0xFF;
    auto c = [&] { return a == 0 ? 0u : static_cast<uint32_t>(rng() % (a + 1)); };
    uint32_t r = c(), g = c(), b = c();
    w = a << 24 | r << 16 | g << 8 | b;
  }
}

inline uint32_t argb(uint32_t a, uint32_t r, uint32_t g, uint32_t b) {
  return a << 24 | r << 16 | g << 8 | b;
}

}  // namespace kvfx_test
