#include "core/cpu.h"

#include "core/test_hooks.h"

#include <atomic>

namespace kvfx {
namespace {

Isa detect() {
#if KVFX_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("fma"))
    return Isa::kAvx512;
  if (__builtin_cpu_supports("avx2")) return Isa::kAvx2;
#endif
  return Isa::kPortable;
}

std::atomic<int> g_limit{static_cast<int>(Isa::kAvx512)};

}  // namespace

Isa best_isa() {
  static const Isa best = detect();
  return best;
}

Isa active_isa() {
  const Isa best = best_isa();
  const int limit = g_limit.load(std::memory_order_relaxed);
  return static_cast<int>(best) < limit ? best : static_cast<Isa>(limit);
}

void limit_isa(Isa level) {
  g_limit.store(static_cast<int>(level), std::memory_order_relaxed);
}

}  // namespace kvfx
