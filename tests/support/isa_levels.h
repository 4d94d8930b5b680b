// Runs a test body once per vector level (portable, AVX2, AVX-512), each
// forced through limit_isa; the CPU's best level is restored afterwards even
// when an assertion returns early.
#pragma once

#include <gtest/gtest.h>

#include "core/cpu.h"

namespace kvfx_test {

class IsaLimit {
 public:
  explicit IsaLimit(kvfx::Isa level) { kvfx::limit_isa(level); }
  ~IsaLimit() { kvfx::limit_isa(kvfx::Isa::kAvx512); }
  IsaLimit(const IsaLimit&) = delete;
  IsaLimit& operator=(const IsaLimit&) = delete;
};

template <class Body>
void for_each_isa(Body body) {
  for (kvfx::Isa level : {kvfx::Isa::kPortable, kvfx::Isa::kAvx2, kvfx::Isa::kAvx512}) {
    SCOPED_TRACE(testing::Message() << "isa level " << static_cast<int>(level));
    IsaLimit limit(level);
    body();
  }
}

}  // namespace kvfx_test
