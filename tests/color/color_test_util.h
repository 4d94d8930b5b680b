// Helpers shared by the colour-effect tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "support/image.h"

namespace kvfx_color_test {

using kvfx_test::Image;

// An effect with its extra arguments bound: (pixels, width, height, stride).
using Effect = std::function<int32_t(uint32_t*, int32_t, int32_t, int32_t)>;

// Null pixels, width 0 and height 0 each return `rejected` with the buffer
// untouched.
inline void expect_entry_checks(const Effect& fx, int32_t rejected) {
  Image img(4, 3, 1);
  kvfx_test::fill_random(img.words, 7);
  const std::vector<uint32_t> before = img.words;
  EXPECT_EQ(fx(nullptr, 4, 3, img.stride()), rejected);
  EXPECT_EQ(fx(img.data(), 0, 3, img.stride()), rejected);
  EXPECT_EQ(fx(img.data(), -1, 3, img.stride()), rejected);
  EXPECT_EQ(fx(img.data(), 4, 0, img.stride()), rejected);
  EXPECT_EQ(fx(img.data(), 4, -5, img.stride()), rejected);
  EXPECT_EQ(img.words, before);
}

// Whole-run effects: a stride of -3..3 is an empty run (FX_OK, nothing
// changes); -4 and below is a negative run and is rejected, nothing changes.
inline void expect_whole_run_stride_handling(const Effect& fx) {
  Image img(4, 3);
  kvfx_test::fill_random(img.words, 11);
  const std::vector<uint32_t> before = img.words;
  for (int32_t stride : {0, 1, 2, 3, -1, -2, -3}) {
    EXPECT_EQ(fx(img.data(), 4, 3, stride), 0) << "stride " << stride;
  }
  for (int32_t stride : {-4, -7, -16, INT32_MIN}) {
    EXPECT_EQ(fx(img.data(), 4, 3, stride), -1) << "stride " << stride;
  }
  EXPECT_EQ(img.words, before);
}

// A random geometry: small sizes, 0..5 padding words, a stride that is not a
// multiple of 4 now and then (its remainder is dropped).
struct RandomGeometry {
  Image img;
  int32_t stride;
};

inline RandomGeometry random_geometry(std::mt19937& rng) {
  std::uniform_int_distribution<int32_t> size(1, 23), pad(0, 5), extra(0, 3);
  Image img(size(rng), size(rng), pad(rng));
  kvfx_test::fill_random(img.words, rng());
  const int32_t stride = img.stride() + (rng() % 4 == 0 ? extra(rng) : 0);
  return {img, stride};
}

}  // namespace kvfx_color_test
