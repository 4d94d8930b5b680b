#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/scratch.h"
#include "displace/displace_effects.h"
#include "kelvo_fx.h"
#include "support/image.h"

namespace {

using kvfx_test::Image;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr uint32_t kPad = 0xDEADBEEFu;
// M_PI is POSIX, not C++, and the Windows headers leave it out.
constexpr double kPi = 3.14159265358979323846;

Image random_image(int32_t w, int32_t h, int32_t padding, uint32_t seed) {
  Image im(w, h, padding);
  kvfx_test::fill_random(im.words, seed);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = w; x < im.row_pixels; ++x) im.at(x, y) = kPad;
  return im;
}

// Written from the formulas, independently of the library's pieces.
int64_t ref_round(double v) {
  double r = std::round(v);
  if (std::isnan(r) || r < -2147483648.0 || r > 2147483647.0) return INT32_MIN;
  return static_cast<int64_t>(r);
}
int64_t ref_clamp(int64_t v, int64_t limit) {
  if (v >= limit - 1) v = limit - 1;
  if (v <= 0) v = 0;
  return v;
}
Image reference(const Image& in, double sx, double sy, double angle) {
  double hx = std::cos(angle) * sx, hy = std::sin(angle) * sy;
  int64_t rx = ref_round(hx), ry = ref_round(hy), bx = ref_round(-hx), by = ref_round(-hy);
  Image out = in;
  for (int64_t y = 0; y < in.height; ++y)
    for (int64_t x = 0; x < in.width; ++x) {
      uint32_t r = in.at(int32_t(ref_clamp(x + rx, in.width)), int32_t(ref_clamp(y + ry, in.height)));
      uint32_t b = in.at(int32_t(ref_clamp(x + bx, in.width)), int32_t(ref_clamp(y + by, in.height)));
      uint32_t c = in.at(int32_t(x), int32_t(y));
      out.at(int32_t(x), int32_t(y)) = (c & 0xFF00FF00u) | (r & 0x00FF0000u) | (b & 0xFFu);
    }
  return out;
}

int32_t run(Image& im, double sx, double sy, double angle) {
  return kv_fx_chromatic_aberration(im.data(), im.width, im.height, im.stride(), sx, sy, angle);
}

// Checks one output word against the words its channels must come from.
void expect_sources(const Image& in, const Image& out, int32_t x, int32_t y,
                    int32_t xr, int32_t yr, int32_t xb, int32_t yb) {
  SCOPED_TRACE(testing::Message() << "pixel (" << x << ", " << y << ")");
  EXPECT_EQ(out.at(x, y) & 0xFF00FF00u, in.at(x, y) & 0xFF00FF00u);
  EXPECT_EQ(out.at(x, y) & 0x00FF0000u, in.at(xr, yr) & 0x00FF0000u);
  EXPECT_EQ(out.at(x, y) & 0x000000FFu, in.at(xb, yb) & 0x000000FFu);
}

TEST(ChromaticAberration, ShiftRoundsHalvesAwayFromZero) {
  struct Case { double sx, sy, angle; kvfx::ChromaticShift want; };
  const double half_pi = kPi / 2;
  const Case cases[] = {
      {0.5, 7.0, 0.0, {1, 0, -1, 0}},
      {-2.5, 7.0, 0.0, {-3, 0, 3, 0}},
      {2.4999, 0.0, 0.0, {2, 0, -2, 0}},
      {3.0, 0.0, kPi, {-3, 0, 3, 0}},
      {100.0, 0.5, half_pi, {0, 1, 0, -1}},   // cos(pi/2) ~ 6e-17
      {100.0, -4.0, half_pi, {0, -4, 0, 4}},
      {kNaN, 1.0, 0.0, {INT32_MIN, 0, INT32_MIN, 0}},
      {1.0, 1.0, kNaN, {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN}},
      {kInf, 0.0, 0.0, {INT32_MIN, 0, INT32_MIN, 0}},
      {1e300, 0.0, 0.0, {INT32_MIN, 0, INT32_MIN, 0}},
      {2147483647.0, 0.0, 0.0, {INT32_MAX, 0, -INT32_MAX, 0}},
      // -hx = 2^31 is out of range although hx itself is not.
      {-2147483648.0, 0.0, 0.0, {INT32_MIN, 0, INT32_MIN, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sx << " " << c.sy << " " << c.angle);
    kvfx::ChromaticShift s = kvfx::chromatic_shift(c.sx, c.sy, c.angle);
    EXPECT_EQ(s.rx, c.want.rx);
    EXPECT_EQ(s.ry, c.want.ry);
    EXPECT_EQ(s.bx, c.want.bx);
    EXPECT_EQ(s.by, c.want.by);
  }
}

TEST(ChromaticAberration, ShiftsThatRoundToZeroLeaveBufferUnchanged) {
  for (double s : {0.0, 0.49, -0.49}) {
    Image im = random_image(13, 9, 3, 1), before = im;
    ASSERT_EQ(run(im, s, s, 0.7), FX_OK);
    EXPECT_EQ(im.words, before.words) << s;
  }
}

TEST(ChromaticAberration, HorizontalFetchAndEdgeClamping) {
  const Image in = random_image(20, 4, 2, 2);
  Image out = in;
  ASSERT_EQ(run(out, 3.0, 5.0, 0.0), FX_OK);  // strength_y is void at angle 0
  for (int32_t y = 0; y < 4; ++y) expect_sources(in, out, 10, y, 13, y, 7, y);

  out = in;
  ASSERT_EQ(run(out, 2.0, 0.0, 0.0), FX_OK);
  for (int32_t y = 0; y < 4; ++y) {
    expect_sources(in, out, 19, y, 19, y, 17, y);
    expect_sources(in, out, 18, y, 19, y, 16, y);
    expect_sources(in, out, 17, y, 19, y, 15, y);
    expect_sources(in, out, 0, y, 2, y, 0, y);
    expect_sources(in, out, 1, y, 3, y, 0, y);
    expect_sources(in, out, 2, y, 4, y, 0, y);
  }
}

TEST(ChromaticAberration, QuarterTurnIsPurelyVertical) {
  const Image in = random_image(6, 10, 0, 3);
  Image out = in;
  ASSERT_EQ(run(out, 1000.0, 2.0, kPi / 2), FX_OK);
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 6; ++x)
      expect_sources(in, out, x, y, x, std::min(y + 2, 9), x, std::max(y - 2, 0));
}

TEST(ChromaticAberration, NonFiniteOffsetsFetchFromRowOrColumnZero) {
  const Image in = random_image(7, 5, 1, 4);
  Image out = in;
  ASSERT_EQ(run(out, 3.0, 3.0, kNaN), FX_OK);
  for (int32_t y = 0; y < 5; ++y)
    for (int32_t x = 0; x < 7; ++x) expect_sources(in, out, x, y, 0, 0, 0, 0);

  out = in;
  ASSERT_EQ(run(out, kNaN, 3.0, 0.0), FX_OK);
  for (int32_t y = 0; y < 5; ++y)
    for (int32_t x = 0; x < 7; ++x) expect_sources(in, out, x, y, 0, y, 0, y);
}

TEST(ChromaticAberration, HugeStrengthsClampAndMatchReference) {
  const double strengths[] = {1e300, -1e300, kInf, -kInf, 1e9, -1e9,
                              2147483647.0, -2147483648.0, 2147483648.0};
  const double angles[] = {0.0, kPi / 4, kPi, -2.0};
  const Image in = random_image(9, 8, 2, 5);
  for (double sx : strengths)
    for (double angle : angles) {
      Image out = in;
      ASSERT_EQ(run(out, sx, -sx, angle), FX_OK);
      EXPECT_EQ(out.words, reference(in, sx, -sx, angle).words) << sx << " " << angle;
    }
}

TEST(ChromaticAberration, WidthOneKeepsOnlyTheVerticalPart) {
  const Image in = random_image(1, 8, 2, 6);
  Image out = in;
  ASSERT_EQ(run(out, 3.0, 3.0, kPi / 4), FX_OK);  // rx = ry = 2
  for (int32_t y = 0; y < 8; ++y)
    expect_sources(in, out, 0, y, 0, std::min(y + 2, 7), 0, std::max(y - 2, 0));
  EXPECT_EQ(out.at(1, 3), kPad);
}

TEST(ChromaticAberration, PaddingIsNeverRewritten) {
  Image im = random_image(5, 6, 3, 7);
  ASSERT_EQ(run(im, 2.0, 2.0, 1.0), FX_OK);
  for (int32_t y = 0; y < 6; ++y)
    for (int32_t x = 5; x < 8; ++x) EXPECT_EQ(im.at(x, y), kPad);
}

TEST(ChromaticAberration, RejectedCallsTouchNothing) {
  Image im = random_image(8, 4, 0, 8);
  const Image before = im;
  EXPECT_EQ(kv_fx_chromatic_aberration(nullptr, 8, 4, 32, 2, 2, 0), FX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(kv_fx_chromatic_aberration(im.data(), 0, 4, 32, 2, 2, 0), FX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(kv_fx_chromatic_aberration(im.data(), 8, -1, 32, 2, 2, 0), FX_ERR_INVALID_ARGUMENT);
  for (int32_t stride : {28, 31, 4, 3, 0, -1, -4, -32, INT32_MIN}) {
    EXPECT_EQ(kv_fx_chromatic_aberration(im.data(), 8, 4, stride, 2, 2, 0),
              FX_ERR_INVALID_ARGUMENT) << stride;
  }
  EXPECT_EQ(im.words, before.words);
}

TEST(ChromaticAberration, MatchesReferenceOnRandomGeometries) {
  std::mt19937 rng(2024);
  std::uniform_real_distribution<double> strength(-12.0, 12.0), angle(-7.0, 7.0);
  for (int iter = 0; iter < 300; ++iter) {
    const int32_t w = 1 + int32_t(rng() % 24), h = 1 + int32_t(rng() % 24);
    const int32_t padding = int32_t(rng() % 4);
    const Image in = random_image(w, h, padding, rng());
    double sx = strength(rng), sy = strength(rng), a = angle(rng);
    if (iter % 5 == 0) {  // exact halves: cos is exactly 1 or -1 here
      sx = std::round(sx) + 0.5;
      a = iter % 10 == 0 ? 0.0 : kPi;
    }
    Image out = in;
    // A stride that is not a multiple of 4 loses its remainder.
    const int32_t stride = in.stride() + int32_t(rng() % 4);
    ASSERT_EQ(kv_fx_chromatic_aberration(out.data(), w, h, stride, sx, sy, a), FX_OK);
    ASSERT_EQ(out.words, reference(in, sx, sy, a).words)
        << w << "x" << h << "+" << padding << " " << sx << " " << sy << " " << a;
  }
}

}  // namespace
