#include "core/scratch.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace kvfx {
namespace {

std::atomic<int> g_allocations_until_failure{-1};

bool injected_failure() {
  int n = g_allocations_until_failure.load(std::memory_order_relaxed);
  if (n < 0) return false;
  // Only tests arm the hook; they do not race allocations against each other.
  g_allocations_until_failure.store(n == 0 ? -1 : n - 1,
                                    std::memory_order_relaxed);
  return n == 0;
}

uint32_t* allocate(int64_t count, bool zero) {
  if (count < 0 || static_cast<uint64_t>(count) > SIZE_MAX / sizeof(uint32_t))
    throw std::bad_alloc();
  if (injected_failure()) throw std::bad_alloc();
  if (count == 0) return nullptr;
  size_t n = static_cast<size_t>(count);
  // calloc hands out fresh zero pages untouched, which is cheaper than
  // allocating and then clearing them.
  void* p = zero ? std::calloc(n, sizeof(uint32_t))
                 : std::malloc(n * sizeof(uint32_t));
  if (!p) throw std::bad_alloc();
  return static_cast<uint32_t*>(p);
}

}  // namespace

void fail_scratch_allocation_after(int n) {
  g_allocations_until_failure.store(n, std::memory_order_relaxed);
}

ScratchImage::~ScratchImage() { std::free(words_); }

ScratchImage::ScratchImage(ScratchImage&& other) noexcept
    : words_(std::exchange(other.words_, nullptr)),
      count_(std::exchange(other.count_, 0)) {}

ScratchImage& ScratchImage::operator=(ScratchImage&& other) noexcept {
  if (this != &other) {
    std::free(words_);
    words_ = std::exchange(other.words_, nullptr);
    count_ = std::exchange(other.count_, 0);
  }
  return *this;
}

ScratchImage ScratchImage::zeroed(int64_t count) {
  ScratchImage s;
  s.words_ = allocate(count, true);
  s.count_ = count;
  return s;
}

ScratchImage ScratchImage::uninitialised(int64_t count) {
  ScratchImage s;
  s.words_ = allocate(count, false);
  s.count_ = count;
  return s;
}

ScratchImage ScratchImage::copy_of(const uint32_t* src, int64_t count) {
  ScratchImage s = uninitialised(count);
  if (count > 0)
    std::memcpy(s.words_, src, static_cast<size_t>(count) * sizeof(uint32_t));
  return s;
}

}  // namespace kvfx
