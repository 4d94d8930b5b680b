// The library's only process-wide settings, there for its own tests: a
// forced vector level, and an allocation-failure countdown. Neither is
// exported; a program that never calls these runs at the CPU's best level
// and sees allocations fail only when memory runs out. Tests set them through
// RAII guards (tests/support/hooks.h) so a failed assertion cannot leave them
// armed.
#pragma once

#include "core/cpu.h"

namespace kvfx {

// Makes every effect use `level` from now on. Returns false (and changes
// nothing) for a level this build or CPU does not have.
bool force_level(Level level);
// Back to the CPU's best level.
void unforce_level();

// The next `n` scratch allocations succeed, the one after fails (negative:
// never fail).
void fail_scratch_allocation_after(int n);

}  // namespace kvfx
