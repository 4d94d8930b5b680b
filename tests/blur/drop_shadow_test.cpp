#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "kelvo_fx.h"
#include "support/image.h"
#include "support/hooks.h"

namespace {

using kvfx_test::argb;
using kvfx_test::Image;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Literal restatement of the effect on raw memory: build the shadow from src,
// blur it, then the one-word composite loop in increasing k, so src and dst
// may overlap exactly as a caller's buffers can.
void reference_drop_shadow(const uint32_t* src, uint32_t* dst, int32_t w, int32_t h,
                           int32_t rp, double ox, double oy, double sigma, uint32_t color) {
  const size_t count = static_cast<size_t>(h) * rp;
  std::vector<uint32_t> shadow(count, 0);
  const int64_t dx = kvfx::round_to_int32(ox), dy = kvfx::round_to_int32(oy);
  for (int64_t y = 0; y < h; ++y)
    for (int64_t x = 0; x < w; ++x) {
      const int64_t sx = x - dx, sy = y - dy;
      if (sx < 0 || sx >= w || sy < 0 || sy >= h) continue;
      const uint32_t a = src[sy * rp + sx] >> 24;
      shadow[y * rp + x] = ((a * (color >> 24)) / 255) << 24 | (color & 0xFFFFFF);
    }
  if (sigma > 0) kvfx::gaussian_blur_in_place(shadow.data(), w, h, rp, sigma);
  for (size_t k = 0; k < count; ++k) {
    const uint32_t s = src[k];
    const double inv = 1.0 - (s >> 24) / 255.0;
    uint32_t out = 0;
    for (int sh : {24, 16, 8, 0}) {
      const double shaded = ((shadow[k] >> sh) & 0xFF) * inv;
      out |= kvfx::channel_to_byte(shaded + ((s >> sh) & 0xFF)) << sh;
    }
    dst[k] = out;
  }
}

int32_t shadow_call(const Image& src, Image& dst, double ox, double oy, double sigma,
                    uint32_t color) {
  return kv_fx_drop_shadow(src.words.data(), dst.data(), src.width, src.height, src.stride(),
                           ox, oy, sigma, color);
}

TEST(DropShadow, CompositeWords) {
  EXPECT_EQ(kvfx::composite_word(0x80404040, 0xFF000000), 0xFF404040u);
  EXPECT_EQ(kvfx::composite_word(0x80404040, 0x80000000), 0xBF404040u);
  EXPECT_EQ(kvfx::composite_word(0x00000000, 0x40102030), 0x40102030u);
  EXPECT_EQ(kvfx::composite_word(0xFF123456, 0xFFFFFFFF), 0xFF123456u);  // opaque hides
  EXPECT_EQ(kvfx::shadow_coverage_word(0xFF000000, 0x80ABCDEF), 0x80ABCDEFu);
  EXPECT_EQ(kvfx::shadow_coverage_word(0x80FFFFFF, 0x80ABCDEF), 0x40ABCDEFu);
}

TEST(DropShadow, BlackShadowUnderItself) {
  Image src(5, 1);
  const uint32_t alphas[] = {0, 64, 128, 192, 255}, expected[] = {0, 111, 191, 239, 255};
  for (int i = 0; i < 5; ++i) src.words[i] = argb(alphas[i], alphas[i] / 2, alphas[i] / 3, 0);
  Image dst(5, 1);
  ASSERT_EQ(shadow_call(src, dst, 0, 0, 0, 0xFF000000), FX_OK);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(dst.words[i], (src.words[i] & 0xFFFFFF) | expected[i] << 24) << alphas[i];
}

TEST(DropShadow, EmptyShadowCopiesSource) {
  const int32_t w = 7, h = 5;
  Image src(w, h, 2);
  kvfx_test::fill_random_premultiplied(src.words, 7);
  struct Case {
    double ox, oy;
    uint32_t color;
  };
  const Case cases[] = {{w, 0, 0xFF336699},  {-w, 0, 0xFF336699},   {0, h, 0xFF336699},
                        {0, -h, 0xFF336699}, {1e12, 0, 0xFF336699}, {kNaN, 0, 0xFF336699},
                        {0, kInf, 0xFF336699}, {-kInf, 0, 0xFF336699}, {1, 1, 0}};
  for (const Case& c : cases)
    for (double sigma : {0.0, 1.5}) {
      SCOPED_TRACE(testing::Message() << c.ox << "," << c.oy << " sigma " << sigma);
      Image dst(w, h, 2, 0xDEADBEEF);
      ASSERT_EQ(shadow_call(src, dst, c.ox, c.oy, sigma, c.color), FX_OK);
      EXPECT_EQ(dst.words, src.words);
    }
}

TEST(DropShadow, OffsetsRoundHalfAwayFromZero) {
  Image src(9, 6, 1);
  kvfx_test::fill_random_premultiplied(src.words, 9);
  struct Case {
    double offset, whole;
  };
  for (Case c : {Case{1.5, 2}, Case{2.5, 3}, Case{-0.5, -1}, Case{-2.5, -3}, Case{0.49, 0}}) {
    SCOPED_TRACE(c.offset);
    Image a(9, 6, 1), b(9, 6, 1), c2(9, 6, 1), d(9, 6, 1);
    ASSERT_EQ(shadow_call(src, a, c.offset, 0, 0, 0xC0204060), FX_OK);
    ASSERT_EQ(shadow_call(src, b, c.whole, 0, 0, 0xC0204060), FX_OK);
    ASSERT_EQ(shadow_call(src, c2, 0, c.offset, 0, 0xC0204060), FX_OK);
    ASSERT_EQ(shadow_call(src, d, 0, c.whole, 0, 0xC0204060), FX_OK);
    EXPECT_EQ(a.words, b.words);
    EXPECT_EQ(c2.words, d.words);
  }
  // Direction: a lone opaque pixel's shadow lands right of and below it.
  Image dot(6, 6), out(6, 6);
  dot.at(1, 1) = 0xFF000000;
  ASSERT_EQ(shadow_call(dot, out, 2, 3, 0, 0xFF000000), FX_OK);
  EXPECT_EQ(out.at(3, 4), 0xFF000000u);
  EXPECT_EQ(out.at(1, 1), 0xFF000000u);
  EXPECT_EQ(out.at(4, 4), 0u);
}

TEST(DropShadow, TransparentColourStillAddsItsRgb) {
  Image src(4, 3, 1, argb(0x40, 0x10, 0x10, 0x10)), dst(4, 3, 1);
  ASSERT_EQ(shadow_call(src, dst, 1, 0, 0, 0x00306090), FX_OK);
  const double inv = 1.0 - 0x40 / 255.0;
  const uint32_t shaded = argb(0x40, static_cast<uint32_t>(0x30 * inv + 0x10),
                               static_cast<uint32_t>(0x60 * inv + 0x10),
                               static_cast<uint32_t>(0x90 * inv + 0x10));
  for (int32_t y = 0; y < 3; ++y) {
    EXPECT_EQ(dst.at(0, y), src.at(0, y));
    for (int32_t x = 1; x < 4; ++x) EXPECT_EQ(dst.at(x, y), shaded);
    EXPECT_EQ(dst.at(4, y), src.at(4, y));  // padding
  }
}

TEST(DropShadow, InPlaceAndOverlappingBuffers) {
  const int32_t w = 13, h = 9, rp = 15;
  const size_t count = static_cast<size_t>(h) * rp;
  std::vector<uint32_t> base(count + 2);
  kvfx_test::fill_random_premultiplied(base, 13);
  for (double sigma : {0.0, 2.0}) {
    // dst = src, dst one word after src, dst one word before src.
    for (ptrdiff_t shift : {0, 1, -1}) {
      SCOPED_TRACE(testing::Message() << "sigma " << sigma << " dst - src " << shift);
      std::vector<uint32_t> got = base, want = base;
      ASSERT_EQ(kv_fx_drop_shadow(got.data() + 1, got.data() + 1 + shift, w, h, rp * 4, 1.0,
                                  2.0, sigma, 0xA0102030),
                FX_OK);
      reference_drop_shadow(want.data() + 1, want.data() + 1 + shift, w, h, rp, 1.0, 2.0,
                            sigma, 0xA0102030);
      EXPECT_EQ(got, want);
    }
  }
  // In place equals separate buffers.
  Image src(w, h, 2);
  kvfx_test::fill_random_premultiplied(src.words, 14);
  Image separate(w, h, 2), in_place = src;
  ASSERT_EQ(shadow_call(src, separate, -2, 1, 1.5, 0xFF000000), FX_OK);
  ASSERT_EQ(kv_fx_drop_shadow(in_place.data(), in_place.data(), w, h, in_place.stride(), -2, 1,
                              1.5, 0xFF000000),
            FX_OK);
  EXPECT_EQ(in_place.words, separate.words);
  for (int32_t y = 0; y < h; ++y)  // padding comes from src
    for (int32_t x = w; x < w + 2; ++x) EXPECT_EQ(separate.at(x, y), src.at(x, y));
}

TEST(DropShadow, RejectedCallsLeaveDstUntouched) {
  Image src(4, 3, 1, 0x80808080), dst(4, 3, 1, 0x12345678);
  const std::vector<uint32_t> before = dst.words;
  auto call = [&](const uint32_t* s, uint32_t* d, int32_t w, int32_t h, int32_t stride) {
    return kv_fx_drop_shadow(s, d, w, h, stride, 1, 1, 1.0, 0xFF000000);
  };
  EXPECT_EQ(call(nullptr, dst.data(), 4, 3, 20), FX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(call(src.data(), nullptr, 4, 3, 20), FX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(call(src.data(), dst.data(), 0, 3, 20), FX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(call(src.data(), dst.data(), 4, 0, 20), FX_ERR_INVALID_ARGUMENT);
  for (int32_t stride : {-400, -4, -1, 0, 3, 4, 15})
    EXPECT_EQ(call(src.data(), dst.data(), 4, 3, stride), FX_ERR_INVALID_ARGUMENT) << stride;
  EXPECT_EQ(dst.words, before);
  EXPECT_EQ(call(src.data(), dst.data(), 4, 3, 17), FX_OK);  // 16 + a remainder that is dropped
}

// Every source alpha under every colour alpha, with no offset and no blur:
// the composite over the shadow word of each pair, at every vector level.
// Every alpha under every colour alpha, in colour and in black (whose
// shadow, 16 rows high, is blurred as alpha alone).
TEST(DropShadow, CoverageOfEveryAlphaPair) {
  Image src(256, 16);
  for (int32_t y = 0; y < 16; ++y)
    for (uint32_t a = 0; a < 256; ++a) src.at(static_cast<int32_t>(a), y) = a << 24 | 0x00102030u;
  kvfx_test::for_each_level([&] {
    for (uint32_t ca = 0; ca < 256; ++ca)
      for (const uint32_t rgb : {0x00A0B0C0u, 0u}) {
        const uint32_t color = ca << 24 | rgb;
        Image got(256, 16);
        ASSERT_EQ(kv_fx_drop_shadow(src.data(), got.data(), 256, 16, src.stride(), 0.0, 0.0, 0.0,
                                    color),
                  FX_OK);
        for (int32_t y = 0; y < 16; ++y)
          for (uint32_t a = 0; a < 256; ++a) {
            const uint32_t s = src.at(static_cast<int32_t>(a), y);
            ASSERT_EQ(got.at(static_cast<int32_t>(a), y),
                      kvfx::composite_word(s, kvfx::shadow_coverage_word(s, color)))
                << "alpha " << a << " colour " << std::hex << color;
          }
      }
  });
}

// The vector composites work in integers and send the lanes where the
// double product may fall short of an integer to the formula: every source
// alpha and channel under every shadow channel, at every level. (No blur and
// no offset, so the shadow's colour channels are the colour's.)
TEST(DropShadow, CompositeOfEveryAlphaChannelAndShadowChannel) {
  Image src(256, 256);
  for (uint32_t a = 0; a < 256; ++a)
    for (uint32_t c = 0; c < 256; ++c)
      src.at(static_cast<int32_t>(c), static_cast<int32_t>(a)) = a << 24 | c << 16 | (255 - c) << 8 | c;
  kvfx_test::for_each_level([&] {
    Image got(256, 256);
    for (bool in_place : {false, true})  // in place, the composite reads the words it writes
      for (uint32_t h = 0; h < 256; ++h) {
        const uint32_t color = (h * 0x9Du & 0xFF) << 24 | h << 16 | h << 8 | h;
        if (in_place) got = src;
        ASSERT_EQ(kv_fx_drop_shadow(in_place ? got.data() : src.data(), got.data(), 256, 256,
                                    src.stride(), 0.0, 0.0, 0.0, color),
                  FX_OK);
        for (size_t k = 0; k < src.words.size(); ++k) {
          const uint32_t s = src.words[k];
          if (got.words[k] != kvfx::composite_word(s, kvfx::shadow_coverage_word(s, color)))
            FAIL() << std::hex << "source " << s << " colour " << color << " in place "
                   << in_place;
        }
      }
  });
}

// A black shadow composites its alpha alone: every source alpha under every
// shadow alpha, cast one row down from rows whose alpha counts along x onto
// rows of one alpha each, at every level, apart and in place.
TEST(DropShadow, BlackShadowOfEveryAlphaOverEveryAlpha) {
  Image src(256, 512);
  for (int32_t y = 0; y < 512; ++y)
    for (uint32_t x = 0; x < 256; ++x) {
      const uint32_t a = y % 2 ? static_cast<uint32_t>(y / 2) : x;
      src.at(static_cast<int32_t>(x), y) = a << 24 | (x * a / 255) << 16 | (a / 3) << 8 | a / 2;
    }
  kvfx_test::for_each_level([&] {
    for (const uint32_t color : {0xFF000000u, 0x9D000000u})
      for (bool in_place : {false, true}) {
        Image got = in_place ? src : Image(256, 512);
        ASSERT_EQ(kv_fx_drop_shadow(in_place ? got.data() : src.data(), got.data(), 256, 512,
                                    src.stride(), 0.0, 1.0, 0.0, color),
                  FX_OK);
        for (int32_t y = 0; y < 512; ++y)
          for (int32_t x = 0; x < 256; ++x) {
            const uint32_t s = src.at(x, y);
            const uint32_t h = y == 0 ? 0 : kvfx::shadow_coverage_word(src.at(x, y - 1), color);
            if (got.at(x, y) != kvfx::composite_word(s, h))
              FAIL() << std::hex << "source " << s << " shadow " << h << " in place " << in_place;
          }
      }
  });
}

TEST(DropShadow, MatchesReferenceOnRandomImages) {
  kvfx_test::for_each_level([] {
    std::mt19937 rng(77);
    const double sigmas[] = {0.0, -2.0, 0.5, 1.0, 2.5, 6.0, kNaN};
    for (int iter = 0; iter < 150; ++iter) {
      // Every other image tall enough to be cut into slices of rows (a black
      // shadow, of any opacity, blurs only its alpha).
      const int32_t w = 1 + rng() % 24, h = iter % 2 ? 1 + rng() % 24 : 16 + rng() % 150;
      Image src(w, h, rng() % 4), got(w, h, src.row_pixels - w), want = got;
      if (iter % 3)
        kvfx_test::fill_random_premultiplied(src.words, rng());
      else
        kvfx_test::fill_random(src.words, rng());
      auto offset = [&](int32_t extent) {
        if (rng() % 16 == 0) return kNaN;
        return std::round(std::uniform_real_distribution<double>(-extent - 2, extent + 2)(rng) * 2) / 2;
      };
      const double ox = offset(w), oy = offset(h), sigma = sigmas[rng() % 7];
      const uint32_t color = iter % 4 < 2 ? rng() & 0xFF000000u : rng();
      const bool in_place = iter % 3 == 1;
      SCOPED_TRACE(testing::Message() << w << "x" << h << "/" << src.row_pixels << " offset "
                                      << ox << "," << oy << " sigma " << sigma << " colour "
                                      << std::hex << color << (in_place ? " in place" : ""));
      if (in_place) {
        got = want = src;
        ASSERT_EQ(shadow_call(got, got, ox, oy, sigma, color), FX_OK);
        reference_drop_shadow(want.data(), want.data(), w, h, src.row_pixels, ox, oy, sigma,
                              color);
      } else {
        ASSERT_EQ(shadow_call(src, got, ox, oy, sigma, color), FX_OK);
        reference_drop_shadow(src.words.data(), want.data(), w, h, src.row_pixels, ox, oy,
                              sigma, color);
      }
      ASSERT_EQ(got.words, want.words);
    }
  });
}

}  // namespace
