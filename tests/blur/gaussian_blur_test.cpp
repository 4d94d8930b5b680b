#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "blur/gaussian_blur.h"
#include "core/cpu.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "guard/guarded_buffer.h"
#include "kelvo_fx.h"
#include "support/image.h"
#include "support/hooks.h"
#include "support/reference.h"

using kvfx_test::argb;
using kvfx_test::Image;

namespace {

// The blur built from the brute-force window sum, one output at a time.
void reference_blur(Image& img, double sigma) {
  kvfx_test::reference_blur(img.data(), img.width, img.height, img.row_pixels, sigma);
}

uint32_t uniform(uint32_t v) { return argb(v, v, v, v); }

TEST(GaussianBlurPlan, WorkedExamples) {
  struct Case {
    double sigma;
    int w0, w1, w2;
  } cases[] = {{0.5, 1, 1, 1},    {1, 1, 1, 3},     {2, 3, 3, 5},
               {2.5, 5, 5, 5},    {10, 19, 19, 21}, {25, 49, 49, 51},
               {0.577, 1, 1, 1}};
  for (const Case& c : cases) {
    kvfx::BoxPlan p = kvfx::box_sizes_for_gaussian(c.sigma);
    EXPECT_EQ(p.width[0], c.w0) << c.sigma;
    EXPECT_EQ(p.width[1], c.w1) << c.sigma;
    EXPECT_EQ(p.width[2], c.w2) << c.sigma;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(p.radius[i], (p.width[i] - 1) / 2);
  }
}

TEST(GaussianBlurPlan, UnusableSigmasGiveNoPass) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double s : {std::nan(""), inf, 1073741824.0, 1e10, 1e300}) {
    kvfx::BoxPlan p = kvfx::box_sizes_for_gaussian(s);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(p.radius[i], 0) << s;
  }
  // Just below the limit the plan is still an ordinary one.
  kvfx::BoxPlan p = kvfx::box_sizes_for_gaussian(1e9);
  EXPECT_GT(p.radius[2], 900000000);
}

TEST(GaussianBlurLine, WorkedExamples) {
  // One channel per example, repeated in all four so each is checked alike.
  Image a(5, 1), b(5, 1);
  const uint32_t in1[] = {10, 20, 30, 40, 50}, out1[] = {13, 20, 30, 40, 46};
  for (int x = 0; x < 5; ++x) a.at(x, 0) = uniform(in1[x]);
  kvfx_test::box_blur_horizontal(a.data(), b.data(), 5, 1, 5, 1);
  for (int x = 0; x < 5; ++x) EXPECT_EQ(b.at(x, 0), uniform(out1[x])) << x;

  const uint32_t in2[] = {255, 0, 0, 0, 0}, out2[] = {153, 102, 51, 0, 0};
  for (int x = 0; x < 5; ++x) a.at(x, 0) = uniform(in2[x]);
  kvfx_test::box_blur_horizontal(a.data(), b.data(), 5, 1, 5, 2);
  for (int x = 0; x < 5; ++x) EXPECT_EQ(b.at(x, 0), uniform(out2[x])) << x;

  // The same line as a column.
  Image c(1, 5), d(1, 5);
  for (int y = 0; y < 5; ++y) c.at(0, y) = uniform(in2[y]);
  kvfx_test::box_blur_vertical(c.data(), d.data(), 1, 5, 1, 2);
  for (int y = 0; y < 5; ++y) EXPECT_EQ(d.at(0, y), uniform(out2[y])) << y;
}

TEST(GaussianBlur, UniformImages) {
  for (uint32_t v : {1u, 37u, 128u, 255u}) {
    for (double sigma : {2.5, 10.0}) {
      Image img(41, 45, 0, uniform(v));
      kv_fx_gaussian_blur(img.data(), img.width, img.height, img.stride(), sigma);
      for (uint32_t w : img.words) ASSERT_EQ(w, uniform(v)) << v << " " << sigma;
    }
  }
  // Radius 24 loses one level per half-pass for some values.
  Image white(51, 51, 0, uniform(255)), one(51, 51, 0, uniform(1));
  kv_fx_gaussian_blur(white.data(), 51, 51, white.stride(), 25.0);
  kv_fx_gaussian_blur(one.data(), 51, 51, one.stride(), 25.0);
  for (uint32_t w : white.words) ASSERT_EQ(w, uniform(251));
  for (uint32_t w : one.words) ASSERT_EQ(w, 0u);
}

TEST(GaussianBlur, MatchesBruteForceOnRandomImages) {
  std::mt19937 rng(7);
  const double sigmas[] = {0.8, 1.0, 1.7, 2.0, 3.3, 6.0, 10.0};
  for (int iter = 0; iter < 60; ++iter) {
    // Small sizes on purpose: many lines are shorter than a box.
    const int w = 1 + static_cast<int>(rng() % 40);
    const int h = 1 + static_cast<int>(rng() % 40);
    const int pad = static_cast<int>(rng() % 3);
    const double sigma = sigmas[rng() % 7];
    Image img(w, h, pad);
    kvfx_test::fill_random(img.words, rng());
    Image expected = img;
    reference_blur(expected, sigma);
    ASSERT_EQ(kv_fx_gaussian_blur(img.data(), w, h, img.stride(), sigma), FX_OK);
    ASSERT_EQ(img.words, expected.words) << w << "x" << h << " pad " << pad << " sigma " << sigma;
  }
}

// Every vector level the CPU has gives the words of the brute-force sum, on
// widths that exercise vector bodies and every tail length.
TEST(GaussianBlur, EveryVectorLevelMatchesBruteForce) {
  std::mt19937 rng(21);
  kvfx_test::for_each_level([&] {
    for (int iter = 0; iter < 25; ++iter) {
      const int w = 1 + static_cast<int>(rng() % 97);
      const int h = 1 + static_cast<int>(rng() % 60);
      const int pad = static_cast<int>(rng() % 4);
      const double sigma = 0.6 + (rng() % 1000) / 80.0;
      Image img(w, h, pad);
      kvfx_test::fill_random(img.words, rng());
      Image expected = img;
      reference_blur(expected, sigma);
      kv_fx_gaussian_blur(img.data(), w, h, img.stride(), sigma);
      ASSERT_EQ(img.words, expected.words) << w << "x" << h << " sigma " << sigma;
    }
  });
}

// Input rows served from a copy, output rows kept; every request checked
// against the BlurRows rules and the band's reach.
class RecordedRows final : public kvfx::BlurRows {
 public:
  RecordedRows(const Image& in, int32_t first, int32_t last)
      : in_(in), out_(in.width, in.height), next_in_(first), last_in_(last) {}
  const uint32_t* input_row(int32_t y) override {
    EXPECT_EQ(y, next_in_++);
    EXPECT_LT(y, last_in_);
    const uint32_t* src = in_.words.data() + static_cast<size_t>(y) * in_.row_pixels;
    row_.assign(src, src + in_.width);
    return row_.data();  // valid until the next call only
  }
  uint32_t* output_row(int32_t j) override { return &out_.at(0, j); }
  void row_done(int32_t j) override {
    EXPECT_LT(j, next_in_);  // every input row up to j was read
    done_.push_back(j);
  }
  const Image& out() const { return out_; }
  const std::vector<int32_t>& done() const { return done_; }

 private:
  const Image& in_;
  Image out_;
  std::vector<uint32_t> row_;
  std::vector<int32_t> done_;
  int32_t next_in_, last_in_;
};

// A band of output rows is the whole image's rows, bit for bit, reading only
// rows within blur_reach of it: heights and bands around whole strips of
// rows, radii of each division form, at every level.
TEST(GaussianBlur, BandsGiveTheWholeImagesRows) {
  std::mt19937 rng(41);
  kvfx_test::for_each_level([&] {
    for (double sigma : {1.0, 2.5, 6.0, 25.0, 60.0}) {
      for (int32_t h : {1, 7, 8, 9, 23, 64, 77}) {
        const int32_t w = 1 + static_cast<int32_t>(rng() % 70);
        Image img(w, h);
        kvfx_test::fill_random(img.words, rng());
        Image whole = img;
        kvfx::gaussian_blur_in_place(whole.data(), w, h, whole.row_pixels, sigma);
        const int32_t reach = kvfx::blur_reach(sigma);
        for (int cut = 0; cut < 4; ++cut) {
          int32_t begin = static_cast<int32_t>(rng() % h), end = static_cast<int32_t>(rng() % h);
          if (begin > end) std::swap(begin, end);
          ++end;
          kvfx::BlurBand band(w, h, sigma, begin, end);
          EXPECT_LE(begin - band.input_begin(), reach);
          EXPECT_LE(band.input_end() - end, reach);
          RecordedRows rows(img, band.input_begin(), band.input_end());
          band.run(rows);
          ASSERT_EQ(rows.done().size(), static_cast<size_t>(end - begin));
          for (int32_t j = begin; j < end; ++j) {
            ASSERT_EQ(rows.done()[j - begin], j);
            for (int32_t x = 0; x < w; ++x)
              ASSERT_EQ(rows.out().at(x, j), whole.at(x, j))
                  << w << "x" << h << " sigma " << sigma << " band " << begin << ".." << end
                  << " at " << x << "," << j;
          }
        }
      }
    }
  });
}

// As many row bands as asked for, one after the other.
class BandsRunner final : public kvfx::Runner {
 public:
  explicit BandsRunner(int bands) : bands_(bands) {}
  int lanes() const override { return bands_; }
  int64_t piece_words() const override { return 1; }
  void run(int pieces, const kvfx::PieceTask& task) override {
    for (int i = 0; i < pieces; ++i) task(i);
  }

 private:
  int bands_;
};

// Column stripes (and stripes within row bands) give the unstriped words and
// leave the padding alone: stripes at their narrowest (twice the reach) and
// wider, uneven widths, and the count chosen for a wide image (0), checked
// there against the brute-force sum.
TEST(GaussianBlur, ColumnStripesGiveTheUnstripedWords) {
  struct Case {
    int32_t w, h, pad;
    double sigma;
    int stripes, bands;
  } cases[] = {{8, 9, 0, 2.0, 2, 1},     {8, 9, 1, 2.0, 5, 1},     {9, 17, 3, 2.0, 2, 1},
               {61, 23, 2, 2.5, 3, 1},   {61, 23, 0, 2.5, 7, 3},   {200, 40, 1, 6.0, 3, 2},
               {130, 33, 0, 10.0, 2, 1}, {257, 19, 5, 1.0, 9, 4},  {300, 70, 2, 25.0, 2, 3},
               {4096, 24, 3, 2.0, 0, 1}, {4000, 30, 0, 5.0, 0, 2}};
  std::mt19937 rng(43);
  kvfx_test::for_each_level([&] {
    for (const Case& c : cases) {
      Image img(c.w, c.h, c.pad);
      kvfx_test::fill_random(img.words, rng());
      Image expected = img;
      if (c.stripes == 0) {
        reference_blur(expected, c.sigma);
      } else {
        kvfx::SerialRunner serial;
        kvfx::gaussian_blur_in_place(expected.data(), c.w, c.h, expected.row_pixels, c.sigma,
                                     serial, 1);
      }
      BandsRunner bands(c.bands);
      kvfx::gaussian_blur_in_place(img.data(), c.w, c.h, img.row_pixels, c.sigma, bands,
                                   c.stripes);
      ASSERT_EQ(img.words, expected.words) << c.w << "x" << c.h << " sigma " << c.sigma << ", "
                                           << c.stripes << " stripes, " << c.bands << " bands";
    }
  });
}

TEST(GaussianBlur, CornerPixelSpreadsInwardAsIfEdgesRepeat) {
  Image img(30, 30);
  img.at(0, 0) = uniform(255);
  kv_fx_gaussian_blur(img.data(), 30, 30, img.stride(), 2.0);
  // Radii 1, 1, 2: nothing travels more than 4 pixels, and the edge repeats
  // the corner, so the corner keeps more than a quarter of an interior spot.
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 30; ++x)
      if (x > 4 || y > 4) {
        ASSERT_EQ(img.at(x, y), 0u) << x << "," << y;
      }
  EXPECT_GT(img.at(0, 0) & 0xFF, 40u);
  EXPECT_GE(img.at(0, 0) & 0xFF, img.at(1, 0) & 0xFF);
  EXPECT_EQ(img.at(1, 0), img.at(0, 1));
}

TEST(GaussianBlur, PaddingIsNeitherReadNorWritten) {
  Image plain(23, 17), padded(23, 17, 5);
  kvfx_test::fill_random(plain.words, 11);
  kvfx_test::fill_random(padded.words, 12);
  for (int y = 0; y < 17; ++y)
    for (int x = 0; x < 23; ++x) padded.at(x, y) = plain.at(x, y);
  const Image before = padded;
  kv_fx_gaussian_blur(plain.data(), 23, 17, plain.stride(), 3.0);
  kv_fx_gaussian_blur(padded.data(), 23, 17, padded.stride(), 3.0);
  for (int y = 0; y < 17; ++y) {
    for (int x = 0; x < 23; ++x) ASSERT_EQ(padded.at(x, y), plain.at(x, y));
    for (int x = 23; x < 28; ++x) ASSERT_EQ(padded.at(x, y), before.at(x, y));
  }
}

TEST(GaussianBlur, PremultipliedStaysPremultiplied) {
  for (double sigma : {1.0, 2.0, 4.5, 25.0}) {
    Image img(64, 48, 1);
    kvfx_test::fill_random_premultiplied(img.words, 99);
    kv_fx_gaussian_blur(img.data(), 64, 48, img.stride(), sigma);
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        const uint32_t w = img.at(x, y), a = kvfx::alpha_of(w);
        ASSERT_LE(kvfx::red_of(w), a);
        ASSERT_LE(kvfx::green_of(w), a);
        ASSERT_LE(kvfx::blue_of(w), a);
      }
  }
}

TEST(GaussianBlur, RejectedAndNoOpCallsTouchNothing) {
  Image img(8, 8, 1);
  kvfx_test::fill_random(img.words, 5);
  const Image before = img;
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(kv_fx_gaussian_blur(nullptr, 8, 8, 36, 2.0), FX_OK);
  EXPECT_EQ(kv_fx_gaussian_blur(img.data(), 0, 8, 36, 2.0), FX_OK);
  EXPECT_EQ(kv_fx_gaussian_blur(img.data(), 8, 0, 36, 2.0), FX_OK);
  EXPECT_EQ(kv_fx_gaussian_blur(img.data(), -1, 8, 36, 2.0), FX_OK);
  for (double sigma : {0.0, -3.0, 0.5, nan, inf, 1e300, 2e9})
    EXPECT_EQ(kv_fx_gaussian_blur(img.data(), 8, 8, 36, sigma), FX_OK) << sigma;
  // Strides whose rows would overlap, or run backwards.
  for (int stride : {0, 3, 4, 31, -4, -36, INT32_MIN})
    EXPECT_EQ(kv_fx_gaussian_blur(img.data(), 8, 8, stride, 2.0), FX_OK) << stride;
  EXPECT_EQ(img.words, before.words);
  // A stride that is not a multiple of 4 loses its remainder.
  Image a = img, b = img;
  kv_fx_gaussian_blur(a.data(), 8, 8, 36, 2.0);
  kv_fx_gaussian_blur(b.data(), 8, 8, 39, 2.0);
  EXPECT_EQ(a.words, b.words);
}

TEST(GaussianBlur, HugeSigmaOnTinyImagesFinishes) {
  // Radius about 1e9 on lines of one or two samples: the window is the end
  // samples repeated, and the cost must not grow with the radius.
  Image one(1, 1, 0, argb(200, 100, 50, 7));
  kv_fx_gaussian_blur(one.data(), 1, 1, 4, 1e9);
  const uint32_t w = one.words[0];
  EXPECT_GE(kvfx::alpha_of(w), 199u);
  EXPECT_GE(kvfx::red_of(w), 99u);
  EXPECT_GE(kvfx::green_of(w), 49u);
  EXPECT_GE(kvfx::blue_of(w), 6u);

  Image two(2, 1);
  two.at(0, 0) = uniform(0);
  two.at(1, 0) = uniform(200);
  kv_fx_gaussian_blur(two.data(), 2, 1, 8, 1e9);
  // Both ends count about equally in such a wide window.
  for (int x = 0; x < 2; ++x) {
    EXPECT_GE(two.at(x, 0) & 0xFF, 98u);
    EXPECT_LE(two.at(x, 0) & 0xFF, 101u);
  }
}

// A frame whose word count exceeds 2^31: a 32-bit height * row_pixels would
// wrap and the scratch image would come out far too small. Only one column is
// covered, so only a few hundred MB of the reservation are ever touched.
TEST(GaussianBlur, RunCountBeyond32Bits) {
  const int32_t height = 32769, row_pixels = 65536;
  const size_t bytes = size_t{4} * height * row_pixels;
  kvfx_test::SparseFrame frame(bytes);
  uint32_t* px = frame.data();
  if (!px) GTEST_SKIP() << "cannot reserve " << bytes << " bytes";
  for (int64_t y = 0; y < height; ++y) px[y * row_pixels] = (y % 7 == 0) ? uniform(255) : 0;
  const int32_t rc = kv_fx_gaussian_blur(px, 1, height, row_pixels * 4, 1.0);
  if (rc == FX_ERR_OUT_OF_MEMORY) GTEST_SKIP() << "scratch image too large for this machine";
  ASSERT_EQ(rc, FX_OK);
  // Radius 1 on a single column: trunc(sum of three / 3).
  EXPECT_EQ(px[0], uniform(170));  // 255, 255, 0 (edge repeated)
  EXPECT_EQ(px[7 * int64_t{row_pixels}], uniform(85));
  EXPECT_EQ(px[int64_t{height - 1} * row_pixels], uniform(85));  // 32767 is a multiple of 7
}

}  // namespace
