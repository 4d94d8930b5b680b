// Scratch memory: blocks owned by one call (images of pixel words, tables,
// per-row values).
//
// Allocation failure throws std::bad_alloc; the C boundary (boundary.h) turns
// it into FX_ERR_OUT_OF_MEMORY. Every effect makes its scratch memory before it
// writes a caller pixel, so a failed call leaves the caller's buffer as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace kvfx {

// `bytes` bytes, zeroed or not; nullptr for 0. Throws std::bad_alloc, also
// when the test hook says this allocation fails. Released by release_bytes.
void* allocate_bytes(uint64_t bytes, bool zero);
void release_bytes(void* p) noexcept;

// `count` elements of a trivially copyable T, freed with the array.
template <class T>
class ScratchArray {
  static_assert(std::is_trivially_copyable_v<T>, "scratch memory holds plain values");

 public:
  ScratchArray() = default;
  ~ScratchArray() { release_bytes(data_); }
  ScratchArray(const ScratchArray&) = delete;
  ScratchArray& operator=(const ScratchArray&) = delete;
  ScratchArray(ScratchArray&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), count_(std::exchange(o.count_, 0)) {}
  ScratchArray& operator=(ScratchArray&& o) noexcept {
    if (this != &o) {
      release_bytes(data_);
      data_ = std::exchange(o.data_, nullptr);
      count_ = std::exchange(o.count_, 0);
    }
    return *this;
  }

  // `count` elements, all zero bits. A negative count throws.
  static ScratchArray zeroed(int64_t count) { return make(count, true); }
  // `count` elements, contents unspecified.
  static ScratchArray uninitialised(int64_t count) { return make(count, false); }
  // A copy of src[0 .. count - 1].
  static ScratchArray copy_of(const T* src, int64_t count) {
    ScratchArray a = make(count, false);
    if (count > 0) std::memcpy(a.data_, src, static_cast<size_t>(count) * sizeof(T));
    return a;
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  int64_t size() const { return count_; }

 private:
  static ScratchArray make(int64_t count, bool zero) {
    ScratchArray a;
    if (count < 0 || static_cast<uint64_t>(count) > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    a.data_ = static_cast<T*>(allocate_bytes(static_cast<uint64_t>(count) * sizeof(T), zero));
    a.count_ = count;
    return a;
  }

  T* data_ = nullptr;
  int64_t count_ = 0;
};

// Pixel words with an image's row addressing (or a few rows of one).
using ScratchImage = ScratchArray<uint32_t>;

}  // namespace kvfx
