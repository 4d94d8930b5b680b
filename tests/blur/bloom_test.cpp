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

namespace {

using kvfx_test::argb;
using kvfx_test::Image;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

uint32_t channel(uint32_t w, int shift) { return (w >> shift) & 0xFF; }

// Literal restatement of the glow, step by step, kept independent of the
// library's word functions; only the blur is shared (tested on its own).
std::vector<uint32_t> reference_bloom(const Image& in, double threshold,
                                      double intensity, double sigma, uint32_t tint) {
  const int32_t w = in.width, h = in.height, rp = in.row_pixels;
  const size_t count = in.words.size();
  const int32_t thr = kvfx::double_to_int32(threshold * 255.0);
  double denom = 255.0 - thr;
  if (denom < 1.0) denom = 1.0;
  std::vector<uint32_t> bright(count, 0);
  for (size_t k = 0; k < count && thr != INT32_MIN; ++k) {
    const uint32_t s = in.words[k];
    const int64_t luma =
        (299 * channel(s, 16) + 587 * channel(s, 8) + 114 * channel(s, 0)) / 1000;
    if (luma <= thr) continue;
    const double f = static_cast<double>(luma - thr) / denom;
    uint32_t out = s & 0xFF000000u;
    for (int sh : {16, 8, 0})
      out |= kvfx::channel_to_byte((channel(s, sh) * f) * (channel(tint, sh) / 255.0)) << sh;
    bright[k] = out;
  }
  auto screen = [&](uint32_t s, uint32_t b) {
    uint32_t out = s & 0xFF000000u;
    for (int sh : {16, 8, 0}) {
      double bt = (channel(b, sh) / 255.0) * intensity;
      if (!(bt < 0.99)) bt = 0.99;
      const double st = channel(s, sh) / 255.0;
      out |= kvfx::channel_to_byte((1.0 - (1.0 - bt) * (1.0 - st)) * 255.0) << sh;
    }
    return out;
  };
  std::vector<uint32_t> out = in.words;
  if (w >= 10 && h >= 10 && sigma > 4.0) {
    const int32_t hw = w / 2, hh = h / 2;
    std::vector<uint32_t> half(static_cast<size_t>(hw) * hh);
    for (int32_t y = 0; y < hh; ++y)
      for (int32_t x = 0; x < hw; ++x) {
        uint32_t v = 0xFF000000u;
        for (int sh : {16, 8, 0}) {
          uint32_t sum = 0;
          for (int32_t dy = 0; dy < 2; ++dy)
            for (int32_t dx = 0; dx < 2; ++dx)
              sum += channel(bright[static_cast<size_t>(2 * y + dy) * rp + 2 * x + dx], sh);
          v |= (sum / 4) << sh;
        }
        half[static_cast<size_t>(y) * hw + x] = v;
      }
    kvfx::gaussian_blur_in_place(half.data(), hw, hh, hw, sigma * 0.5);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        const size_t k = static_cast<size_t>(y) * rp + x;
        out[k] = screen(out[k], half[static_cast<size_t>(std::min(y / 2, hh - 1)) * hw +
                                     std::min(x / 2, hw - 1)]);
      }
  } else {
    if (sigma > 0) kvfx::gaussian_blur_in_place(bright.data(), w, h, rp, sigma);
    for (size_t k = 0; k < count; ++k) out[k] = screen(out[k], bright[k]);
  }
  return out;
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

TEST(Bloom, RejectedAndDegenerateGeometry) {
  Image img(12, 12, 1);
  kvfx_test::fill_random(img.words, 5);
  const std::vector<uint32_t> before = img.words;
  for (double sigma : {0.0, 6.0}) {
    auto call = [&](uint32_t* p, int32_t w, int32_t h, int32_t stride) {
      return kv_fx_bloom(p, w, h, stride, 0.0, 1.0, sigma, 0xFFFFFF);
    };
    EXPECT_EQ(call(nullptr, 12, 12, 52), FX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(call(img.data(), 0, 12, 52), FX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(call(img.data(), 12, -1, 52), FX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(call(img.data(), 12, 12, -4), FX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(call(img.data(), 12, 12, -400), FX_ERR_INVALID_ARGUMENT);
    for (int32_t stride : {-3, -1, 0, 1, 3, 4, 44, 47})  // count 0, or rows overlap
      EXPECT_EQ(call(img.data(), 12, 12, stride), FX_OK) << stride;
  }
  EXPECT_EQ(img.words, before);
}

TEST(Bloom, AllocationFailureLeavesPixelsUntouched) {
  // Either path: the glow's row buffers, then the blur's scratch (a failure
  // inside the blur must not reach the pixels either).
  struct Case {
    double sigma;
    int n;
  };
  for (Case c : {Case{6.0, 0}, Case{6.0, 1}, Case{2.0, 0}, Case{2.0, 1}}) {
    Image img(16, 14, 2);
    kvfx_test::fill_random(img.words, 3);
    const std::vector<uint32_t> before = img.words;
    kvfx::fail_scratch_allocation_after(c.n);
    const int32_t rc = kv_fx_bloom(img.data(), 16, 14, img.stride(), 0.1, 2.0, c.sigma, 0xFFFFFF);
    kvfx::fail_scratch_allocation_after(-1);
    EXPECT_EQ(rc, FX_ERR_OUT_OF_MEMORY) << c.sigma << " " << c.n;
    EXPECT_EQ(img.words, before);
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
