// Each scratch allocation of each effect made to fail in turn: every failing
// call reports FX_ERR_OUT_OF_MEMORY with the caller's buffer as it was, and
// the first call that gets all its memory gives the normal result.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "core/scratch.h"
#include "kelvo_fx.h"
#include "support/image.h"

namespace {

// Disarms the hook however the test leaves the scope, so a failed assertion
// cannot make later tests' allocations fail.
struct AllocationFailureArmed {
  explicit AllocationFailureArmed(int n) { kvfx::fail_scratch_allocation_after(n); }
  ~AllocationFailureArmed() { kvfx::fail_scratch_allocation_after(-1); }
  AllocationFailureArmed(const AllocationFailureArmed&) = delete;
  AllocationFailureArmed& operator=(const AllocationFailureArmed&) = delete;
};

constexpr int32_t kW = 20, kH = 15, kRowPixels = 23, kStride = kRowPixels * 4;

struct AllocatingCall {
  const char* name;
  // Works on the caller's buffer (dst for drop shadow).
  std::function<int32_t(uint32_t*)> call;
  // Allocations the call must make, at least (a blur inside another effect
  // adds its own, whose failure must be noticed too).
  int min_allocations;
};

TEST(AllocationFailure, EveryScratchImageOfEveryEffect) {
  std::vector<uint32_t> src(size_t{kH} * kRowPixels);
  kvfx_test::fill_random_premultiplied(src, 77);
  const std::vector<AllocatingCall> calls = {
      {"gaussian_blur", [](uint32_t* p) { return kv_fx_gaussian_blur(p, kW, kH, kStride, 3.0); }, 1},
      {"bloom_full_size",
       [](uint32_t* p) { return kv_fx_bloom(p, kW, kH, kStride, 0.2, 1.2, 3.0, 0x00FFFFFFu); }, 2},
      {"bloom_half_size",
       [](uint32_t* p) { return kv_fx_bloom(p, kW, kH, kStride, 0.2, 1.2, 8.0, 0x00FFFFFFu); }, 2},
      {"bloom_unblurred",
       [](uint32_t* p) { return kv_fx_bloom(p, kW, kH, kStride, 0.2, 1.2, 0.0, 0x00FFFFFFu); }, 1},
      {"drop_shadow_blurred",
       [&](uint32_t* p) {
         return kv_fx_drop_shadow(src.data(), p, kW, kH, kStride, 2.0, 3.0, 2.5, 0xC0000000u);
       },
       2},
      {"drop_shadow_sharp",
       [&](uint32_t* p) {
         return kv_fx_drop_shadow(src.data(), p, kW, kH, kStride, 2.0, 3.0, 0.0, 0xC0000000u);
       },
       1},
      {"chromatic_aberration",
       [](uint32_t* p) { return kv_fx_chromatic_aberration(p, kW, kH, kStride, 4.0, 2.0, 0.3); }, 1},
      {"glitch_displacement",
       [](uint32_t* p) { return kv_fx_glitch_displacement(p, kW, kH, kStride, 4, 6, 5); }, 1},
  };
  std::vector<uint32_t> input(size_t{kH} * kRowPixels);
  kvfx_test::fill_random_premultiplied(input, 78);
  for (const AllocatingCall& c : calls) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> expected = input;
    ASSERT_EQ(c.call(expected.data()), FX_OK);
    ASSERT_NE(expected, input) << "the settings should change the image";
    int failures = 0;
    for (int n = 0; n < 16; ++n) {
      std::vector<uint32_t> buffer = input;
      int32_t rc;
      {
        AllocationFailureArmed armed(n);
        rc = c.call(buffer.data());
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
    EXPECT_GE(failures, c.min_allocations);
    EXPECT_LT(failures, 16) << "never succeeded";
  }
  EXPECT_EQ(src, [] {
    std::vector<uint32_t> v(size_t{kH} * kRowPixels);
    kvfx_test::fill_random_premultiplied(v, 77);
    return v;
  }()) << "drop shadow wrote to its source";
}

}  // namespace
