// The C boundary: no C++ exception ever reaches a C caller.
#pragma once

#include <cstdint>
#include <new>

#include "kelvo_fx.h"

namespace kvfx {

// Runs `body` (returning an int32_t result code) and turns an allocation
// failure, or anything else thrown, into FX_ERR_OUT_OF_MEMORY. Effects only
// throw while making scratch images, before any caller pixel is written.
template <class Body>
inline int32_t guarded(Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return FX_ERR_OUT_OF_MEMORY;
  }
}

}  // namespace kvfx
