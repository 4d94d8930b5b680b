// The blur's row kernels at every vector level against the plain formula:
// every window sum that can occur, converted, for every radius the 16-bit
// kernels serve, and whole blurs at the radii where the double product loses
// a level.
#include <gtest/gtest.h>

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
