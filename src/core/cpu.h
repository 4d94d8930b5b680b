// Run-time choice between the portable code and the vector fast paths.
// Every fast path computes exactly what the portable code computes; tests
// force each level in turn and compare.
#pragma once

namespace kvfx {

enum class Isa { kPortable = 0, kAvx2 = 1, kAvx512 = 2 };

// The best level this CPU supports.
Isa best_isa();
// That level, or a lower one when a test has capped it (test_hooks.h).
Isa active_isa();

}  // namespace kvfx

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KVFX_X86 1
#define KVFX_TARGET_AVX2 __attribute__((target("avx2")))
#define KVFX_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx2,fma")))
#else
#define KVFX_X86 0
#endif
