// The row-wise paths of the displacement effects (shifted middles, clamped
// ends, a ring of saved rows, in-place row moves) against a plain per-pixel
// evaluation on wider images and larger offsets than the behaviour tests use.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "displace/displace_effects.h"
#include "kelvo_fx.h"
#include "support/image.h"

namespace {

using kvfx_test::Image;

TEST(ChromaticFastPath, MatchesPerPixelFetchesForWideAndTallOffsets) {
  std::mt19937 rng(31);
  for (int iter = 0; iter < 200; ++iter) {
    const int32_t w = 1 + int32_t(rng() % 90), h = 1 + int32_t(rng() % 40);
    Image in(w, h, int32_t(rng() % 3));
    kvfx_test::fill_random(in.words, rng());
    // Offsets from 0 through beyond the image in either direction.
    const double sx = (int32_t(rng() % 241) - 120) * 1.0, sy = (int32_t(rng() % 121) - 60) * 1.0;
    const double angle = (rng() % 8) * 0.7853981633974483;
    const kvfx::ChromaticShift s = kvfx::chromatic_shift(sx, sy, angle);
    Image out = in;
    ASSERT_EQ(kv_fx_chromatic_aberration(out.data(), w, h, in.stride(), sx, sy, angle), FX_OK);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        auto at = [&](int64_t dx, int64_t dy) {
          return in.at(kvfx::clamp_coordinate(x + dx, w), kvfx::clamp_coordinate(y + dy, h));
        };
        ASSERT_EQ(out.at(x, y), kvfx::chromatic_word(in.at(x, y), at(s.rx, s.ry), at(s.bx, s.by)))
            << w << "x" << h << " shift " << s.rx << "," << s.ry << " at " << x << "," << y;
      }
    for (int32_t y = 0; y < h; ++y)  // padding untouched
      for (int32_t x = w; x < in.row_pixels; ++x) ASSERT_EQ(out.at(x, y), in.at(x, y));
  }
}

TEST(GlitchFastPath, ManyOverlappingBandsMatchPerPixelColumns) {
  std::mt19937 rng(32);
  for (int iter = 0; iter < 60; ++iter) {
    const int32_t w = 1 + int32_t(rng() % 200), h = 1 + int32_t(rng() % 70);
    const int32_t bands = 1 + int32_t(rng() % 60);
    const int32_t max_shift = iter % 3 == 0 ? int32_t(rng()) : 1 + int32_t(rng() % 250);
    const int32_t seed = int32_t(rng());
    Image in(w, h, int32_t(rng() % 3));
    kvfx_test::fill_random(in.words, rng());
    // Expected: every band redrawn from the input, later bands winning.
    Image expected = in;
    uint32_t state = kvfx::glitch_start_state(seed);
    for (int32_t b = 0; b < bands; ++b) {
      const kvfx::GlitchBand band = kvfx::glitch_band(state, h, max_shift);
      for (int32_t y = band.start; y < band.end; ++y)
        for (int32_t x = 0; x < w; ++x)
          expected.at(x, y) = in.at(kvfx::glitch_column(x, band.shift, w), y);
      state = band.s3;
    }
    Image out = in;
    ASSERT_EQ(kv_fx_glitch_displacement(out.data(), w, h, in.stride(), bands, max_shift, seed),
              FX_OK);
    ASSERT_EQ(out.words, expected.words) << w << "x" << h << " max_shift " << max_shift;
  }
}

}  // namespace
