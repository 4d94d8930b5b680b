// Pixel buffers fenced by inaccessible pages: a read or write one word past
// the fence faults at once, so a test that survives has stayed inside.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace kvfx_test {

enum class Fence {
  kAfter,   // the last word ends exactly where a PROT_NONE page begins
  kBefore,  // the first word starts exactly where a PROT_NONE page ends
};

inline size_t page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// `words` words (at least one) whose one end touches a PROT_NONE page.
class GuardedBuffer {
 public:
  GuardedBuffer(size_t words, Fence fence) : words_(words) {
    const size_t page = page_size();
    const size_t bytes = words * sizeof(uint32_t);
    const size_t data_pages = (bytes + page - 1) / page;
    size_ = (data_pages + 1) * page;
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<unsigned char*>(p);
    if (fence == Fence::kAfter) {
      mprotect(base_ + data_pages * page, page, PROT_NONE);
      data_ = reinterpret_cast<uint32_t*>(base_ + data_pages * page - bytes);
    } else {
      mprotect(base_, page, PROT_NONE);
      data_ = reinterpret_cast<uint32_t*>(base_ + page);
    }
  }
  GuardedBuffer(const std::vector<uint32_t>& contents, Fence fence)
      : GuardedBuffer(contents.size(), fence) {
    std::memcpy(data_, contents.data(), contents.size() * sizeof(uint32_t));
  }
  ~GuardedBuffer() { munmap(base_, size_); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  uint32_t* data() { return data_; }
  size_t size() const { return words_; }
  std::vector<uint32_t> contents() const { return {data_, data_ + words_}; }

 private:
  unsigned char* base_ = nullptr;
  size_t size_ = 0;
  uint32_t* data_ = nullptr;
  size_t words_ = 0;
};

// A mapping nothing may touch, not even to read: a pointer into its middle
// stands for a buffer the library must leave alone.
class NoAccess {
 public:
  NoAccess() : size_(4 * page_size()) {
    void* p = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<unsigned char*>(p);
  }
  ~NoAccess() { munmap(base_, size_); }
  NoAccess(const NoAccess&) = delete;
  NoAccess& operator=(const NoAccess&) = delete;

  uint32_t* pixels() { return reinterpret_cast<uint32_t*>(base_ + size_ / 2); }

 private:
  unsigned char* base_ = nullptr;
  size_t size_ = 0;
};

}  // namespace kvfx_test
