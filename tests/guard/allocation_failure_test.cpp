// Each scratch allocation of each effect made to fail in turn, at every
// setting of the effect table: every failing call reports
// FX_ERR_OUT_OF_MEMORY with the caller's buffers as they were, and the first
// call that gets all its memory gives the normal result.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "guard/effect_table.h"
#include "kelvo_fx.h"
#include "support/hooks.h"
#include "support/image.h"

namespace {

constexpr int32_t kW = 20, kH = 15, kRowPixels = 23, kStride = kRowPixels * 4;

TEST(AllocationFailure, EveryScratchAllocationOfEveryEffect) {
  std::vector<uint32_t> src(size_t{kH} * kRowPixels);
  kvfx_test::fill_random_premultiplied(src, 77);
  const std::vector<uint32_t> src_before = src;
  std::vector<uint32_t> input(size_t{kH} * kRowPixels);
  kvfx_test::fill_random_premultiplied(input, 78);
  int allocating = 0;
  for (const kvfx_test::EffectCase& c : kvfx_test::all_effects()) {
    SCOPED_TRACE(c.name);
    // The drop shadow reads a separate source, which must stay as it is too.
    const uint32_t* source = c.effect->two_buffers ? src.data() : nullptr;
    auto call = [&](uint32_t* p) { return c.effect->call(p, kW, kH, kStride, c.args.data(), source); };
    std::vector<uint32_t> expected = input;
    ASSERT_EQ(call(expected.data()), FX_OK);
    int failures = 0;
    for (int n = 0; n < 16; ++n) {
      std::vector<uint32_t> buffer = input;
      int32_t rc;
      {
        kvfx_test::AllocationFailure armed(n);
        rc = call(buffer.data());
      }
      if (rc == FX_ERR_OUT_OF_MEMORY) {
        ++failures;
        ASSERT_EQ(buffer, input) << "allocation " << n << " failed after a write";
        continue;
      }
      ASSERT_EQ(rc, FX_OK) << "allocation " << n;
      EXPECT_EQ(buffer, expected) << "first successful call, n = " << n;
      break;
    }
    EXPECT_LT(failures, 16) << "never succeeded";
    allocating += failures > 0;
  }
  EXPECT_EQ(src, src_before) << "drop shadow wrote to its source";
  // The blurs, bloom, drop shadow, chromatic aberration and glitch allocate
  // at their usual settings; losing that would leave this test idle.
  EXPECT_GE(allocating, 12);
}

}  // namespace
