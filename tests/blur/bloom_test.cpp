#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "kelvo_fx.h"
#include "support/image.h"
#include "support/reference.h"

namespace {

using kvfx_test::argb;
using kvfx_test::Image;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

uint32_t channel(uint32_t w, int shift) { return (w >> shift) & 0xFF; }

// The glow from the one-word formulas, both paths (tests/support).
std::vector<uint32_t> reference_bloom(const Image& in, double threshold, double intensity,
                                      double sigma, uint32_t tint) {
  Image out = in;
  const double args[] = {threshold, intensity, sigma, static_cast<double>(tint)};
  kvfx_test::reference_effect(*kvfx_catalogue::find_effect("bloom"), out.data(), in.width,
                              in.height, in.stride(), args);
  return out.words;
}

uint32_t bloom_one(uint32_t word, double threshold, double intensity, uint32_t tint) {
  EXPECT_EQ(kv_fx_bloom(&word, 1, 1, 4, threshold, intensity, 0.0, tint), FX_OK);
  return word;
}

TEST(Bloom, SingleWords) {
  struct Case {
    uint32_t word;
    double threshold, intensity;
    uint32_t tint, bright, result;
  };
  const Case cases[] = {
      {0xFF808080, 0.25, 1.0, 0xFFFFFFFF, 0xFF2B2B2B, 0xFF959595},
      {0xFFC86432, 0.3, 2.0, 0xFFFF8000, 0xFF350D00, 0xFFDE7331},
      {0x80404040, 0.1, 1.0, 0x00FFFFFF, 0x800A0A0A, 0x80474747},
      {0xFFFFFFFF, 0.5, 1.0, 0x00FFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    const int32_t thr = kvfx::bloom_threshold(c.threshold);
    EXPECT_EQ(kvfx::bloom_bright_word(c.word, thr, kvfx::bloom_denominator(thr),
                                      channel(c.tint, 16) / 255.0,
                                      channel(c.tint, 8) / 255.0, channel(c.tint, 0) / 255.0),
              c.bright);
    EXPECT_EQ(kvfx::screen_word(c.word, c.bright, c.intensity), c.result);
    EXPECT_EQ(bloom_one(c.word, c.threshold, c.intensity, c.tint), c.result);
  }
}

// Nothing passes: every channel goes through the screen with a zero bloom,
// which lowers exactly these values by one level.
TEST(Bloom, ZeroBloomLowersKnownValues) {
  const std::set<uint32_t> lowered = {1,  2,  3,  4,  9,  10, 11, 17,  18,  19,  20,
                                      25, 26, 27, 33, 34, 35, 36, 41,  42,  49,  50,
                                      51, 52, 57, 58, 66, 67, 68, 69,  82,  83,  84,
                                      85, 98, 99, 100, 101, 114, 115, 116, 117};
  Image img(256, 1);
  for (uint32_t v = 0; v < 256; ++v) img.words[v] = argb(255 - v, v, v, 255 - v);
  for (double threshold : {1.0, kNaN, kInf, -kInf, 1e10, -1e10}) {
    SCOPED_TRACE(threshold);
    Image out = img;
    ASSERT_EQ(kv_fx_bloom(out.data(), 256, 1, out.stride(), threshold, 1.0, 0.0, 0xFFFFFF),
              FX_OK);
    for (uint32_t v = 0; v < 256; ++v) {
      const uint32_t down = lowered.count(v) ? v - 1 : v;
      const uint32_t up = lowered.count(255 - v) ? 254 - v : 255 - v;
      ASSERT_EQ(out.words[v], argb(255 - v, down, down, up)) << "value " << v;
    }
  }
}

TEST(Bloom, IntensityEdges) {
  // NaN and +inf saturate the bloom factor at 0.99 even where the bloom is 0.
  for (double intensity : {kNaN, kInf})
    for (uint32_t bloom : {0u, 0xFF123456u}) {
      EXPECT_EQ(kvfx::screen_word(argb(7, 0, 128, 255), bloom, intensity),
                argb(7, 252, 253, 255));
    }
  EXPECT_EQ(bloom_one(argb(9, 0, 128, 255), 1.0, kNaN, 0xFFFFFF), argb(9, 252, 253, 255));
  // Negative intensity darkens; 255 cannot move.
  const uint32_t s = argb(255, 100, 255, 30);
  const uint32_t dark = kvfx::screen_word(s, argb(0, 200, 200, 200), -1.0);
  EXPECT_LT(channel(dark, 16), 100u);
  EXPECT_EQ(channel(dark, 8), 255u);
  EXPECT_LT(channel(dark, 0), 30u);
  EXPECT_EQ(dark >> 24, 255u);
}

// With nothing passing, a word 0xFF010101 becomes 0xFF000000 wherever the blend
// visits it, so the padding shows which path ran.
TEST(Bloom, PathChoiceShowsInPadding) {
  struct Case {
    int32_t w, h;
    double sigma;
    bool half;
  };
  const Case cases[] = {{9, 10, 4.5, false},  {10, 9, 4.5, false}, {10, 10, 4.0, false},
                        {10, 10, kNaN, false}, {10, 10, -5.0, false}, {10, 10, 4.5, true},
                        {11, 11, 4.5, true},   {20, 10, 100.0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " sigma " << c.sigma);
    Image img(c.w, c.h, 2, 0xFF010101);
    ASSERT_EQ(kv_fx_bloom(img.data(), c.w, c.h, img.stride(), 1.0, 1.0, c.sigma, 0xFFFFFF),
              FX_OK);
    for (int32_t y = 0; y < c.h; ++y) {
      EXPECT_EQ(img.at(0, y), 0xFF000000u);
      EXPECT_EQ(img.at(c.w - 1, y), 0xFF000000u);
      for (int32_t x = c.w; x < img.row_pixels; ++x)
        EXPECT_EQ(img.at(x, y), c.half ? 0xFF010101u : 0xFF000000u);
    }
  }
}

TEST(Bloom, OddWidthRepeatsLastHalfColumn) {
  // Columns 8, 9 and 10 read half column 4, so equal inputs give equal outputs.
  Image img(11, 12, 3);
  kvfx_test::fill_random(img.words, 11);
  for (int32_t y = 0; y < 12; ++y) img.at(9, y) = img.at(10, y) = img.at(8, y);
  const std::vector<uint32_t> expected = reference_bloom(img, 0.2, 1.5, 5.0, 0xFFFFFF);
  ASSERT_EQ(kv_fx_bloom(img.data(), 11, 12, img.stride(), 0.2, 1.5, 5.0, 0xFFFFFF), FX_OK);
  EXPECT_EQ(img.words, expected);
  for (int32_t y = 0; y < 12; ++y) {
    EXPECT_EQ(img.at(9, y), img.at(8, y));
    EXPECT_EQ(img.at(10, y), img.at(8, y));
  }
}

TEST(Bloom, MatchesReferenceOnRandomImages) {
  std::mt19937 rng(2024);
  auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  const double sigmas[] = {0.0, -1.0, 0.5, 1.0, 2.5, 4.0, 4.5, 6.0, 11.0, kNaN};
  const double thresholds[] = {-1e6, -8421504.0, -1.0, 0.0, 1.0, kNaN};
  for (int iter = 0; iter < 300; ++iter) {
    const int32_t w = 1 + rng() % 28, h = 1 + rng() % 28;
    Image img(w, h, rng() % 4);
    if (iter % 2)
      kvfx_test::fill_random_premultiplied(img.words, rng());
    else
      kvfx_test::fill_random(img.words, rng());
    const double sigma = sigmas[rng() % 10];
    const double threshold = iter % 5 == 0 ? thresholds[rng() % 6] : uniform(-0.2, 1.0);
    const double intensity = iter % 7 == 0 ? -uniform(0.0, 2.0) : uniform(0.0, 3.0);
    const uint32_t tint = rng();
    SCOPED_TRACE(testing::Message() << w << "x" << h << "/" << img.row_pixels << " sigma "
                                    << sigma << " thr " << threshold << " int " << intensity);
    const std::vector<uint32_t> expected = reference_bloom(img, threshold, intensity, sigma, tint);
    ASSERT_EQ(kv_fx_bloom(img.data(), w, h, img.stride(), threshold, intensity, sigma, tint),
              FX_OK);
    ASSERT_EQ(img.words, expected);
  }
}

}  // namespace
