#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "color/color_effects.h"
#include "color/color_test_util.h"
#include "kelvo_fx.h"

namespace {

using kvfx_color_test::Image;
using kvfx_test::argb;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TEST(Scanlines, DarkenedChannelsTruncate) {
  struct Case { double intensity; uint32_t in, out; };
  const Case cases[] = {
      {0.3, argb(255, 200, 255, 100), argb(255, 140, 178, 70)},
      {0.5, argb(255, 255, 1, 0), argb(255, 127, 0, 0)},
      {1.0, argb(77, 255, 9, 40), argb(77, 0, 0, 0)},
      {2.5, argb(77, 255, 9, 40), argb(77, 0, 0, 0)},
      {kNaN, argb(77, 255, 9, 40), argb(77, 0, 0, 0)},
      {kInf, argb(77, 255, 9, 40), argb(77, 0, 0, 0)},
  };
  for (const Case& c : cases) {
    uint32_t w = c.in;
    ASSERT_EQ(kv_fx_scanlines(&w, 1, 1, 4, 2, c.intensity), FX_OK);
    EXPECT_EQ(w, c.out) << "intensity " << c.intensity;
  }
}

TEST(Scanlines, NonPositiveIntensityChangesNothing) {
  for (double intensity : {0.0, -0.0, -0.4, -kInf}) {
    Image img(5, 6, 1);
    kvfx_test::fill_random(img.words, 4);
    const std::vector<uint32_t> before = img.words;
    ASSERT_EQ(kv_fx_scanlines(img.data(), 5, 6, img.stride(), 1, intensity), FX_OK);
    EXPECT_EQ(img.words, before) << intensity;
  }
}

TEST(Scanlines, DarkensEverySpacingThRowOnly) {
  const uint32_t grey = argb(255, 100, 100, 100), dark = argb(255, 50, 50, 50);
  struct Case { int32_t spacing; std::vector<int32_t> rows; };
  const Case cases[] = {
      {1, {0, 1, 2, 3, 4, 5, 6}}, {3, {0, 3, 6}},
      {7, {0}}, {100, {0}}, {INT32_MAX, {0}},
  };
  for (const Case& c : cases) {
    Image img(4, 7, 2, grey);
    ASSERT_EQ(kv_fx_scanlines(img.data(), 4, 7, img.stride(), c.spacing, 0.5), FX_OK);
    for (int32_t y = 0; y < 7; ++y) {
      bool darkened = false;
      for (int32_t r : c.rows) darkened |= r == y;
      for (int32_t x = 0; x < 4; ++x)
        EXPECT_EQ(img.at(x, y), darkened ? dark : grey) << c.spacing << " " << x << "," << y;
      for (int32_t x = 4; x < 6; ++x) EXPECT_EQ(img.at(x, y), grey) << "padding";
    }
  }
}

TEST(Scanlines, RejectedCallsReturnOkAndChangeNothing) {
  kvfx_color_test::expect_entry_checks(
      [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
        return kv_fx_scanlines(p, w, h, s, 2, 0.5);
      },
      FX_OK);
  Image img(4, 3, 1);
  kvfx_test::fill_random(img.words, 8);
  const std::vector<uint32_t> before = img.words;
  for (int32_t spacing : {0, -1, INT32_MIN}) {
    EXPECT_EQ(kv_fx_scanlines(img.data(), 4, 3, img.stride(), spacing, 0.5), FX_OK);
  }
  EXPECT_EQ(img.words, before);
}

TEST(Scanlines, BottomUpBufferMatchesTopDownMirrored) {
  Image top(6, 5, 1), bottom(6, 5, 1);
  kvfx_test::fill_random(top.words, 12);
  for (int32_t y = 0; y < 5; ++y)
    for (int32_t x = 0; x < 7; ++x) bottom.at(x, 4 - y) = top.at(x, y);
  ASSERT_EQ(kv_fx_scanlines(top.data(), 6, 5, top.stride(), 2, 0.4), FX_OK);
  ASSERT_EQ(kv_fx_scanlines(&bottom.at(0, 4), 6, 5, -bottom.stride(), 2, 0.4), FX_OK);
  for (int32_t y = 0; y < 5; ++y)
    for (int32_t x = 0; x < 7; ++x) EXPECT_EQ(bottom.at(x, 4 - y), top.at(x, y));
}

TEST(Scanlines, TableMatchesOneWordFormulaOnRandomImages) {
  std::mt19937 rng(99);
  std::uniform_real_distribution<double> intensity(-0.2, 1.2);
  for (int round = 0; round < 60; ++round) {
    auto [img, stride] = kvfx_color_test::random_geometry(rng);
    const int32_t spacing = 1 + static_cast<int32_t>(rng() % 5);
    const double i = intensity(rng);
    const std::vector<uint32_t> before = img.words;
    ASSERT_EQ(kv_fx_scanlines(img.data(), img.width, img.height, stride, spacing, i),
              FX_OK);
    const double f = kvfx::scanline_factor(i);
    const int32_t row_pixels = stride / 4;
    for (size_t k = 0; k < before.size(); ++k) {
      const int32_t y = static_cast<int32_t>(k / row_pixels);
      const int32_t x = static_cast<int32_t>(k % row_pixels);
      const bool darkened = x < img.width && y % spacing == 0;
      ASSERT_EQ(img.words[k], darkened ? kvfx::scanline_word(before[k], f) : before[k])
          << "round " << round << " word " << k;
    }
  }
}

}  // namespace
