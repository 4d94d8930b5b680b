// Every effect on buffers fenced by PROT_NONE pages: refused calls must not
// read a single word, legal calls must stay inside the words the caller owns
// whatever the parameters, and the fenced result must match an unfenced run.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "blur/blur_effects.h"
#include "core/boundary.h"
#include "guard/effect_table.h"
#include "guard/guarded_buffer.h"
#include "kelvo_fx.h"
#include "support/image.h"

namespace {

using kvfx_test::EffectCall;
using kvfx_test::EffectCase;
using kvfx_test::Fence;
using kvfx_test::GuardedBuffer;
using kvfx_test::NoAccess;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Fence kFences[] = {Fence::kAfter, Fence::kBefore};

const char* fence_name(Fence f) { return f == Fence::kAfter ? "after" : "before"; }

std::vector<uint32_t> random_words(size_t n, uint32_t seed) {
  std::vector<uint32_t> v(n);
  kvfx_test::fill_random_premultiplied(v, seed);
  return v;
}

// Runs `call` on `input` once in a fenced buffer of exactly input.size()
// words and once in a plain vector, and expects identical codes and words.
void expect_fenced_matches_plain(const EffectCall& call, int32_t width, int32_t height,
                                 int32_t stride, const std::vector<uint32_t>& input,
                                 Fence fence, int32_t expected_rc = FX_OK) {
  std::vector<uint32_t> plain = input;
  const int32_t plain_rc = call(plain.data(), width, height, stride);
  GuardedBuffer fenced(input, fence);
  const int32_t fenced_rc = call(fenced.data(), width, height, stride);
  EXPECT_EQ(fenced_rc, expected_rc);
  EXPECT_EQ(plain_rc, fenced_rc);
  EXPECT_TRUE(fenced.contents() == plain) << "fenced and plain results differ";
}

// The entry policy of every effect, as its catalogue entry states it: a call
// answered without work must not read a single word.
TEST(GuardPage, RefusedCallsTouchNothing) {
  NoAccess forbidden;
  uint32_t* p = forbidden.pixels();
  struct Call {
    uint32_t* pixels;
    int32_t width, height, stride;
  };
  const std::vector<Call> bad_buffers = {
      {nullptr, 4, 4, 16},  {p, 0, 4, 16},       {p, -1, 4, 16},
      {p, INT32_MIN, 4, 16}, {p, 4, 0, 16},       {p, 4, -1, 16},
      {p, 4, INT32_MIN, 16}, {p, INT32_MIN, INT32_MIN, INT32_MIN},
      {nullptr, 0, 0, 0}};
  // Width 8: negative rows, then overlapping (empty rows among them).
  const std::vector<Call> strides = {
      {p, 4, 3, -4}, {p, 4, 3, -5}, {p, 4, 3, -16}, {p, 4, 3, -64}, {p, 4, 3, INT32_MIN},
      {p, 1, 1, -4}, {p, 1, 1, INT32_MIN}, {p, 8, 3, 4},  {p, 8, 3, 7},  {p, 8, 3, 28},
      {p, 8, 3, 31}, {p, INT32_MAX, 2, INT32_MAX},  {p, 8, 3, 0},  {p, 8, 3, 1},
      {p, 8, 3, 3},  {p, 8, 3, -1}, {p, 8, 3, -3}};
  for (const EffectCase& e : kvfx_test::all_effects()) {
    SCOPED_TRACE(e.name);
    const kvfx::EntryPolicy& policy = *e.effect->entry;
    for (const Call& c : bad_buffers)
      EXPECT_EQ(e.call(c.pixels, c.width, c.height, c.stride), kvfx::result_of(policy.bad_buffer))
          << c.width << " x " << c.height << " stride " << c.stride;
    for (const Call& c : strides) {
      const kvfx::Answer a = kvfx::check_entry(policy, true, c.width, c.height, c.stride);
      if (a == kvfx::Answer::kWork) continue;  // legal: it walks memory
      EXPECT_EQ(e.call(c.pixels, c.width, c.height, c.stride), kvfx::result_of(a))
          << c.width << " x " << c.height << " stride " << c.stride;
    }
  }
  // Drop shadow: either buffer missing refuses the call without touching
  // the other.
  EXPECT_EQ(kv_fx_drop_shadow(nullptr, p, 4, 4, 16, 1, 1, 1, 0xFF000000u),
            FX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(kv_fx_drop_shadow(p, nullptr, 4, 4, 16, 1, 1, 1, 0xFF000000u),
            FX_ERR_INVALID_ARGUMENT);
}

struct Geometry {
  int32_t width, height, row_pixels;
};

// Exactly height x row_pixels words: the last row's padding is the caller's
// (whole-run effects rewrite it), nothing beyond it is.
TEST(GuardPage, TightestBufferStaysInside) {
  const Geometry geometries[] = {{17, 13, 17}, {17, 13, 21}, {1, 1, 1},   {1, 7, 1},
                                 {7, 1, 9},    {64, 3, 64},  {3, 64, 5},  {12, 12, 12},
                                 {13, 11, 16}, {1025, 2, 1025}, {10, 10, 10}};
  uint32_t seed = 1;
  for (const EffectCase& e : kvfx_test::all_effects())
    for (const Geometry& g : geometries)
      for (Fence f : kFences) {
        SCOPED_TRACE(std::string(e.name) + " " + std::to_string(g.width) + "x" +
                     std::to_string(g.height) + "/" + std::to_string(g.row_pixels) +
                     " fence " + fence_name(f));
        const auto input = random_words(size_t(g.height) * g.row_pixels, seed++);
        expect_fenced_matches_plain(e.call, g.width, g.height, g.row_pixels * 4, input, f);
      }
}

// The three effects that blur, with a chosen sigma.
std::vector<std::pair<const char*, std::function<EffectCall(double)>>> blurring_effects() {
  return {
      {"gaussian_blur",
       [](double sigma) -> EffectCall {
         return [sigma](uint32_t* p, int32_t w, int32_t h, int32_t s) {
           return kv_fx_gaussian_blur(p, w, h, s, sigma);
         };
       }},
      {"bloom",
       [](double sigma) -> EffectCall {
         return [sigma](uint32_t* p, int32_t w, int32_t h, int32_t s) {
           return kv_fx_bloom(p, w, h, s, 0.1, 1.0, sigma, 0x00FFFFFFu);
         };
       }},
      {"drop_shadow",
       [](double sigma) -> EffectCall {
         return [sigma](uint32_t* p, int32_t w, int32_t h, int32_t s) {
           return kv_fx_drop_shadow(p, p, w, h, s, 1.0, 1.0, sigma, 0xFF000000u);
         };
       }},
  };
}

TEST(GuardPage, BlurLinesShorterThanTheWindow) {
  struct Case {
    Geometry g;
    double sigma;
  };
  const Case cases[] = {{{200, 3, 200}, 10.0}, {{1, 1, 1}, 25.0},   {{3, 200, 3}, 10.0},
                        {{3, 200, 7}, 10.0},   {{2, 2, 2}, 100.0},  {{1, 300, 1}, 40.0},
                        {{300, 1, 301}, 40.0}, {{11, 12, 11}, 60.0}, {{20, 20, 20}, 5000.0}};
  uint32_t seed = 100;
  for (const auto& [name, make] : blurring_effects())
    for (const Case& c : cases)
      for (Fence f : kFences) {
        SCOPED_TRACE(std::string(name) + " " + std::to_string(c.g.width) + "x" +
                     std::to_string(c.g.height) + " sigma " + std::to_string(c.sigma) +
                     " fence " + fence_name(f));
        const auto input = random_words(size_t(c.g.height) * c.g.row_pixels, seed++);
        expect_fenced_matches_plain(make(c.sigma), c.g.width, c.g.height,
                                    c.g.row_pixels * 4, input, f);
      }
}

TEST(GuardPage, HugeAndNonFiniteSigma) {
  const double sigmas[] = {1e9, 1e300, kInf, kNaN, 1073741824.0, 1073741823.0,
                           -kInf, -0.0, 5e-324, std::numeric_limits<double>::max()};
  const Geometry g{23, 17, 26};
  const auto input = random_words(size_t(g.height) * g.row_pixels, 7);
  for (const auto& [name, make] : blurring_effects())
    for (double sigma : sigmas)
      for (Fence f : kFences) {
        SCOPED_TRACE(std::string(name) + " sigma " + std::to_string(sigma) + " fence " +
                     fence_name(f));
        expect_fenced_matches_plain(make(sigma), g.width, g.height, g.row_pixels * 4,
                                    input, f);
      }
  // A sigma too large to plan any pass leaves the blur with nothing to do.
  for (double sigma : {1e300, kInf, kNaN, 1073741824.0, 2e9}) {
    GuardedBuffer b(input, Fence::kAfter);
    EXPECT_EQ(kv_fx_gaussian_blur(b.data(), g.width, g.height, g.row_pixels * 4, sigma),
              FX_OK);
    EXPECT_TRUE(b.contents() == input) << "sigma " << sigma;
  }
}

const double kExtremes[] = {0.0,    0.5,    -0.5,   4.0,   -3.0,   1e300,
                            -1e300, kNaN,   kInf,   -kInf, -2147483648.0,
                            2147483647.0, 2147483647.5, -2147483648.5, -2147483649.0,
                            1e10};

// src and dst in separate fenced mappings, each exactly the run long.
TEST(GuardPage, DropShadowExtremeOffsets) {
  const Geometry g{9, 7, 11};
  const size_t n = size_t(g.height) * g.row_pixels;
  const auto src_words = random_words(n, 11);
  const std::vector<uint32_t> dst_fill(n, 0xDEADBEEFu);
  for (double sigma : {0.0, 2.0})
    for (Fence src_fence : kFences)
      for (double ox : kExtremes)
        for (double oy : kExtremes) {
          SCOPED_TRACE("offset " + std::to_string(ox) + ", " + std::to_string(oy) +
                       " sigma " + std::to_string(sigma));
          const Fence dst_fence = src_fence == Fence::kAfter ? Fence::kBefore : Fence::kAfter;
          GuardedBuffer src(src_words, src_fence);
          GuardedBuffer dst(dst_fill, dst_fence);
          std::vector<uint32_t> plain(n);
          ASSERT_EQ(kv_fx_drop_shadow(src_words.data(), plain.data(), g.width, g.height,
                                      g.row_pixels * 4, ox, oy, sigma, 0xC0203040u),
                    FX_OK);
          ASSERT_EQ(kv_fx_drop_shadow(src.data(), dst.data(), g.width, g.height,
                                      g.row_pixels * 4, ox, oy, sigma, 0xC0203040u),
                    FX_OK);
          EXPECT_TRUE(src.contents() == src_words);
          ASSERT_TRUE(dst.contents() == plain);
          // An offset that moves the shadow entirely off the image (or is not
          // a number) leaves only the source composited over nothing.
          const bool off_image = !(std::fabs(ox) < g.width - 0.5) ||
                                 !(std::fabs(oy) < g.height - 0.5);
          if (off_image) {
            for (size_t k = 0; k < n; ++k)
              ASSERT_EQ(plain[k], kvfx::composite_word(src_words[k], 0)) << "word " << k;
          }
        }
}

TEST(GuardPage, ChromaticExtremeShifts) {
  const Geometry g{10, 6, 13};
  const auto input = random_words(size_t(g.height) * g.row_pixels, 21);
  const double angles[] = {0.0, 1.5707963267948966, 3.9, 1e300, kNaN, kInf, -kInf};
  for (double sx : kExtremes)
    for (double sy : {0.0, 2.0, 1e300, kNaN, -kInf, -2147483648.0, 2147483647.0})
      for (double angle : angles)
        for (Fence f : kFences) {
          SCOPED_TRACE("strengths " + std::to_string(sx) + ", " + std::to_string(sy) +
                       " angle " + std::to_string(angle));
          expect_fenced_matches_plain(
              [&](uint32_t* p, int32_t w, int32_t h, int32_t s) {
                return kv_fx_chromatic_aberration(p, w, h, s, sx, sy, angle);
              },
              g.width, g.height, g.row_pixels * 4, input, f);
        }
}

TEST(GuardPage, GlitchExtremeShifts) {
  const Geometry geometries[] = {{16, 40, 19}, {1, 30, 1}, {5, 3, 5}};
  const int32_t shifts[] = {0, -1, 1, 2, INT32_MIN, INT32_MIN + 1, INT32_MAX, 1 << 30,
                            -(1 << 30), 100000};
  const int32_t seeds[] = {0, 1, -1, INT32_MIN, INT32_MAX, 12345};
  const int32_t bands[] = {1, 7, 300};
  for (const Geometry& g : geometries) {
    const auto input = random_words(size_t(g.height) * g.row_pixels, 31);
    for (int32_t shift : shifts)
      for (int32_t seed : seeds)
        for (int32_t band_count : bands)
          for (Fence f : kFences) {
            SCOPED_TRACE("max_shift " + std::to_string(shift) + " seed " +
                         std::to_string(seed) + " bands " + std::to_string(band_count));
            EffectCall call = [&](uint32_t* p, int32_t w, int32_t h, int32_t s) {
              return kv_fx_glitch_displacement(p, w, h, s, band_count, shift, seed);
            };
            expect_fenced_matches_plain(call, g.width, g.height, g.row_pixels * 4, input, f);
            if (shift == 0 || shift == INT32_MIN) {
              GuardedBuffer b(input, f);
              EXPECT_EQ(call(b.data(), g.width, g.height, g.row_pixels * 4), FX_OK);
              EXPECT_TRUE(b.contents() == input);
            }
          }
  }
}

// Row effects need only (height - 1) x row_pixels + width words. Bottom-up:
// pixels points at row 0, the last row in memory, and stride is negative.
TEST(GuardPage, RowEffectsTopDownAndBottomUp) {
  const std::vector<std::pair<const char*, EffectCall>> effects = {
      {"vignette",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_vignette(p, w, h, s, 0.9, 0.2, 0.6, 0x00204060u);
       }},
      {"vignette_nan",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_vignette(p, w, h, s, kNaN, -kInf, kNaN, 0xFFFFFFFFu);
       }},
      {"scanlines",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_scanlines(p, w, h, s, 2, 0.5);
       }},
      {"scanlines_sparse",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_scanlines(p, w, h, s, INT32_MAX, kNaN);
       }},
  };
  const Geometry geometries[] = {{17, 13, 17}, {17, 13, 20}, {1, 9, 1}, {1, 9, 4},
                                 {40, 1, 45},  {5, 50, 5}};
  for (const auto& [name, call] : effects)
    for (const Geometry& g : geometries)
      for (Fence f : kFences) {
        SCOPED_TRACE(std::string(name) + " " + std::to_string(g.width) + "x" +
                     std::to_string(g.height) + "/" + std::to_string(g.row_pixels) +
                     " fence " + fence_name(f));
        const size_t rp = size_t(g.row_pixels);
        const size_t n = (g.height - 1) * rp + g.width;
        // Logical image, row y at y * row_pixels, and its top-down result.
        const auto logical = random_words(size_t(g.height) * rp, 41);
        std::vector<uint32_t> expected = logical;
        ASSERT_EQ(call(expected.data(), g.width, g.height, g.row_pixels * 4), FX_OK);

        std::vector<uint32_t> top_down(logical.begin(), logical.begin() + n);
        GuardedBuffer td(top_down, f);
        ASSERT_EQ(call(td.data(), g.width, g.height, g.row_pixels * 4), FX_OK);
        EXPECT_TRUE(td.contents() ==
                    std::vector<uint32_t>(expected.begin(), expected.begin() + n));

        // Same rows, stored last row first.
        std::vector<uint32_t> bottom_up(n, 0x5A5A5A5Au);
        for (size_t y = 0; y < size_t(g.height); ++y)
          for (size_t x = 0; x < size_t(g.width); ++x)
            bottom_up[(g.height - 1 - y) * rp + x] = logical[y * rp + x];
        GuardedBuffer bu(bottom_up, f);
        uint32_t* row0 = bu.data() + (g.height - 1) * rp;
        ASSERT_EQ(call(row0, g.width, g.height, -g.row_pixels * 4), FX_OK);
        const auto out = bu.contents();
        for (size_t y = 0; y < size_t(g.height); ++y)
          for (size_t x = 0; x < rp; ++x) {
            const size_t k = (g.height - 1 - y) * rp + x;
            if (k >= n) break;
            const uint32_t want = x < size_t(g.width) ? expected[y * rp + x] : 0x5A5A5A5Au;
            ASSERT_EQ(out[k], want) << "row " << y << " column " << x;
          }
      }
  // One row: a stride of INT32_MIN never moves past row 0.
  for (Fence f : kFences) {
    const auto input = random_words(6, 51);
    std::vector<uint32_t> expected = input;
    ASSERT_EQ(kv_fx_vignette(expected.data(), 6, 1, 24, 0.9, 0.1, 0.2, 0), FX_OK);
    GuardedBuffer b(input, f);
    ASSERT_EQ(kv_fx_vignette(b.data(), 6, 1, INT32_MIN, 0.9, 0.1, 0.2, 0), FX_OK);
    EXPECT_TRUE(b.contents() == expected);
    GuardedBuffer c(input, f);
    ASSERT_EQ(kv_fx_scanlines(c.data(), 6, 1, INT32_MIN, 1, 1.0), FX_OK);
  }
}

}  // namespace
