// Frames large enough for bloom's per-call tables (bright channels, screen
// step), at every vector level: the result must be exactly the one-word
// pieces (bright word, downsample, blur, screen_word) applied word by word.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "blur/bloom_tables.h"
#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "kelvo_fx.h"
#include "support/image.h"
#include "support/reference.h"
#include "support/hooks.h"

namespace {

using kvfx_test::Image;

struct Case {
  double threshold, intensity, sigma;
  uint32_t tint;
};

// Bloom built from its one-word pieces, both paths (tests/support).
std::vector<uint32_t> reference_bloom(const Image& in, const Case& c) {
  Image out = in;
  const double args[] = {c.threshold, c.intensity, c.sigma, static_cast<double>(c.tint)};
  kvfx_test::reference_effect(*kvfx_catalogue::find_effect("bloom"), out.data(), in.width,
                              in.height, in.stride(), args);
  return out.words;
}

TEST(BloomTables, LargeFramesMatchTheOneWordPieces) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {{0.3, 0.8, 2.0, 0xFFFFE0C0u},   {0.3, 2.5, 0.0, 0x00FFFFFFu},
                        {-1.0, -1.0, 1.5, 0xFF8040FFu},  {0.0, kNaN, 0.0, 0xFFFFFFFFu},
                        {0.999, 1e300, 3.0, 0xFF00FF00u}, {kNaN, 1.0, 0.0, 0xFFFFFFu},
                        {-1e6, 0.5, 0.0, 0x00102030u},   {0.2, 1.2, 9.0, 0xFFCC88u},
                        {0.5, 3.0, 12.0, 0xFFFFFFu},     {1e6, 0.8, 2.0, 0xFFFFE0C0u}};
  // 66,660 words: large enough for the tables; odd width and height so the
  // half-size path repeats its last half column and row.
  Image in(301, 219, 3);
  kvfx_test::fill_random_premultiplied(in.words, 17);
  for (const Case& c : cases) {
    const std::vector<uint32_t> want = reference_bloom(in, c);
    kvfx_test::for_each_level([&] {
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

// The bright rows estimate in floats where they can and take the tables
// elsewhere: every colour, at thresholds and tints that make the factor 1,
// the tint 1 and the denominator wide.
TEST(BloomTables, BrightRowsMatchBrightWordForEveryColour) {
  std::vector<uint32_t> in(1u << 24), want(in.size()), out(in.size());
  for (uint32_t k = 0; k < in.size(); ++k) in[k] = (k * 0x9E3779B1u >> 24) << 24 | k;
  struct Setting { double threshold; uint32_t tint; };
  for (const Setting& c : {Setting{0.7, 0xFFFFE0C0u}, Setting{0.0, 0xFFFFFFFFu},
                           Setting{-1.0, 0x00FF8001u}}) {
    const int32_t thr = kvfx::bloom_threshold(c.threshold);
    const double denom = kvfx::bloom_denominator(thr);
    const double tr = kvfx::red_of(c.tint) / 255.0, tg = kvfx::green_of(c.tint) / 255.0,
                 tb = kvfx::blue_of(c.tint) / 255.0;
    for (size_t k = 0; k < in.size(); ++k)
      want[k] = kvfx::bloom_bright_word(in[k], thr, denom, tr, tg, tb);
    kvfx_test::for_each_level([&] {
      const kvfx::BrightPass bright(c.threshold, c.tint, static_cast<int64_t>(in.size()));
      bright.row(in.data(), out.data(), static_cast<int32_t>(in.size()));
      const auto bad = std::mismatch(want.begin(), want.end(), out.begin()).first;
      ASSERT_TRUE(bad == want.end()) << "threshold " << c.threshold << " word " << std::hex
                                     << in[static_cast<size_t>(bad - want.begin())];
    });
  }
}

// The screen rows estimate in floats where they can, with the glow's zero
// channels, the source's full ones and the unsure bytes by the table: every
// (source, glow) pair of channel bytes at each intensity, every level.
TEST(BloomTables, ScreenRowsMatchScreenWordForEveryPair) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  std::vector<uint32_t> source(65536), glow(65536);
  for (uint32_t k = 0; k < 65536; ++k) {
    const uint32_t sc = k & 0xFF, bc = k >> 8;
    source[k] = (k * 31 & 0xFF) << 24 | sc << 16 | (255 - sc) << 8 | (sc ^ 0x5A);
    glow[k] = (k * 17 & 0xFF) << 24 | bc << 16 | bc << 8 | (k % 3 ? 255 - bc : 0);
  }
  for (double intensity : {0.8, 1.0, 2.5, -1.0, 0.0, 16.0, 17.0, 1e-3, kNaN}) {
    kvfx_test::for_each_level([&] {
      const kvfx::ScreenBlend screen(intensity, kvfx::kTableEntries);
      std::vector<uint32_t> row = source;
      screen.blend_row(row.data(), glow.data(), static_cast<int32_t>(row.size()));
      for (size_t k = 0; k < row.size(); ++k)
        ASSERT_EQ(row[k], kvfx::screen_word(source[k], glow[k], intensity))
            << "intensity " << intensity << " word " << k;
    });
  }
}

// The half-size means at every level and many lengths, with words whose
// four channels sum to the largest totals.
TEST(BloomTables, DownsampleRowsMatchTheWordForm) {
  std::vector<uint32_t> b0(2 * 70), b1(2 * 70), got(70);
  kvfx_test::fill_random_premultiplied(b0, 5);
  kvfx_test::fill_random_premultiplied(b1, 6);
  for (size_t k = 0; k < b0.size(); k += 3) b0[k] = b1[k] = 0xFFFFFFFFu;
  for (size_t k = 1; k < b0.size(); k += 7) b0[k] = 0xFFFEFDFCu;
  kvfx_test::for_each_level([&] {
    for (int32_t hw : {1, 7, 8, 9, 16, 23, 70}) {
      std::fill(got.begin(), got.end(), 0u);
      kvfx::bloom_downsample_row(b0.data(), b1.data(), got.data(), hw);
      for (int32_t x = 0; x < hw; ++x)
        ASSERT_EQ(got[x], kvfx::bloom_downsample_word(b0[2 * x], b0[2 * x + 1], b1[2 * x],
                                                      b1[2 * x + 1]))
            << "hw " << hw << " x " << x;
      for (int32_t x = hw; x < 70; ++x) ASSERT_EQ(got[x], 0u) << "hw " << hw << " x " << x;
    }
  });
}

}  // namespace
