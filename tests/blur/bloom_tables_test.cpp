// Frames large enough for bloom's per-call tables (bright channels, screen
// step), at every vector level: the result must be exactly the one-word
// pieces (bright word, downsample, blur, screen_word) applied word by word.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "kelvo_fx.h"
#include "support/image.h"
#include "support/isa_levels.h"

namespace {

using kvfx_test::Image;

struct Case {
  double threshold, intensity, sigma;
  uint32_t tint;
};

// Bloom built from its one-word pieces, both paths.
std::vector<uint32_t> reference_bloom(const Image& in, const Case& c) {
  const int32_t w = in.width, h = in.height, rp = in.row_pixels;
  const int32_t thr = kvfx::bloom_threshold(c.threshold);
  const double denom = kvfx::bloom_denominator(thr);
  std::vector<uint32_t> bright(in.words.size());
  for (size_t k = 0; k < bright.size(); ++k)
    bright[k] = kvfx::bloom_bright_word(in.words[k], thr, denom, kvfx::red_of(c.tint) / 255.0,
                                        kvfx::green_of(c.tint) / 255.0,
                                        kvfx::blue_of(c.tint) / 255.0);
  std::vector<uint32_t> out = in.words;
  if (w >= 10 && h >= 10 && c.sigma > 4.0) {
    const int32_t hw = w / 2, hh = h / 2;
    std::vector<uint32_t> half(static_cast<size_t>(hw) * hh);
    for (int32_t y = 0; y < hh; ++y)
      for (int32_t x = 0; x < hw; ++x) {
        const uint32_t* r0 = &bright[static_cast<size_t>(2 * y) * rp];
        const uint32_t* r1 = r0 + rp;
        half[static_cast<size_t>(y) * hw + x] =
            kvfx::bloom_downsample_word(r0[2 * x], r0[2 * x + 1], r1[2 * x], r1[2 * x + 1]);
      }
    kvfx::gaussian_blur_in_place(half.data(), hw, hh, hw, c.sigma * 0.5);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        const uint32_t b = half[static_cast<size_t>(std::min(y / 2, hh - 1)) * hw + std::min(x / 2, hw - 1)];
        uint32_t& word = out[static_cast<size_t>(y) * rp + x];
        word = kvfx::screen_word(word, b, c.intensity);
      }
    return out;
  }
  if (c.sigma > 0.0) kvfx::gaussian_blur_in_place(bright.data(), w, h, rp, c.sigma);
  for (size_t k = 0; k < out.size(); ++k) out[k] = kvfx::screen_word(out[k], bright[k], c.intensity);
  return out;
}

TEST(BloomTables, LargeFramesMatchTheOneWordPieces) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {{0.3, 0.8, 2.0, 0xFFFFE0C0u},   {0.3, 2.5, 0.0, 0x00FFFFFFu},
                        {-1.0, -1.0, 1.5, 0xFF8040FFu},  {0.0, kNaN, 0.0, 0xFFFFFFFFu},
                        {0.999, 1e300, 3.0, 0xFF00FF00u}, {kNaN, 1.0, 0.0, 0xFFFFFFu},
                        {-1e6, 0.5, 0.0, 0x00102030u},   {0.2, 1.2, 9.0, 0xFFCC88u},
                        {0.5, 3.0, 12.0, 0xFFFFFFu}};
  // 66,660 words: above both tables' thresholds; odd width and height so the
  // half-size path repeats its last half column and row.
  Image in(301, 219, 3);
  kvfx_test::fill_random_premultiplied(in.words, 17);
  for (const Case& c : cases) {
    const std::vector<uint32_t> want = reference_bloom(in, c);
    kvfx_test::for_each_isa([&] {
      Image out = in;
      ASSERT_EQ(kv_fx_bloom(out.data(), in.width, in.height, in.stride(), c.threshold,
                            c.intensity, c.sigma, c.tint),
                FX_OK);
      for (size_t k = 0; k < want.size(); ++k)
        ASSERT_EQ(out.words[k], want[k]) << "threshold " << c.threshold << " sigma " << c.sigma
                                         << " word " << k;
    });
  }
}

}  // namespace
