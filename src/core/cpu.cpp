#include "core/cpu.h"

#include <atomic>

#include "core/test_hooks.h"

namespace kvfx {
namespace {

struct Features {
  bool avx2 = false, avx512 = false, vbmi = false;
};

Features detect() {
  Features f;
#if KVFX_X86
  __builtin_cpu_init();
  f.avx2 = __builtin_cpu_supports("avx2");
  f.avx512 = f.avx2 && __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
  f.vbmi = f.avx512 && __builtin_cpu_supports("avx512vbmi");
#endif
  return f;
}

const Features& features() {
  static const Features f = detect();
  return f;
}

// -1: no level forced.
std::atomic<int> g_forced{-1};

}  // namespace

const char* level_name(Level level) {
  switch (level) {
    case Level::kPortable: return "portable";
    case Level::kAvx2: return "avx2";
    case Level::kAvx512: return "avx512";
    case Level::kNeon: return "neon";
    case Level::kSimd128: return "simd128";
  }
  return "?";
}

Level level_below(Level level) {
  return level == Level::kAvx512 ? Level::kAvx2 : Level::kPortable;
}

bool level_available(Level level) {
  switch (level) {
    case Level::kPortable: return true;
    case Level::kAvx2: return features().avx2;
    case Level::kAvx512: return features().avx512;
    case Level::kNeon: return KVFX_NEON != 0;
    case Level::kSimd128: return KVFX_SIMD128 != 0;
  }
  return false;
}

Level best_level() {
  static const Level best = [] {
    Level b = Level::kPortable;
    for (int i = 0; i < kLevelCount; ++i)
      if (level_available(static_cast<Level>(i))) b = static_cast<Level>(i);
    return b;
  }();
  return best;
}

Level active_level() {
  const int forced = g_forced.load(std::memory_order_relaxed);
  return forced < 0 ? best_level() : static_cast<Level>(forced);
}

bool cpu_has_avx512_vbmi() { return features().vbmi; }

bool force_level(Level level) {
  if (!level_available(level)) return false;
  g_forced.store(static_cast<int>(level), std::memory_order_relaxed);
  return true;
}

void unforce_level() { g_forced.store(-1, std::memory_order_relaxed); }

}  // namespace kvfx
