// Vector levels: which kernels an effect runs. x86 levels are detected at
// run time; the arm64 NEON and WebAssembly SIMD128 levels are chosen when the
// library is compiled for those targets. Every level computes exactly what
// the portable code computes; tests force each level this CPU has in turn
// and compare.
//
// An effect keeps one kernel table, a pointer per level (nullptr where it
// has nothing of its own), and picks from it once per call: a level without
// kernels of its own runs those of the level below it. Adding a level means
// a name here, its detection, the level below it, and kernels in the tables
// of the effects it speeds up; no effect tests a level anywhere else.
#pragma once

#include <array>
#include <cstdint>

namespace kvfx {

enum class Level : uint8_t { kPortable, kAvx2, kAvx512, kNeon, kSimd128 };
constexpr int kLevelCount = 5;

const char* level_name(Level level);
// The level whose kernels run where `level` has none (portable for itself).
Level level_below(Level level);
// Compiled into this build and supported by this CPU.
bool level_available(Level level);
// The best available level.
Level best_level();
// The level effects use now: the best available, unless a test forces
// another available one (test_hooks.h).
Level active_level();

// CPU features that decide single kernels within a level.
bool cpu_has_avx512_vbmi();

template <class Kernels>
using KernelTable = std::array<const Kernels*, kLevelCount>;

// The kernels for `level`: its own, or those of the nearest level below it
// that has some (the portable entry is never null).
template <class Kernels>
const Kernels& pick(const KernelTable<Kernels>& table, Level level = active_level()) {
  while (!table[static_cast<int>(level)]) level = level_below(level);
  return *table[static_cast<int>(level)];
}

}  // namespace kvfx

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KVFX_X86 1
#define KVFX_TARGET_AVX2 __attribute__((target("avx2")))
#define KVFX_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx2,fma")))
#else
#define KVFX_X86 0
// Generic kernels still have x86 instances elsewhere; they are never picked.
#define KVFX_TARGET_AVX2
#define KVFX_TARGET_AVX512
#endif

#if defined(__aarch64__) && defined(__ARM_NEON)
#define KVFX_NEON 1
#else
#define KVFX_NEON 0
#endif

#if defined(__wasm_simd128__)
#define KVFX_SIMD128 1
#else
#define KVFX_SIMD128 0
#endif
