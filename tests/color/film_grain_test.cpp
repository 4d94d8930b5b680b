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

TEST(FilmGrain, XorshiftFromDefaultSeed) {
  EXPECT_EQ(kvfx::film_grain_start_state(0), 123456789u);
  EXPECT_EQ(kvfx::film_grain_start_state(-1), 0xFFFFFFFFu);
  uint32_t s = kvfx::film_grain_start_state(0);
  const uint32_t want[] = {2714967881u, 2238813396u, 1250077441u};
  for (uint32_t w : want) {
    s = kvfx::xorshift32_step(s);
    EXPECT_EQ(s, w);
  }
}

TEST(FilmGrain, OffsetEndsAreExact) {
  // Low 16 bits 0 give -A, 65535 give +A; all three channels alike.
  EXPECT_EQ(kvfx::film_grain_word(argb(50, 100, 5, 250), 0xABCD0000u, 10.0),
            argb(50, 90, 0, 240));
  EXPECT_EQ(kvfx::film_grain_word(argb(50, 100, 5, 250), 0x0000FFFFu, 10.0),
            argb(50, 110, 15, 255));
}

TEST(FilmGrain, FirstWordFromDefaultSeed) {
  uint32_t w = argb(255, 128, 128, 128);
  ASSERT_EQ(kv_fx_film_grain(&w, 1, 1, 4, 0.1, 0), FX_OK);
  EXPECT_EQ(w, argb(255, 108, 108, 108));
}

TEST(FilmGrain, SeedZeroIsTheDefaultSeed) {
  Image a(11, 7, 1), b;
  kvfx_test::fill_random(a.words, 3);
  b = a;
  ASSERT_EQ(kv_fx_film_grain(a.data(), 11, 7, a.stride(), 0.3, 0), FX_OK);
  ASSERT_EQ(kv_fx_film_grain(b.data(), 11, 7, b.stride(), 0.3, 123456789), FX_OK);
  EXPECT_EQ(a.words, b.words);
}

TEST(FilmGrain, AmountZeroLeavesWordsAndNanSaturates) {
  Image img(6, 4, 2);
  kvfx_test::fill_random(img.words, 9);
  const std::vector<uint32_t> before = img.words;
  ASSERT_EQ(kv_fx_film_grain(img.data(), 6, 4, img.stride(), 0.0, 42), FX_OK);
  EXPECT_EQ(img.words, before);
  ASSERT_EQ(kv_fx_film_grain(img.data(), 6, 4, img.stride(), kNaN, 42), FX_OK);
  for (size_t k = 0; k < img.words.size(); ++k) {
    EXPECT_EQ(img.words[k], (before[k] & 0xFF000000u) | 0x00FFFFFFu);
  }
}

// Padding words take generator steps too, so the grain on the picture depends
// on the stride: compared with a walk of the whole run by the one-word formula.
TEST(FilmGrain, WholeRunStepsIncludePadding) {
  std::mt19937 rng(31);
  for (int round = 0; round < 20; ++round) {
    auto [img, stride] = kvfx_color_test::random_geometry(rng);
    const int32_t seed = static_cast<int32_t>(rng());
    const double amount = (rng() % 100) / 200.0 - 0.1;
    const std::vector<uint32_t> before = img.words;
    ASSERT_EQ(kv_fx_film_grain(img.data(), img.width, img.height, stride, amount, seed),
              FX_OK);
    const size_t run = static_cast<size_t>(img.height) * (stride / 4);
    uint32_t state = kvfx::film_grain_start_state(seed);
    for (size_t k = 0; k < before.size(); ++k) {
      uint32_t want = before[k];
      if (k < run) {
        state = kvfx::xorshift32_step(state);
        want = kvfx::film_grain_word(before[k], state, amount * 255.0);
      }
      ASSERT_EQ(img.words[k], want) << "round " << round << " word " << k;
    }
  }
}

TEST(FilmGrain, WiderStrideChangesTheVisibleGrain) {
  Image tight(8, 4, 0, argb(255, 128, 128, 128));
  Image wide(8, 4, 3, argb(255, 128, 128, 128));
  ASSERT_EQ(kv_fx_film_grain(tight.data(), 8, 4, tight.stride(), 0.2, 5), FX_OK);
  ASSERT_EQ(kv_fx_film_grain(wide.data(), 8, 4, wide.stride(), 0.2, 5), FX_OK);
  int differing = 0;
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 8; ++x) {
      if (y == 0) {
        EXPECT_EQ(tight.at(x, y), wide.at(x, y));
      }
      differing += tight.at(x, y) != wide.at(x, y);
    }
  }
  EXPECT_GT(differing, 12);
}

TEST(FilmGrain, EntryChecksAndStrides) {
  auto fx = [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
    return kv_fx_film_grain(p, w, h, s, 0.5, 1);
  };
  kvfx_color_test::expect_entry_checks(fx, FX_ERR_INVALID_ARGUMENT);
  kvfx_color_test::expect_whole_run_stride_handling(fx);
}

}  // namespace
