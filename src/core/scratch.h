// Scratch images: blocks of pixel words owned by one call.
//
// Allocation failure throws std::bad_alloc; the C boundary (boundary.h) turns
// it into FX_ERR_OUT_OF_MEMORY. Every effect makes its scratch images before it
// writes a caller pixel, so a failed call leaves the caller's buffer as it was.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvfx {

class ScratchImage {
 public:
  ScratchImage() = default;
  ~ScratchImage();
  ScratchImage(const ScratchImage&) = delete;
  ScratchImage& operator=(const ScratchImage&) = delete;
  ScratchImage(ScratchImage&& other) noexcept;
  ScratchImage& operator=(ScratchImage&& other) noexcept;

  // `count` words, all zero. Throws std::bad_alloc.
  static ScratchImage zeroed(int64_t count);
  // `count` words, contents unspecified. Throws std::bad_alloc.
  static ScratchImage uninitialised(int64_t count);
  // A word-for-word copy of src[0 .. count - 1]. Throws std::bad_alloc.
  static ScratchImage copy_of(const uint32_t* src, int64_t count);

  uint32_t* data() { return words_; }
  const uint32_t* data() const { return words_; }
  int64_t size() const { return count_; }

 private:
  uint32_t* words_ = nullptr;
  int64_t count_ = 0;
};

// Test hook: the next `n` scratch allocations succeed, the one after fails
// (negative: never fail). Process-wide; only tests set it.
void fail_scratch_allocation_after(int n);

}  // namespace kvfx
