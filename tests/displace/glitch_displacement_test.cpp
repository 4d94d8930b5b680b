#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/scratch.h"
#include "displace/displace_effects.h"
#include "kelvo_fx.h"
#include "support/image.h"

namespace {

using kvfx_test::Image;

constexpr uint32_t kPad = 0xDEADBEEFu;

// Every word names its own position, so a moved word shows where it came from.
Image coordinate_image(int32_t w, int32_t h, int32_t padding) {
  Image im(w, h, padding, kPad);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) im.at(x, y) = 0x80000000u | uint32_t(y) << 12 | uint32_t(x);
  return im;
}

Image random_image(int32_t w, int32_t h, int32_t padding, uint32_t seed) {
  Image im(w, h, padding);
  kvfx_test::fill_random(im.words, seed);
  return im;
}

int32_t run(Image& im, int32_t bands, int32_t max_shift, int32_t seed) {
  return kv_fx_glitch_displacement(im.data(), im.width, im.height, im.stride(), bands,
                                   max_shift, seed);
}

struct Band { int32_t first, last, shift; };  // rows first..last inclusive

// Written from the formulas in 64-bit arithmetic, independently of the
// library's pieces.
std::vector<Band> reference_bands(int32_t seed, int32_t height, int32_t max_shift, int32_t count) {
  const uint64_t mask = 0xFFFFFFFFu;
  uint64_t state = seed == 0 ? 987654321u : uint64_t(uint32_t(seed));
  const uint64_t m = uint32_t(max_shift), range = (2 * m) & mask;
  std::vector<Band> bands;
  for (int32_t b = 0; b < count && range != 0; ++b) {
    uint64_t s1 = (state * 1664525 + 1013904223) & mask;
    uint64_t s2 = (s1 * 1664525 + 1013904223) & mask;
    uint64_t s3 = (s2 * 1664525 + 1013904223) & mask;
    uint64_t start = s1 % uint64_t(height);
    uint64_t end = std::min<uint64_t>(start + 5 + s2 % 25, uint64_t(height));
    uint64_t v = (s3 % range + (uint64_t{1} << 32) - m) & mask;
    int64_t shift = v >= (uint64_t{1} << 31) ? int64_t(v) - (int64_t{1} << 32) : int64_t(v);
    bands.push_back({int32_t(start), int32_t(end) - 1, int32_t(shift)});
    state = s3;
  }
  return bands;
}

Image apply_bands(const Image& in, const std::vector<Band>& bands) {
  Image out = in;
  for (const Band& b : bands)
    for (int32_t y = b.first; y <= b.last; ++y)
      for (int64_t x = 0; x < in.width; ++x) {
        int64_t c = (x + b.shift) & 0xFFFFFFFF;
        if (c >= (int64_t{1} << 31)) c -= int64_t{1} << 32;  // 32-bit wrap
        if (c >= in.width - 1) c = in.width - 1;
        if (c <= 0) c = 0;
        out.at(int32_t(x), y) = in.at(int32_t(c), y);
      }
  return out;
}

TEST(GlitchDisplacement, GeneratorFollowsTheWorkedExamples) {
  struct Case { uint32_t s1, s2, s3; int32_t start, end, shift; };
  const Case seed0_h100[] = {
      {280611420u, 3749372427u, 2664419310u, 20, 27, 0},
      {1746097781u, 2873750864u, 1539197039u, 81, 100, 9},
      {3368803074u, 188604025u, 789083524u, 74, 79, -6},
  };
  uint32_t state = kvfx::glitch_start_state(0);
  for (const Case& c : seed0_h100) {
    kvfx::GlitchBand b = kvfx::glitch_band(state, 100, 10);
    EXPECT_EQ(b.s1, c.s1);
    EXPECT_EQ(b.s2, c.s2);
    EXPECT_EQ(b.s3, c.s3);
    EXPECT_EQ(b.start, c.start);
    EXPECT_EQ(b.end, c.end);
    EXPECT_EQ(b.shift, c.shift);
    state = b.s3;
  }
  kvfx::GlitchBand first = kvfx::glitch_band(kvfx::glitch_start_state(0), 480, 16);
  EXPECT_EQ(first.start, 60);
  EXPECT_EQ(first.end, 67);
  EXPECT_EQ(first.shift, -2);
  EXPECT_EQ(kvfx::glitch_start_state(987654321), kvfx::glitch_start_state(0));
  EXPECT_EQ(kvfx::glitch_start_state(-1), 0xFFFFFFFFu);
}

TEST(GlitchDisplacement, WorkedExampleOnPixels) {
  const Image in = coordinate_image(32, 100, 2);
  const std::vector<Band> bands = {{20, 26, 0}, {81, 99, 9}, {74, 78, -6}};
  for (int32_t count = 1; count <= 3; ++count) {
    Image out = in;
    ASSERT_EQ(run(out, count, 10, 0), FX_OK);
    std::vector<Band> drawn(bands.begin(), bands.begin() + count);
    EXPECT_EQ(out.words, apply_bands(in, drawn).words) << count << " bands";
  }
  // Spot checks of the edge repeat, straight from the coordinates.
  Image out = in;
  ASSERT_EQ(run(out, 3, 10, 0), FX_OK);
  EXPECT_EQ(out.at(0, 81), in.at(9, 81));
  EXPECT_EQ(out.at(25, 90), in.at(31, 90));
  EXPECT_EQ(out.at(5, 74), in.at(0, 74));
  EXPECT_EQ(out.at(6, 78), in.at(0, 78));
  EXPECT_EQ(out.at(31, 76), in.at(25, 76));
  EXPECT_EQ(out.at(3, 79), in.at(3, 79));
}

TEST(GlitchDisplacement, BandsStayInsideTheImage) {
  for (int32_t height : {1, 2, 7, 30, 100, 480, INT32_MAX}) {
    uint32_t state = kvfx::glitch_start_state(12345);
    for (int i = 0; i < 400; ++i) {
      kvfx::GlitchBand b = kvfx::glitch_band(state, height, 7);
      ASSERT_GE(b.start, 0);
      ASSERT_LE(b.end, height);
      ASSERT_GE(b.end - b.start, 1);
      ASSERT_LE(b.end - b.start, 29);
      if (b.end - b.start < 5) {
        ASSERT_EQ(b.end, height) << "only the bottom cuts a band";
      }
      ASSERT_GE(b.shift, -7);
      ASSERT_LE(b.shift, 6);
      state = b.s3;
    }
  }
}

TEST(GlitchDisplacement, ColumnSumWrapsIn32BitsBeforeClamping) {
  struct Case { int32_t x, shift, width, want; };
  const Case cases[] = {
      {10, 0, 32, 10},  {10, 9, 32, 19},   {25, 9, 32, 31},  {5, -6, 32, 0},
      {31, -6, 32, 25}, {0, 0, 1, 0},      {0, 5, 1, 0},     {0, INT32_MAX, 10, 9},
      {1, INT32_MAX, 10, 0},  // wraps to INT32_MIN
      {9, INT32_MAX - 9, 10, 9}, {9, INT32_MAX - 8, 10, 0}, {0, INT32_MIN, 10, 0},
      {9, INT32_MIN, 10, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(kvfx::glitch_column(c.x, c.shift, c.width), c.want)
        << c.x << " + " << c.shift << " in width " << c.width;
}

// The seed whose first band has the given s3: the generator run backwards.
int32_t seed_for_first_s3(uint32_t s3) {
  uint32_t inverse = 1664525u;  // Newton steps double the correct low bits
  for (int i = 0; i < 5; ++i) inverse *= 2u - 1664525u * inverse;
  uint32_t state = s3;
  for (int i = 0; i < 3; ++i) state = (state - 1013904223u) * inverse;
  return int32_t(state);
}

TEST(GlitchDisplacement, BandWhoseColumnsWrapAroundOnPixels) {
  // With max_shift INT32_MAX an s3 of 0xFFFFFFFC gives shift INT32_MAX - 2:
  // columns 0..2 stay within int32 (last column), the rest wrap (column 0).
  const int32_t seed = seed_for_first_s3(0xFFFFFFFCu);
  const kvfx::GlitchBand band =
      kvfx::glitch_band(kvfx::glitch_start_state(seed), 40, INT32_MAX);
  ASSERT_EQ(band.shift, INT32_MAX - 2);
  const Image in = coordinate_image(8, 40, 1);
  Image out = in;
  ASSERT_EQ(run(out, 1, INT32_MAX, seed), FX_OK);
  for (int32_t y = 0; y < 40; ++y)
    for (int32_t x = 0; x < 8; ++x) {
      const bool in_band = y >= band.start && y < band.end;
      const int32_t from = !in_band ? x : x <= 2 ? 7 : 0;
      EXPECT_EQ(out.at(x, y), in.at(from, y)) << x << ", " << y;
    }
}

TEST(GlitchDisplacement, MaxShiftOneGivesMinusOneOrZero) {
  uint32_t state = kvfx::glitch_start_state(99);
  int seen[2] = {0, 0};
  for (int i = 0; i < 1000; ++i) {
    kvfx::GlitchBand b = kvfx::glitch_band(state, 50, 1);
    ASSERT_TRUE(b.shift == -1 || b.shift == 0) << b.shift;
    ++seen[b.shift + 1];
    state = b.s3;
  }
  EXPECT_GT(seen[0], 0);
  EXPECT_GT(seen[1], 0);
}

TEST(GlitchDisplacement, SameSeedSameOutput) {
  const Image in = random_image(40, 60, 3, 1);
  Image a = in, b = in, c = in, d = in;
  ASSERT_EQ(run(a, 8, 12, 0), FX_OK);
  ASSERT_EQ(run(b, 8, 12, 0), FX_OK);
  ASSERT_EQ(run(c, 8, 12, 987654321), FX_OK);
  ASSERT_EQ(run(d, 8, 12, 1), FX_OK);
  EXPECT_NE(a.words, in.words);
  EXPECT_EQ(a.words, b.words);
  EXPECT_EQ(a.words, c.words);
  EXPECT_NE(a.words, d.words);
}

TEST(GlitchDisplacement, WidthOneIsUnchanged) {
  for (int32_t max_shift : {1, 5, -3, INT32_MAX, INT32_MIN + 1}) {
    Image im = random_image(1, 40, 2, 2), before = im;
    ASSERT_EQ(run(im, 10, max_shift, 7), FX_OK);
    EXPECT_EQ(im.words, before.words) << max_shift;
  }
}

// The shift then spreads over nearly all of int32: each band row repeats the
// word of its first or of its last column.
TEST(GlitchDisplacement, NegativeMaxShiftFillsBandsWithAnEdgeWord) {
  for (int32_t max_shift : {-1, -5, -100000}) {
    const Image in = coordinate_image(16, 64, 1);
    Image out = in;
    ASSERT_EQ(run(out, 12, max_shift, 4242), FX_OK);
    int changed_rows = 0;
    for (int32_t y = 0; y < 64; ++y) {
      bool same = true, first = true, last = true;
      for (int32_t x = 0; x < 16; ++x) {
        same = same && out.at(x, y) == in.at(x, y);
        first = first && out.at(x, y) == in.at(0, y);
        last = last && out.at(x, y) == in.at(15, y);
      }
      EXPECT_TRUE(same || first || last) << "row " << y << " max_shift " << max_shift;
      changed_rows += !same;
    }
    EXPECT_GT(changed_rows, 0);
    EXPECT_EQ(out.words, apply_bands(in, reference_bands(4242, 64, max_shift, 12)).words);
  }
}

TEST(GlitchDisplacement, RejectedCallsReturnOkAndTouchNothing) {
  Image im = random_image(8, 40, 0, 3);
  const Image before = im;
  const int32_t s = im.stride();
  EXPECT_EQ(kv_fx_glitch_displacement(nullptr, 8, 40, s, 3, 5, 1), FX_OK);
  EXPECT_EQ(kv_fx_glitch_displacement(im.data(), 0, 40, s, 3, 5, 1), FX_OK);
  EXPECT_EQ(kv_fx_glitch_displacement(im.data(), 8, -2, s, 3, 5, 1), FX_OK);
  for (int32_t bands : {0, -1, INT32_MIN})
    EXPECT_EQ(kv_fx_glitch_displacement(im.data(), 8, 40, s, bands, 5, 1), FX_OK);
  for (int32_t max_shift : {0, INT32_MIN})  // no shift range to draw from
    EXPECT_EQ(kv_fx_glitch_displacement(im.data(), 8, 40, s, 3, max_shift, 1), FX_OK);
  for (int32_t stride : {28, 31, 4, 3, 0, -1, -4, -32, INT32_MIN})
    EXPECT_EQ(kv_fx_glitch_displacement(im.data(), 8, 40, stride, 3, 5, 1), FX_OK) << stride;
  EXPECT_EQ(im.words, before.words);
}

TEST(GlitchDisplacement, LargestMaxShiftMatchesReference) {
  const Image in = coordinate_image(24, 80, 2);
  for (int32_t seed : {0, 1, -7, 31337}) {
    Image out = in;
    ASSERT_EQ(run(out, 20, INT32_MAX, seed), FX_OK);
    EXPECT_EQ(out.words, apply_bands(in, reference_bands(seed, 80, INT32_MAX, 20)).words) << seed;
  }
}

TEST(GlitchDisplacement, MatchesReferenceOnRandomGeometries) {
  std::mt19937 rng(77);
  for (int iter = 0; iter < 300; ++iter) {
    const int32_t w = 1 + int32_t(rng() % 40), h = 1 + int32_t(rng() % 60);
    const int32_t padding = int32_t(rng() % 4);
    const int32_t bands = 1 + int32_t(rng() % 12);
    int32_t max_shift;
    switch (iter % 4) {
      case 0: max_shift = int32_t(rng() % 101) - 50; break;
      case 1: max_shift = 1 + int32_t(rng() % 8); break;
      case 2: max_shift = int32_t(rng()); break;
      default: max_shift = iter % 8 == 3 ? INT32_MAX : INT32_MIN + 1; break;
    }
    const int32_t seed = iter % 7 == 0 ? 0 : int32_t(rng());
    const Image in = random_image(w, h, padding, rng());
    Image out = in;
    const int32_t stride = in.stride() + int32_t(rng() % 4);
    ASSERT_EQ(kv_fx_glitch_displacement(out.data(), w, h, stride, bands, max_shift, seed), FX_OK);
    ASSERT_EQ(out.words, apply_bands(in, reference_bands(seed, h, max_shift, bands)).words)
        << w << "x" << h << "+" << padding << " bands " << bands << " max_shift " << max_shift
        << " seed " << seed;
  }
}

// The band walk goes from the last band back, from a jump of the generator:
// both must land on exactly the states that stepping forward reaches.
TEST(GlitchDisplacement, GeneratorJumpsAndStepsBackLikeStepping) {
  for (uint32_t start : {987654321u, 0u, 1u, 0xFFFFFFFFu, 0x9E3779B9u}) {
    uint32_t state = start;
    for (uint64_t n = 0; n < 3000; ++n) {
      ASSERT_EQ(kvfx::glitch_jump(start, n), state) << start << " " << n;
      ASSERT_EQ(kvfx::glitch_step_back(kvfx::glitch_step(state)), state);
      state = kvfx::glitch_step(state);
    }
  }
  // The full period is 2^32 steps.
  EXPECT_EQ(kvfx::glitch_jump(12345u, uint64_t{1} << 32), 12345u);
}

// Band counts far beyond what covers every row: the walk that stops once
// every row is settled gives the forward, band-by-band result.
TEST(GlitchDisplacement, ManyBandsMatchTheForwardWalk) {
  struct Case { int32_t w, h, bands, max_shift, seed; };
  const Case cases[] = {{7, 300, 200000, 5, 3}, {5, 40, 100000, -7, 0}, {3, 1, 50000, 2, 9},
                        {9, 61, 4096, INT32_MAX, -1}};
  for (const Case& c : cases) {
    const Image in = random_image(c.w, c.h, 2, 77);
    Image out = in;
    ASSERT_EQ(run(out, c.bands, c.max_shift, c.seed), FX_OK);
    EXPECT_EQ(out.words, apply_bands(in, reference_bands(c.seed, c.h, c.max_shift, c.bands)).words)
        << c.h << " rows, " << c.bands << " bands";
  }
}

}  // namespace
