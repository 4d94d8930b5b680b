// The blur's row kernels at every vector level against the plain formula:
// every window sum that can occur, converted, for every radius the 16-bit
// kernels serve (by the column kernels and by the strip kernels), strips of
// every length, and whole blurs at the radii where the double product loses
// a level.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "blur/box_kernels.h"
#include "blur/gaussian_blur.h"
#include "core/cpu.h"
#include "kelvo_fx.h"
#include "support/image.h"
#include "support/hooks.h"
#include "support/reference.h"

namespace {

uint32_t expected_word(const uint32_t* s, double k) {
  uint32_t w = 0;
  for (int c = 0; c < 4; ++c) w |= kvfx::box_sum_to_byte(s[c], k) << (8 * c);
  return w;
}

// Every width up to 257 keeps its sums in 16 bits: a box that silently fell
// back to the wide kernels (say, a loss rule that stopped matching the double
// product) would still be exact, only several times slower.
TEST(BoxKernels, EveryWidthUpTo257RunsNarrow) {
  for (int32_t r = 1; r <= 128; ++r) EXPECT_TRUE(kvfx::box_scale_for(r).fits16) << "r " << r;
  EXPECT_FALSE(kvfx::box_scale_for(129).fits16);
}

// Every sum S in 0 .. 255 (2r + 1), built in the kernels' own column sums as
// a * 2r + b (a, b bytes), then converted by emit and by slide_and_emit.
TEST(BoxKernels, EverySumConvertsLikeTheDoubleProduct) {
  kvfx_test::for_each_level([&] {
    for (int32_t r = 1; r <= 128; ++r) {  // a * 2r + b reaches every sum up to here
      const kvfx::BoxScale scale = kvfx::box_scale_for(r);
      const kvfx::BoxKernels& kern = kvfx::box_kernels(scale);
      const uint32_t d = 2 * r + 1;
      std::vector<uint32_t> sums_wanted;
      for (uint32_t s = 0; s <= 255 * d; ++s) sums_wanted.push_back(s);
      while (sums_wanted.size() % 4) sums_wanted.push_back(0);
      const int32_t n = static_cast<int32_t>(sums_wanted.size() / 4);
      std::vector<uint32_t> rows_a(n), rows_b(n), zero(n, 0), out(n), out2(n);
      for (int32_t x = 0; x < n; ++x) {
        uint32_t wa = 0, wb = 0;
        for (int c = 0; c < 4; ++c) {
          const uint32_t s = sums_wanted[4 * x + c];
          const uint32_t a = std::min<uint32_t>(255, s / (d - 1));
          wa |= a << (8 * c);
          wb |= (s - a * (d - 1)) << (8 * c);
        }
        rows_a[x] = wa;
        rows_b[x] = wb;
      }
      std::vector<int32_t> block(4 * static_cast<size_t>(n), 0);
      kern.accumulate(block.data(), rows_a.data(), n, 2 * r);
      kern.accumulate(block.data(), rows_b.data(), n, 1);
      kern.emit(block.data(), out.data(), n, scale);
      kern.slide_and_emit(block.data(), zero.data(), zero.data(), out2.data(), n, scale);
      for (int32_t x = 0; x < n; ++x) {
        const uint32_t want = expected_word(&sums_wanted[4 * x], scale.k);
        ASSERT_EQ(out[x], want) << "r " << r << " word " << x;
        ASSERT_EQ(out2[x], want) << "r " << r << " word " << x;
      }
    }
  });
}

// Rows of every length around the vector widths, long and short against the
// radius, through the row function at each level.
TEST(BoxKernels, RowsMatchTheClampedWindow) {
  std::mt19937 rng(5);
  kvfx_test::for_each_level([&] {
    for (int32_t r : {1, 2, 3, 7, 24, 51, 128, 129, 300}) {
      const kvfx::BoxScale scale = kvfx::box_scale_for(r);
      const kvfx::BoxKernels& kern = kvfx::box_kernels(scale);
      for (int32_t n = 1; n <= 80; n += (n < 20 ? 1 : 7)) {
        const int32_t len = n + (r > 20 ? 2 * r : 0);
        std::vector<uint32_t> a(len), b(len);
        kvfx_test::fill_random(a, rng());
        std::vector<uint32_t> scratch(kvfx::box_row_scratch_words(len));
        kvfx::box_blur_row(kern, a.data(), b.data(), len, r, scale, scratch.data());
        for (int32_t j = 0; j < len; ++j)
          ASSERT_EQ(b[j], kvfx_test::box_blur_sample_reference(a.data(), 1, len, r, j))
              << "r " << r << " n " << len << " j " << j;
      }
    }
  });
}

// A row blurred along itself by the clamped window, from running sums.
std::vector<uint32_t> clamped_row(const uint32_t* a, int32_t n, int32_t r) {
  const double k = 1.0 / (2.0 * r + 1.0);
  std::vector<uint32_t> b(n);
  for (int c = 0; c < 4; ++c) {
    auto at = [&](int64_t i) { return int64_t{kvfx::lane(a[std::clamp<int64_t>(i, 0, n - 1)], c)}; };
    int64_t s = 0;
    for (int64_t t = -r; t <= r; ++t) s += at(t);
    for (int32_t j = 0; j < n; ++j) {
      b[j] |= kvfx::box_sum_to_byte(s, k) << (8 * c);
      s += at(j + r + 1) - at(j - r);
    }
  }
  return b;
}

// A strip of kStripRows rows through the level's strip kernel, rows apart
// by `stride` words; the words between rows must come through untouched.
std::vector<uint32_t> run_strip(kvfx::BoxStripKernel strip, const std::vector<uint32_t>& in,
                                int32_t n, int64_t stride, int32_t r) {
  const kvfx::BoxScale scale = kvfx::box_scale_for(r);
  std::vector<uint32_t> out(in.size(), 0xA5A5A5A5u);
  std::vector<uint32_t> scratch(kvfx::box_strip_scratch_words(n, r));
  strip(in.data(), stride, out.data(), stride, n, r, scale, scratch.data());
  for (size_t i = 0; i < out.size(); ++i) {
    if (static_cast<int64_t>(i % stride) >= n) {
      EXPECT_EQ(out[i], 0xA5A5A5A5u) << "word " << i;
    }
  }
  return out;
}

// Every window sum 0 .. 255 (2r + 1) through the strip kernels' division,
// for every radius they serve: byte lane l = 4i + c (row i, channel c) of
// word x ramps as min(255, 8l + x / d), so one window after the next grows by
// one and the lanes between them cover every sum.
TEST(BoxKernels, StripsDivideEverySumLikeTheDoubleProduct) {
  kvfx_test::for_each_level([&] {
    for (int32_t r = 1; r <= 128; ++r) {
      const kvfx::BoxScale scale = kvfx::box_scale_for(r);
      const kvfx::BoxStripKernel strip = kvfx::box_strip_kernel(scale);
      if (!strip) continue;
      const int32_t d = 2 * r + 1, n = 9 * d + 2 * r;
      std::vector<uint32_t> in(static_cast<size_t>(kvfx::kStripRows) * n);
      for (int i = 0; i < kvfx::kStripRows; ++i)
        for (int32_t x = 0; x < n; ++x) {
          uint32_t w = 0;
          for (int c = 0; c < 4; ++c)
            w |= std::min<uint32_t>(255, 8 * (4 * i + c) + x / d) << (8 * c);
          in[static_cast<size_t>(i) * n + x] = w;
        }
      const std::vector<uint32_t> out = run_strip(strip, in, n, n, r);
      for (int i = 0; i < kvfx::kStripRows; ++i) {
        const std::vector<uint32_t> want = clamped_row(&in[static_cast<size_t>(i) * n], n, r);
        for (int32_t x = 0; x < n; ++x)
          ASSERT_EQ(out[static_cast<size_t>(i) * n + x], want[x]) << "r " << r << " row " << i << " x " << x;
      }
    }
  });
}

// Strips of every length around the chunk and vector widths, short and long
// against the window, at radii of each division form (short, long, lossy by
// the sum, lossy by the quotient), rows apart by more than their length.
TEST(BoxKernels, StripsMatchTheClampedWindow) {
  std::mt19937 rng(31);
  kvfx_test::for_each_level([&] {
    for (int32_t r : {1, 2, 7, 8, 24, 50, 93, 101, 126, 128}) {
      const kvfx::BoxStripKernel strip = kvfx::box_strip_kernel(kvfx::box_scale_for(r));
      if (!strip) continue;
      for (int32_t n : {1, 2, 3, 4, 5, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 255, 300}) {
        const int64_t stride = n + static_cast<int64_t>(rng() % 5);
        std::vector<uint32_t> in(static_cast<size_t>(kvfx::kStripRows * stride));
        // Runs of equal words make exact multiples common.
        for (auto& w : in) w = (rng() % 3 == 0) ? 0xFFFFFFFFu : (rng() % 2 ? rng() : 0x01310A00u);
        const std::vector<uint32_t> out = run_strip(strip, in, n, stride, r);
        for (int i = 0; i < kvfx::kStripRows; ++i) {
          const std::vector<uint32_t> want = clamped_row(&in[i * stride], n, r);
          for (int32_t x = 0; x < n; ++x)
            ASSERT_EQ(out[i * stride + x], want[x]) << "r " << r << " n " << n << " row " << i << " x " << x;
        }
      }
    }
  });
}

// The radii whose double product loses a level at some multiple (24, 51, 53,
// 80, 93, 98, 118, 119, 124, 126): a whole-number sigma s runs radii s - 1,
// s - 1, s. Sigma 140 runs radii beyond the 16-bit kernels.
TEST(BoxKernels, LossyAndWideRadiiBlurLikeBruteForce) {
  std::mt19937 rng(8);
  kvfx_test::for_each_level([&] {
    for (double sigma : {25.0, 52.0, 54.0, 81.0, 94.0, 99.0, 119.0, 120.0, 125.0, 127.0, 140.0}) {
      for (auto [w, h] : {std::pair{263, 9}, std::pair{9, 263}}) {
        kvfx_test::Image img(w, h, 1);
        // Runs of equal words make exact multiples common.
        for (auto& word : img.words) word = (rng() % 4 == 0) ? 0xFFFFFFFFu : 0x01310A00u;
        kvfx_test::Image expected = img;
        kvfx_test::reference_blur(expected.data(), w, h, expected.row_pixels, sigma);
        kv_fx_gaussian_blur(img.data(), w, h, img.stride(), sigma);
        ASSERT_EQ(img.words, expected.words) << "sigma " << sigma << " " << w << "x" << h;
      }
    }
  });
}

}  // namespace
