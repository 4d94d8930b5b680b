#include "core/scratch.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "core/test_hooks.h"

namespace kvfx {
namespace {

std::atomic<int> g_allocations_until_failure{-1};

bool injected_failure() {
  int n = g_allocations_until_failure.load(std::memory_order_relaxed);
  if (n < 0) return false;
  // Only tests arm the hook; they do not race allocations against each other.
  g_allocations_until_failure.store(n == 0 ? -1 : n - 1, std::memory_order_relaxed);
  return n == 0;
}

}  // namespace

void fail_scratch_allocation_after(int n) {
  g_allocations_until_failure.store(n, std::memory_order_relaxed);
}

void* allocate_bytes(uint64_t bytes, bool zero) {
  if (bytes > SIZE_MAX) throw std::bad_alloc();
  if (injected_failure()) throw std::bad_alloc();
  if (bytes == 0) return nullptr;
  const size_t n = static_cast<size_t>(bytes);
  // calloc hands out fresh zero pages untouched, which is cheaper than
  // allocating and then clearing them.
  void* p = zero ? std::calloc(n, 1) : std::malloc(n);
  if (!p) throw std::bad_alloc();
  return p;
}

void release_bytes(void* p) noexcept { std::free(p); }

}  // namespace kvfx
