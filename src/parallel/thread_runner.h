// The parallel library's runner: a phase's pieces on threads started for
// the phase and joined before it ends. Nothing outlives a call, so there is
// no pool to survive fork(), to leak, or to join while a DLL unloads.
#pragma once

#include <cstdint>

#include "core/split.h"

namespace kvfx {

// How many CPUs this process may run on: its affinity mask and, on Linux,
// its cgroup's CPU quota (rounded up); at least 1.
int available_cpus();

class ThreadRunner final : public Runner {
 public:
  // `threads` as the parallel exports take it: 1 the calling thread only,
  // 0 or less as many as available_cpus(), more capped at that.
  explicit ThreadRunner(int32_t threads) : threads_(threads) {}

  int lanes() const override;
  int64_t piece_words() const override;
  // Runs every piece, on as many threads as it could start (the calling
  // thread among them); never throws.
  void run(int pieces, const PieceTask& task) override;

 private:
  int32_t threads_;
  mutable int lanes_ = 0;  // worked out on first use
};

}  // namespace kvfx
