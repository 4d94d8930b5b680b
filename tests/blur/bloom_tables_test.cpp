// Frames large enough for bloom's per-call tables (bright channels, screen
// step): the result must be exactly the one-word pieces (bright word, blur,
// screen_word) applied word by word.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "kelvo_fx.h"
#include "support/image.h"

namespace {

using kvfx_test::Image;

TEST(BloomTables, LargeFullSizeFramesMatchTheOneWordPieces) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  struct Case { double threshold, intensity, sigma; uint32_t tint; };
  const Case cases[] = {{0.3, 0.8, 2.0, 0xFFFFE0C0u},  {0.3, 2.5, 0.0, 0x00FFFFFFu},
                        {-1.0, -1.0, 1.5, 0xFF8040FFu}, {0.0, kNaN, 0.0, 0xFFFFFFFFu},
                        {0.999, 1e300, 3.0, 0xFF00FF00u}, {kNaN, 1.0, 0.0, 0xFFFFFFu},
                        {-1e6, 0.5, 0.0, 0x00102030u}};
  for (const Case& c : cases) {
    Image in(300, 220, 3);  // 66,660 words: above both tables' thresholds
    kvfx_test::fill_random_premultiplied(in.words, 17);
    const double threshold = c.threshold;
    // Reference from the pieces.
    const int32_t thr = kvfx::bloom_threshold(threshold);
    const double denom = kvfx::bloom_denominator(thr);
    std::vector<uint32_t> bright(in.words.size());
    for (size_t k = 0; k < bright.size(); ++k)
      bright[k] = kvfx::bloom_bright_word(in.words[k], thr, denom, kvfx::red_of(c.tint) / 255.0,
                                          kvfx::green_of(c.tint) / 255.0,
                                          kvfx::blue_of(c.tint) / 255.0);
    if (c.sigma > 0.0)
      kvfx::gaussian_blur_in_place(bright.data(), in.width, in.height, in.row_pixels, c.sigma);
    Image out = in;
    ASSERT_EQ(kv_fx_bloom(out.data(), in.width, in.height, in.stride(), threshold, c.intensity,
                          c.sigma, c.tint),
              FX_OK);
    for (size_t k = 0; k < in.words.size(); ++k)
      ASSERT_EQ(out.words[k], kvfx::screen_word(in.words[k], bright[k], c.intensity))
          << "intensity " << c.intensity << " word " << k;
  }
}

}  // namespace
