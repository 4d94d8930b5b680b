// Vector intrinsics for the x86 fast paths, with the dispatch macros.
#pragma once

#include "core/cpu.h"

#if KVFX_X86
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 reports the intrinsics' own undefined-vector placeholders as
// (maybe) uninitialised once they are inlined into target-attributed
// functions.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#endif
