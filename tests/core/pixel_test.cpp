// The core's shared conversions where a build replaces the plain cast.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "core/pixel.h"

namespace {

// truncate_small against the cast it stands for, over its whole range: every
// whole number, its neighbours and the halves between, then random floats.
TEST(TruncateSmall, MatchesTheCastBelowTwoToThe22) {
  const float limit = 4194304.0f;  // 2^22
  for (int32_t i = -4194303; i <= 4194303; ++i) {
    const float x = static_cast<float>(i);
    for (float v : {x, std::nextafter(x, -limit), std::nextafter(x, limit), x + 0.5f, x - 0.5f})
      if (std::fabs(v) < limit) {
        ASSERT_EQ(kvfx::truncate_small(v), static_cast<int32_t>(v)) << v;
      }
  }
  std::mt19937 rng(22);
  std::uniform_real_distribution<float> any(-limit, limit);
  for (int i = 0; i < 1000000; ++i) {
    const float v = any(rng);
    if (std::fabs(v) < limit) {
      ASSERT_EQ(kvfx::truncate_small(v), static_cast<int32_t>(v)) << v;
    }
  }
  for (float v : {0.0f, -0.0f, 1e-30f, -1e-30f, 0.999999f, -0.999999f})
    EXPECT_EQ(kvfx::truncate_small(v), static_cast<int32_t>(v)) << v;
}

}  // namespace
