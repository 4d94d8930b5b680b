#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "color/color_effects.h"
#include "color/color_test_util.h"
#include "kelvo_fx.h"

namespace {

using kvfx_color_test::Image;
using kvfx_test::argb;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The grade table as seen through the exported function (saturation 1):
// output level for every input level, grey words, alpha checked kept.
std::vector<uint32_t> grade_levels(double brightness, double contrast, double gamma) {
  Image img(256, 1);
  for (uint32_t i = 0; i < 256; ++i) img.at(i, 0) = argb(255 - i, i, i, i);
  EXPECT_EQ(kv_fx_color_grade(img.data(), 256, 1, img.stride(), brightness, contrast,
                              1.0, gamma),
            FX_OK);
  std::vector<uint32_t> out(256);
  for (uint32_t i = 0; i < 256; ++i) {
    const uint32_t w = img.at(i, 0);
    EXPECT_EQ(w >> 24, 255 - i);
    EXPECT_EQ((w >> 16) & 0xFF, w & 0xFF);
    EXPECT_EQ((w >> 8) & 0xFF, w & 0xFF);
    out[i] = w & 0xFF;
  }
  return out;
}

uint32_t grade_one(uint32_t word, double saturation) {
  uint32_t w = word;
  EXPECT_EQ(kv_fx_color_grade(&w, 1, 1, 4, 0.0, 1.0, saturation, 1.0), FX_OK);
  return w;
}

TEST(ColorGrade, NeutralSettingsLowerExactlyTwentyLevels) {
  const std::set<uint32_t> lowered = {1,  2,  5,  9,  10, 13, 17, 18, 21, 25,
                                      26, 29, 33, 34, 41, 42, 49, 50, 57, 58};
  const std::vector<uint32_t> out = grade_levels(0.0, 1.0, 1.0);
  for (uint32_t i = 0; i < 256; ++i) {
    EXPECT_EQ(out[i], lowered.count(i) ? i - 1 : i) << "level " << i;
  }
}

TEST(ColorGrade, TableExamples) {
  struct Case { double brightness, contrast, gamma; uint32_t in, out; };
  const Case cases[] = {
      {0.0, 1.0, 2.0, 1, 15},    {0.0, 1.0, 2.0, 64, 127},
      {0.0, 1.0, 2.0, 128, 180}, {0.0, 1.0, 2.0, 255, 255},
      {0.0, 2.0, 1.0, 127, 126}, {0.0, 2.0, 1.0, 128, 128},
      {0.0, 2.0, 1.0, 192, 255},
      {0.1, 1.0, 1.0, 0, 25},    {0.1, 1.0, 1.0, 128, 153},
      {0.1, 1.0, 1.0, 229, 254},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(grade_levels(c.brightness, c.contrast, c.gamma)[c.in], c.out)
        << "b " << c.brightness << " c " << c.contrast << " g " << c.gamma
        << " level " << c.in;
  }
  const std::vector<uint32_t> contrast2 = grade_levels(0.0, 2.0, 1.0);
  for (uint32_t i = 0; i <= 64; ++i) EXPECT_EQ(contrast2[i], 0u) << i;
  const std::vector<uint32_t> bright = grade_levels(0.1, 1.0, 1.0);
  for (uint32_t i = 230; i < 256; ++i) EXPECT_EQ(bright[i], 255u) << i;
}

TEST(ColorGrade, GammaWithoutPositiveValueActsAsOne) {
  const std::vector<uint32_t> neutral = grade_levels(0.0, 1.0, 1.0);
  for (double gamma : {0.0, -0.0, -2.0, -kInf, kNaN}) {
    EXPECT_EQ(grade_levels(0.0, 1.0, gamma), neutral) << "gamma " << gamma;
  }
}

TEST(ColorGrade, NonFiniteGradingSaturates) {
  // gamma +inf: exponent 0, and pow(0, 0) is 1; NaN brightness or contrast
  // clamps to 1 before the power.
  const struct { double b, c, g; } cases[] = {
      {0.0, 1.0, kInf}, {kNaN, 1.0, 1.0}, {0.0, kNaN, 1.0}, {kNaN, 1.0, 2.0}};
  for (const auto& c : cases) {
    for (uint32_t v : grade_levels(c.b, c.c, c.g)) EXPECT_EQ(v, 255u);
  }
}

TEST(ColorGrade, SaturationMixesAroundTruncatedLuma) {
  struct Case { uint32_t in; double saturation; uint32_t out; };
  const Case cases[] = {
      {argb(255, 255, 0, 0), 0.0, argb(255, 76, 76, 76)},
      {argb(255, 0, 255, 0), 0.0, argb(255, 149, 149, 149)},
      {argb(255, 0, 0, 255), 0.0, argb(255, 29, 29, 29)},
      {argb(200, 100, 150, 200), 0.0, argb(200, 140, 140, 140)},
      {argb(255, 100, 150, 200), 2.0, argb(255, 59, 159, 255)},
      {argb(7, 100, 150, 200), kNaN, argb(7, 255, 255, 255)},
      {argb(0, 0, 0, 0), kNaN, argb(0, 255, 255, 255)},
      // Graded (9, 200, 90), luma 130.351, mirrored; alpha is kept even where
      // the channels end up above it.
      {argb(3, 10, 200, 90), -1.0, argb(3, 251, 60, 170)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(grade_one(c.in, c.saturation), c.out)
        << std::hex << c.in << " saturation " << c.saturation;
  }
}

TEST(ColorGrade, RewritesRowPadding) {
  Image img(2, 3, 3, argb(255, 1, 2, 5));
  ASSERT_EQ(kv_fx_color_grade(img.data(), 2, 3, img.stride(), 0.0, 1.0, 1.0, 1.0), FX_OK);
  for (uint32_t w : img.words) EXPECT_EQ(w, argb(255, 0, 1, 4));
}

TEST(ColorGrade, EntryChecksAndStrides) {
  auto fx = [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
    return kv_fx_color_grade(p, w, h, s, 0.1, 1.2, 0.5, 2.0);
  };
  kvfx_color_test::expect_entry_checks(fx, FX_ERR_INVALID_ARGUMENT);
  kvfx_color_test::expect_whole_run_stride_handling(fx);
}

TEST(ColorGrade, EffectMatchesOneWordFormulaOnRandomImages) {
  std::mt19937 rng(77);
  std::uniform_real_distribution<double> brightness(-0.6, 0.6), contrast(-1.0, 3.0),
      saturation(-1.5, 3.0), gamma(0.2, 4.0);
  for (int round = 0; round < 60; ++round) {
    auto [img, stride] = kvfx_color_test::random_geometry(rng);
    const double b = brightness(rng), c = contrast(rng), g = round % 5 == 0 ? 1.0 : gamma(rng);
    // Every third round takes the lookup-only path.
    const double s = round % 3 == 0 ? 1.0 : saturation(rng);
    const std::vector<uint32_t> before = img.words;
    ASSERT_EQ(kv_fx_color_grade(img.data(), img.width, img.height, stride, b, c, s, g),
              FX_OK);
    const kvfx::ChannelTable table = kvfx::color_grade_table(b, c, g);
    for (uint32_t i = 0; i < 256; ++i) {
      ASSERT_EQ(table[i], kvfx::color_grade_entry(i, b, c, g));
    }
    const size_t run = static_cast<size_t>(img.height) * (stride / 4);
    for (size_t k = 0; k < before.size(); ++k) {
      const uint32_t want = k < run ? kvfx::color_grade_word(before[k], table, s) : before[k];
      ASSERT_EQ(img.words[k], want) << "round " << round << " word " << k;
    }
  }
}

}  // namespace
