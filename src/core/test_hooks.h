// The library's only process-wide settings, there for its own tests: a cap
// on the vector level the effects may use, and an allocation-failure
// countdown. Neither is exported; a program that never calls these sees the
// CPU's best level and allocations that fail only when memory runs out.
// Tests set them through RAII guards (tests/support/hooks.h) so a failed
// assertion cannot leave them armed.
#pragma once

#include "core/cpu.h"

namespace kvfx {

// Caps the level used from now on (kAvx512 restores the CPU's best).
void limit_isa(Isa level);

// The next `n` scratch allocations succeed, the one after fails (negative:
// never fail).
void fail_scratch_allocation_after(int n);

}  // namespace kvfx
