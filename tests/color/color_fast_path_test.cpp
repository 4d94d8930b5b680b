// The vector paths of the colour effects against their one-word formulas, at
// every vector level, over random words, geometries (odd widths, padding,
// every tail length) and edge arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "color/color_effects.h"
#include "color/grain_unit.h"
#include "kelvo_fx.h"
#include "support/image.h"
#include "support/hooks.h"

namespace {

using kvfx_test::Image;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Random words with the extremes of each channel mixed in.
void fill_with_edges(std::vector<uint32_t>& v, std::mt19937& rng) {
  kvfx_test::fill_random(v, rng());
  const uint32_t edges[] = {0x00000000u, 0xFFFFFFFFu, 0xFF000000u, 0x00FFFFFFu,
                            0x80808080u, 0x7F7F7F7Fu, 0xFF0000FFu, 0x01FE01FEu};
  for (size_t k = 0; k < v.size(); k += 5) v[k] = edges[rng() % 8];
}

// Geometries whose run lengths cover every tail of the 4-, 8-, 16- and
// 32-word loops, and a few whole blocks.
std::vector<Image> geometries(std::mt19937& rng) {
  std::vector<Image> out;
  for (int32_t w = 1; w <= 64; ++w) out.emplace_back(w, 1 + w % 3, w % 4);
  out.emplace_back(509, 9, 3);   // several internal blocks plus a tail
  out.emplace_back(1027, 3, 0);
  for (Image& im : out) fill_with_edges(im.words, rng);
  return out;
}

TEST(ColorGradeFastPath, SaturationMatchesOneWordFormula) {
  const double saturations[] = {1.2, 0.0, 0.5, -1.0, 2.75, 1e300, -1e300, kInf, -kInf, kNaN,
                                1.0 + 1e-16, 0.999999};
  kvfx_test::for_each_level([&] {
    std::mt19937 rng(5);
    for (double sat : saturations)
      for (const Image& in : geometries(rng)) {
        const double brightness = (rng() % 5) * 0.1 - 0.2, contrast = 0.8 + (rng() % 5) * 0.1;
        const double gamma = rng() % 2 ? 1.0 : 1.4;
        const kvfx::ChannelTable t = kvfx::color_grade_table(brightness, contrast, gamma);
        Image out = in;
        ASSERT_EQ(kv_fx_color_grade(out.data(), in.width, in.height, in.stride(), brightness,
                                    contrast, sat, gamma),
                  FX_OK);
        for (size_t k = 0; k < in.words.size(); ++k)
          ASSERT_EQ(out.words[k], kvfx::color_grade_word(in.words[k], t, sat))
              << "saturation " << sat << " " << in.width << "x" << in.height << " word " << k;
      }
  });
}

// The saturation step's fast paths take a float estimate only where it
// brackets the formula's value: every graded colour (the table is the
// identity here), at saturations whose brackets are narrow and wide.
TEST(ColorGradeFastPath, SaturationMatchesFormulaForEveryColour) {
  const double brightness = 1e-9, contrast = 1.0, gamma = 1.0;
  const kvfx::ChannelTable t = kvfx::color_grade_table(brightness, contrast, gamma);
  for (uint32_t v = 0; v < 256; ++v) ASSERT_EQ(t[v], v) << "the table is not the identity";
  Image in(4096, 4096, 0);
  for (uint32_t k = 0; k < in.words.size(); ++k) in.words[k] = (k * 0x9E3779B1u >> 24) << 24 | k;
  std::vector<uint32_t> want(in.words.size());
  Image out = in;
  for (double sat : {1.2, 0.0, -1.0, 16.0}) {
    for (size_t k = 0; k < want.size(); ++k) want[k] = kvfx::color_grade_saturate(in.words[k], sat);
    kvfx_test::for_each_level([&] {
      out.words = in.words;
      ASSERT_EQ(kv_fx_color_grade(out.data(), in.width, in.height, in.stride(), brightness,
                                  contrast, sat, gamma),
                FX_OK);
      const auto bad = std::mismatch(want.begin(), want.end(), out.words.begin()).first;
      ASSERT_TRUE(bad == want.end()) << "saturation " << sat << " word " << std::hex
                                     << in.words[static_cast<size_t>(bad - want.begin())];
    });
  }
}

#if KVFX_X86
KVFX_TARGET_AVX512 void units_avx512(const uint32_t* states, double* u, size_t n) {
  for (size_t k = 0; k + 8 <= n; k += 8)
    _mm512_storeu_pd(u + k, kvfx::unit8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(states + k))));
}

// The vector unit value for every possible low half of a state, bit for bit
// the quotient of the one-word formula.
TEST(FilmGrainFastPath, UnitsEqualTheDivisionForEveryLow16Value) {
  if (!kvfx::level_available(kvfx::Level::kAvx512)) GTEST_SKIP() << "this CPU lacks AVX-512";
  std::vector<uint32_t> states(65536);
  for (uint32_t v = 0; v < states.size(); ++v) states[v] = (v * 0x10000u) ^ v;
  std::vector<double> u(states.size());
  units_avx512(states.data(), u.data(), u.size());
  for (size_t k = 0; k < u.size(); ++k)
    ASSERT_EQ(u[k], static_cast<double>(states[k] & 0xFFFFu) / 65535.0) << k;
}
#endif

// The grain of `in` word by word: the one-word formula with the generator
// stepped once per word of the run.
void expect_grain_formula(const Image& in, double amount, int32_t seed) {
  Image out = in;
  ASSERT_EQ(kv_fx_film_grain(out.data(), in.width, in.height, in.stride(), amount, seed), FX_OK);
  uint32_t state = kvfx::film_grain_start_state(seed);
  for (size_t k = 0; k < in.words.size(); ++k) {
    state = kvfx::xorshift32_step(state);
    ASSERT_EQ(out.words[k], kvfx::film_grain_word(in.words[k], state, amount * 255.0))
        << "amount " << amount << " " << in.width << "x" << in.height << " word " << k;
  }
}

TEST(FilmGrainFastPath, MatchesOneWordFormulaAndGeneratorOrder) {
  const double amounts[] = {0.08, 0.0, 1.0, -0.3, 3.0, 1e308, kInf, -kInf, kNaN};
  kvfx_test::for_each_level([&] {
    std::mt19937 rng(6);
    for (double amount : amounts)
      for (const Image& in : geometries(rng)) {
        const int32_t seed = rng() % 4 == 0 ? 0 : static_cast<int32_t>(rng());
        ASSERT_NO_FATAL_FAILURE(expect_grain_formula(in, amount, seed));
      }
  });
}

// Runs long enough to be cut into generator streams, with leftovers of
// every kind; amounts whose offsets land a hair below an integer for some
// states (A = 255 and 257: the noise is then an integer in exact
// arithmetic), and amounts past the integer form's limit.
TEST(FilmGrainFastPath, LongRunsMatchOneWordFormula) {
  struct Geometry { int32_t width, height, padding; };
  const Geometry geometries[] = {{1024, 128, 0}, {1031, 130, 3}, {4099, 33, 1}, {512, 512, 0}};
  const double amounts[] = {0.08, 1.0, 257.0 / 255.0, -0.7, 4.0, 632.221 / 255.0,
                            -1024.0 / 255.0, 1025.0 / 255.0, kNaN};
  kvfx_test::for_each_level([&] {
    std::mt19937 rng(16);
    for (const Geometry& g : geometries)
      for (double amount : amounts) {
        Image in(g.width, g.height, g.padding);
        fill_with_edges(in.words, rng);
        const int32_t seed = static_cast<int32_t>(rng());
        ASSERT_NO_FATAL_FAILURE(expect_grain_formula(in, amount, seed));
      }
  });
}

// Frames large enough for long slopes, flat corners and many blocks: the
// float blend, its weights from square roots, and the corner tables against
// the formula with hypot.
TEST(VignetteFastPath, LargeFramesMatchOneWordFormula) {
  struct Args { double strength, radius, softness; uint32_t color; };
  const Args args[] = {{0.6, 0.5, 0.4, 0xFF000000u}, {1.0, 0.0, 1.0, 0x80FF8040u},
                       {-1.0, 0.3, 0.2, 0xFFFFFFFFu}, {16.0, 0.45, 0.3, 0x00102030u},
                       {0.8, 0.6, 1e-6, 0xFF405060u}, {0.8, 0.6, 1e-7, 0xFF405060u},
                       {17.0, 0.2, 0.5, 0xFF00FF00u}};
  struct Geometry { int32_t width, height, padding; };
  for (const Geometry& g : {Geometry{1031, 617, 0}, Geometry{640, 360, 3}}) {
    std::mt19937 rng(17);
    Image in(g.width, g.height, g.padding);
    fill_with_edges(in.words, rng);
    for (const Args& a : args) {
      const kvfx::VignetteParams p =
          kvfx::vignette_params(g.width, g.height, a.strength, a.radius, a.softness, a.color);
      Image want = in;
      for (int32_t y = 0; y < g.height; ++y)
        for (int32_t x = 0; x < g.width; ++x) want.at(x, y) = kvfx::vignette_word(in.at(x, y), x, y, p);
      kvfx_test::for_each_level([&] {
        Image out = in;
        ASSERT_EQ(kv_fx_vignette(out.data(), g.width, g.height, out.stride(), a.strength, a.radius,
                                 a.softness, a.color),
                  FX_OK);
        const auto bad = std::mismatch(want.words.begin(), want.words.end(), out.words.begin()).first;
        ASSERT_TRUE(bad == want.words.end())
            << g.width << "x" << g.height << " strength " << a.strength << " softness "
            << a.softness << " word " << (bad - want.words.begin());
      });
    }
  }
}

#if defined(__GLIBC__) || defined(__EMSCRIPTEN__)
// The vector vignette weighs the slope at the square root of the exact sum of
// squares, on the strength of hypot lying within one unit in the last place
// of it; this holds that to the C library at hand, over every offset of a 4K
// frame's quarter and far ones.
TEST(VignetteFastPath, HypotIsTheSquareRootOrANeighbour) {
  auto near = [](double dx, double dy) {
    const double r = std::sqrt(dx * dx + dy * dy), h = std::hypot(dx, dy);
    return h == r || h == std::nextafter(r, 0.0) || h == std::nextafter(r, HUGE_VAL);
  };
  for (double half : {0.0, 0.5})
    for (int32_t y = 0; y <= 1080; ++y)
      for (int32_t x = 0; x <= 1920; ++x)
        ASSERT_TRUE(near(x + half, y + half)) << x + half << ", " << y + half;
  std::mt19937 rng(18);
  for (int i = 0; i < 1000000; ++i) {
    const double dx = (rng() % (1u << 25)) * 0.5, dy = (rng() % (1u << 25)) * 0.5;
    ASSERT_TRUE(near(dx, dy)) << dx << ", " << dy;
  }
}
#endif

TEST(VignetteFastPath, MatchesOneWordFormulaAcrossGeometriesAndArguments) {
  struct Args { double strength, radius, softness; };
  const Args args[] = {{0.6, 0.5, 0.4}, {1.0, 0.0, 1.0}, {-0.5, 0.3, 0.2}, {0.7, 0.5, 0.0},
                       {0.7, 0.5, -1.0}, {kInf, 0.4, 0.3}, {kNaN, 0.4, 0.3},
                       {0.5, kNaN, 0.3}, {0.5, 0.4, kNaN}, {2.0, -kInf, 0.5},
                       {1.0, 1.2, 0.5}, {1e-300, 0.2, 1e-300}};
  kvfx_test::for_each_level([&] {
    std::mt19937 rng(8);
    for (const Args& a : args)
      for (int iter = 0; iter < 25; ++iter) {
        // Odd and even sizes (the centre on a pixel or between two), wide
        // enough for several vector blocks and their tails.
        const int32_t w = 1 + int32_t(rng() % 70), h = 1 + int32_t(rng() % 30);
        Image in(w, h, int32_t(rng() % 3));
        fill_with_edges(in.words, rng);
        const uint32_t color = rng();
        Image out = in;
        const bool bottom_up = iter % 5 == 4;
        uint32_t* first = bottom_up ? &out.at(0, h - 1) : out.data();
        const int32_t stride = bottom_up ? -out.stride() : out.stride();
        ASSERT_EQ(kv_fx_vignette(first, w, h, stride, a.strength, a.radius, a.softness, color),
                  FX_OK);
        const kvfx::VignetteParams p =
            kvfx::vignette_params(w, h, a.strength, a.radius, a.softness, color);
        for (int32_t y = 0; y < h; ++y)
          for (int32_t x = 0; x < w; ++x) {
            const int32_t row = bottom_up ? h - 1 - y : y;  // buffer row of image row y
            ASSERT_EQ(out.at(x, row), kvfx::vignette_word(in.at(x, row), x, y, p))
                << w << "x" << h << " strength " << a.strength << " radius " << a.radius
                << " softness " << a.softness << " at " << x << "," << y;
          }
        for (int32_t y = 0; y < h; ++y)
          for (int32_t x = w; x < in.row_pixels; ++x) ASSERT_EQ(out.at(x, y), in.at(x, y));
      }
  });
}

}  // namespace
