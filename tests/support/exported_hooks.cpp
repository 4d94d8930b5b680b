// The allocation-failure hook made callable from outside: linked only into
// libkelvo_fx_hooked, a test build of the shared library with the same
// objects and SONAME. A test process that loads it first (the GStreamer
// elements' test links it; the Python tests load it by path) gets it in
// place of the shipped library wherever that is asked for by name, and can
// then make the library's next scratch allocation fail on demand instead of
// starving the whole process of memory.
#include "core/test_hooks.h"
#include "kelvo_fx.h"

extern "C" KV_FX_API void kv_fx_test_fail_allocation_after(int n) {
  kvfx::fail_scratch_allocation_after(n);
}
