// Found by fuzz/fx_fuzz: with a stride below 4 * width the rows share words,
// so the row walk's order decides the result. Vignette must visit rows
// 0, 1, ..., height - 1 like the plain walk, at every vector level.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "color/color_effects.h"
#include "kelvo_fx.h"
#include "support/image.h"
#include "support/hooks.h"

namespace {

TEST(VignetteOverlap, OverlappingRowsFollowTheRowWalk) {
  const int32_t w = 22, h = 22;
  // Strides: all rows on row 0 (0..3), rows overlapping forwards, and
  // overlapping backwards (bottom-up with rows closer than the width).
  for (int32_t stride : {0, 2, 4 * (w - 3), 4 * 7, -4 * (w - 5)}) {
    SCOPED_TRACE(stride);
    kvfx_test::for_each_level([&] {
      const int64_t rp = stride / 4;
      const int64_t lo = rp < 0 ? (h - 1) * rp : 0;
      const int64_t hi = rp < 0 ? w : (h - 1) * rp + w;
      std::vector<uint32_t> actual(static_cast<size_t>(hi - lo));
      kvfx_test::fill_random(actual, 7u + static_cast<uint32_t>(stride));
      std::vector<uint32_t> expected = actual;

      const kvfx::VignetteParams p =
          kvfx::vignette_params(w, h, 0.9, 0.1, 0.4, 0x336699);
      uint32_t* e = expected.data() - lo;
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
          e[y * rp + x] = kvfx::vignette_word(e[y * rp + x], x, y, p);

      ASSERT_EQ(kv_fx_vignette(actual.data() - lo, w, h, stride, 0.9, 0.1, 0.4, 0x336699), FX_OK);
      size_t first = 0;
      while (first < actual.size() && actual[first] == expected[first]) ++first;
      EXPECT_EQ(first, actual.size()) << "first differing word " << first;
    });
  }
}

}  // namespace
