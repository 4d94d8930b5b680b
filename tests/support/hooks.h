// The library's test hooks (core/test_hooks.h) behind RAII guards, so a
// failed assertion cannot leave a level cap or an armed allocation failure
// behind for the tests that follow; and the loop that runs a test body at
// every vector level this CPU has.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>

#include "core/cpu.h"
#include "core/test_hooks.h"

namespace kvfx_test {

// Caps the vector level for the guard's lifetime.
class LevelCap {
 public:
  explicit LevelCap(kvfx::Isa level) { kvfx::limit_isa(level); }
  ~LevelCap() { kvfx::limit_isa(kvfx::Isa::kAvx512); }
  LevelCap(const LevelCap&) = delete;
  LevelCap& operator=(const LevelCap&) = delete;
};

// The next `n` scratch allocations succeed and the one after fails, until
// the guard goes.
class AllocationFailure {
 public:
  explicit AllocationFailure(int n) { kvfx::fail_scratch_allocation_after(n); }
  ~AllocationFailure() { kvfx::fail_scratch_allocation_after(-1); }
  AllocationFailure(const AllocationFailure&) = delete;
  AllocationFailure& operator=(const AllocationFailure&) = delete;
};

inline const char* level_name(kvfx::Isa level) {
  switch (level) {
    case kvfx::Isa::kPortable: return "portable";
    case kvfx::Isa::kAvx2: return "avx2";
    case kvfx::Isa::kAvx512: return "avx512";
  }
  return "?";
}

// Runs body() once per vector level this CPU has, each forced in turn. A
// level the CPU lacks is not run (it would silently run a lower one); the
// first test to meet it says so once.
template <class Body>
void for_each_level(Body body) {
  static bool reported = false;
  for (kvfx::Isa level : {kvfx::Isa::kPortable, kvfx::Isa::kAvx2, kvfx::Isa::kAvx512}) {
    if (static_cast<int>(level) > static_cast<int>(kvfx::best_isa())) {
      if (!reported) std::printf("[  LEVELS  ] %s skipped: this CPU lacks it\n", level_name(level));
      continue;
    }
    SCOPED_TRACE(testing::Message() << "level " << level_name(level));
    LevelCap cap(level);
    body();
  }
  reported = true;
}

}  // namespace kvfx_test
