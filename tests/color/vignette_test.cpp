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

int32_t vignette(Image& img, double strength, double radius, double softness,
                 uint32_t color) {
  return kv_fx_vignette(img.data(), img.width, img.height, img.stride(), strength,
                        radius, softness, color);
}

TEST(Vignette, WhiteSquareFadesToBlackAtTheCorner) {
  Image img(100, 100, 0, argb(255, 255, 255, 255));
  ASSERT_EQ(vignette(img, 1.0, 0.5, 0.5, 0), FX_OK);
  EXPECT_EQ(img.at(0, 0), argb(255, 0, 0, 0));
  EXPECT_EQ(img.at(50, 50), argb(255, 255, 255, 255));
  EXPECT_EQ(img.at(0, 50), argb(255, 159, 159, 159));
  // The centre is (50, 50), so the far corner is one pixel nearer than (0, 0).
  EXPECT_NE(img.at(99, 99), argb(255, 0, 0, 0));
  for (uint32_t w : img.words) EXPECT_EQ(w >> 24, 255u);
}

TEST(Vignette, GreySquareTowardOrangeAtHalfStrength) {
  Image img(10, 10, 0, argb(255, 128, 128, 128));
  ASSERT_EQ(vignette(img, 0.5, 0.0, 1.0, 0xFFFF8000u), FX_OK);
  EXPECT_EQ(img.at(0, 0), argb(255, 191, 128, 64));
  EXPECT_EQ(img.at(5, 5), argb(255, 128, 128, 128));
}

TEST(Vignette, NonPositiveSoftnessGivesAHardEdge) {
  // Radius 0.5 of a half-diagonal of 50 * sqrt(2): about 35.36 pixels.
  for (double softness : {0.0, -0.3, kNaN}) {
    Image img(100, 100, 0, argb(255, 255, 255, 255));
    ASSERT_EQ(vignette(img, 1.0, 0.5, softness, 0), FX_OK);
    EXPECT_EQ(img.at(50, 15), argb(255, 255, 255, 255)) << softness;  // d = 35
    EXPECT_EQ(img.at(50, 14), argb(255, 0, 0, 0)) << softness;        // d = 36
    EXPECT_EQ(img.at(0, 50), argb(255, 0, 0, 0)) << softness;
  }
}

TEST(Vignette, NanArgumentsReachTheUpperBounds) {
  Image img(7, 5, 0, argb(9, 0, 3, 1));
  ASSERT_EQ(vignette(img, kNaN, 0.5, 0.5, 0), FX_OK);
  for (uint32_t w : img.words) EXPECT_EQ(w, argb(9, 255, 255, 255));
  // A NaN radius makes every t NaN, which clamps to 1: full colour everywhere,
  // the centre included.
  Image flat(7, 5, 0, argb(200, 10, 20, 30));
  ASSERT_EQ(vignette(flat, 1.0, kNaN, 0.5, 0x00405060u), FX_OK);
  for (uint32_t w : flat.words) EXPECT_EQ(w, argb(200, 0x40, 0x50, 0x60));
}

TEST(Vignette, TransparentPixelsStillReceiveColour) {
  Image img(10, 10, 0, 0);
  ASSERT_EQ(vignette(img, 1.0, 0.0, 1.0, 0x00C86432u), FX_OK);
  EXPECT_EQ(img.at(0, 0), argb(0, 200, 100, 50));
}

TEST(Vignette, LeavesRowPaddingAlone) {
  const uint32_t pad = 0x12345678u;
  Image img(9, 6, 3, pad);
  for (int32_t y = 0; y < 6; ++y)
    for (int32_t x = 0; x < 9; ++x) img.at(x, y) = argb(255, 200, 200, 200);
  ASSERT_EQ(vignette(img, 1.0, 0.0, 0.5, 0x000000FFu), FX_OK);
  for (int32_t y = 0; y < 6; ++y)
    for (int32_t x = 9; x < 12; ++x) EXPECT_EQ(img.at(x, y), pad);
  EXPECT_NE(img.at(0, 0), argb(255, 200, 200, 200));
}

TEST(Vignette, BottomUpBufferMatchesTopDownMirrored) {
  std::mt19937 rng(5);
  for (int32_t padding : {0, 2}) {
    Image top(13, 8, padding);
    kvfx_test::fill_random(top.words, rng());
    // The same picture stored bottom-up: picture row y in memory row h - 1 - y.
    Image bottom(13, 8, padding);
    for (int32_t y = 0; y < 8; ++y)
      for (int32_t x = 0; x < top.row_pixels; ++x) bottom.at(x, 7 - y) = top.at(x, y);
    const std::vector<uint32_t> bottom_before = bottom.words;

    ASSERT_EQ(vignette(top, 0.8, 0.2, 0.6, 0x00336699u), FX_OK);
    ASSERT_EQ(kv_fx_vignette(&bottom.at(0, 7), 13, 8, -bottom.stride(), 0.8, 0.2, 0.6,
                             0x00336699u),
              FX_OK);
    for (int32_t y = 0; y < 8; ++y) {
      for (int32_t x = 0; x < top.row_pixels; ++x) {
        EXPECT_EQ(bottom.at(x, 7 - y), top.at(x, y)) << x << "," << y;
      }
    }
    EXPECT_NE(bottom.words, bottom_before);
  }
}

TEST(Vignette, EntryChecks) {
  kvfx_color_test::expect_entry_checks(
      [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
        return kv_fx_vignette(p, w, h, s, 1.0, 0.1, 0.5, 0);
      },
      FX_ERR_INVALID_ARGUMENT);
}

}  // namespace
