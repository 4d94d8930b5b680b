#include <gtest/gtest.h>

#include <cmath>
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

// Output level for every input level 0..255 (grey words with an alpha that
// the effect must leave alone), through the exported function.
std::vector<uint32_t> tone_levels(double exposure) {
  Image img(256, 1);
  for (uint32_t i = 0; i < 256; ++i) img.at(i, 0) = argb(i ^ 0x5A, i, i, i);
  EXPECT_EQ(kv_fx_tone_map_aces(img.data(), 256, 1, img.stride(), exposure), FX_OK);
  std::vector<uint32_t> out(256);
  for (uint32_t i = 0; i < 256; ++i) {
    const uint32_t w = img.at(i, 0);
    EXPECT_EQ(w >> 24, i ^ 0x5A) << "alpha of level " << i;
    EXPECT_EQ((w >> 16) & 0xFF, w & 0xFF);
    EXPECT_EQ((w >> 8) & 0xFF, w & 0xFF);
    out[i] = w & 0xFF;
  }
  return out;
}

TEST(ToneMap, KnownLevels) {
  struct Case { double exposure; uint32_t in, out; };
  const Case cases[] = {
      {1.0, 255, 204}, {1.0, 128, 157}, {1.0, 64, 95}, {1.0, 1, 0}, {1.0, 0, 0},
      {2.0, 255, 233}, {2.0, 128, 205}, {0.5, 255, 157},
      {-1.0, 30, 76},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tone_levels(c.exposure)[c.in], c.out)
        << "exposure " << c.exposure << " level " << c.in;
  }
}

TEST(ToneMap, ZeroExposureBlackensEveryLevel) {
  for (uint32_t v : tone_levels(0.0)) EXPECT_EQ(v, 0u);
}

TEST(ToneMap, NegativeExposureBrightensAboveSmallLevels) {
  const std::vector<uint32_t> out = tone_levels(-1.0);
  for (uint32_t i = 0; i <= 5; ++i) EXPECT_EQ(out[i], 0u) << i;
  for (uint32_t i = 62; i < 256; ++i) EXPECT_EQ(out[i], 255u) << i;
}

TEST(ToneMap, NonFiniteExposureSaturatesEveryLevel) {
  for (double exposure : {kNaN, kInf, -kInf}) {
    const std::vector<uint32_t> out = tone_levels(exposure);
    for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(out[i], 255u) << exposure << " " << i;
  }
}

TEST(ToneMap, RewritesRowPadding) {
  Image img(3, 2, 2, argb(255, 255, 255, 255));
  ASSERT_EQ(kv_fx_tone_map_aces(img.data(), 3, 2, img.stride(), 1.0), FX_OK);
  for (uint32_t w : img.words) EXPECT_EQ(w, argb(255, 204, 204, 204));
}

TEST(ToneMap, EntryChecksAndStrides) {
  auto fx = [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
    return kv_fx_tone_map_aces(p, w, h, s, 1.0);
  };
  kvfx_color_test::expect_entry_checks(fx, FX_ERR_INVALID_ARGUMENT);
  kvfx_color_test::expect_whole_run_stride_handling(fx);
}

TEST(ToneMap, TableMatchesOneWordFormulaOnRandomImages) {
  std::mt19937 rng(2024);
  std::uniform_real_distribution<double> exposure_dist(-3.0, 12.0);
  const double special[] = {0.0, -0.0, 1.0, kNaN, kInf, -kInf, 1e-300, 1e300};
  for (int round = 0; round < 60; ++round) {
    auto [img, stride] = kvfx_color_test::random_geometry(rng);
    const double exposure = round < 8 ? special[round] : exposure_dist(rng);
    const std::vector<uint32_t> before = img.words;
    ASSERT_EQ(kv_fx_tone_map_aces(img.data(), img.width, img.height, stride, exposure),
              FX_OK);
    // The whole run is height * row_pixels words; a stride remainder drops out.
    const size_t run = static_cast<size_t>(img.height) * (stride / 4);
    for (size_t k = 0; k < before.size(); ++k) {
      const uint32_t want = k < run ? kvfx::tone_map_word(before[k], exposure) : before[k];
      ASSERT_EQ(img.words[k], want) << "round " << round << " word " << k;
    }
  }
}

}  // namespace
