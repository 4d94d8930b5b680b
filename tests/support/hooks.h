// The library's test hooks (core/test_hooks.h) behind RAII guards, so a
// failed assertion cannot leave a level cap or an armed allocation failure
// behind for the tests that follow; and the loop that runs a test body at
// every vector level this CPU has.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>

#include "core/cpu.h"
#include "core/test_hooks.h"
#include "parallel/test_hooks.h"

namespace kvfx_test {

// Forces a vector level for the guard's lifetime; the level must be one
// this build and CPU have.
class ForcedLevel {
 public:
  explicit ForcedLevel(kvfx::Level level) { EXPECT_TRUE(kvfx::force_level(level)); }
  ~ForcedLevel() { kvfx::unforce_level(); }
  ForcedLevel(const ForcedLevel&) = delete;
  ForcedLevel& operator=(const ForcedLevel&) = delete;
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

// The parallel exports as if on a machine with `cpus` CPUs and with every
// piece, however small, worth a thread: small test images are then cut as
// finely as their rows allow, and each thread gets its fixed share of the
// pieces, so they run on different threads.
class FineSplits {
 public:
  explicit FineSplits(int cpus = 64) {
    kvfx::pretend_cpus(cpus);
    kvfx::set_piece_words(1);
    kvfx::give_fixed_shares(true);
  }
  ~FineSplits() {
    kvfx::pretend_cpus(0);
    kvfx::set_piece_words(0);
    kvfx::give_fixed_shares(false);
  }
  FineSplits(const FineSplits&) = delete;
  FineSplits& operator=(const FineSplits&) = delete;
};

// Thread starts after the first `n` fail, until the guard goes.
class ThreadStartFailure {
 public:
  explicit ThreadStartFailure(int n) { kvfx::fail_thread_starts_after(n); }
  ~ThreadStartFailure() { kvfx::fail_thread_starts_after(-1); }
  ThreadStartFailure(const ThreadStartFailure&) = delete;
  ThreadStartFailure& operator=(const ThreadStartFailure&) = delete;
};

// Runs body() once per vector level this build and CPU have, each forced in
// turn. A level they lack is never run in its place (that would pass as a
// lower one): the first test to meet it says it was skipped, once.
template <class Body>
void for_each_level(Body body) {
  static bool reported = false;
  for (int i = 0; i < kvfx::kLevelCount; ++i) {
    const kvfx::Level level = static_cast<kvfx::Level>(i);
    if (!kvfx::level_available(level)) {
      if (!reported)
        std::printf("[  LEVELS  ] %s skipped: not in this build or CPU\n", kvfx::level_name(level));
      continue;
    }
    SCOPED_TRACE(testing::Message() << "level " << kvfx::level_name(level));
    ForcedLevel forced(level);
    body();
  }
  reported = true;
}

}  // namespace kvfx_test
