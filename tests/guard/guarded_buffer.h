// Pixel buffers fenced by inaccessible pages: a read or write one word past
// the fence faults at once, so a test that survives has stayed inside.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace kvfx_test {

enum class Fence {
  kAfter,   // the last word ends exactly where an inaccessible page begins
  kBefore,  // the first word starts exactly where an inaccessible page ends
};

// The three page operations the fences need, on whichever call the system
// has: mmap and mprotect, or VirtualAlloc and VirtualProtect.
namespace pages {

#if defined(_WIN32)
inline size_t size() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}
// `bytes` of fresh zero pages, readable and writable or not even readable;
// nullptr when the system has no room. Reserved and committed at once, but
// the system gives a committed page memory only when it is first touched.
inline void* map(size_t bytes, bool accessible) {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT,
                      accessible ? PAGE_READWRITE : PAGE_NOACCESS);
}
inline void forbid(void* p, size_t bytes) {
  DWORD old;
  if (!VirtualProtect(p, bytes, PAGE_NOACCESS, &old)) throw std::bad_alloc();
}
inline void unmap(void* p, size_t) { VirtualFree(p, 0, MEM_RELEASE); }
#else
inline size_t size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }
#ifdef MAP_NORESERVE
constexpr int kLazy = MAP_NORESERVE;
#else
constexpr int kLazy = 0;
#endif
inline void* map(size_t bytes, bool accessible) {
  void* p = mmap(nullptr, bytes, accessible ? PROT_READ | PROT_WRITE : PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | kLazy, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}
inline void forbid(void* p, size_t bytes) {
  if (mprotect(p, bytes, PROT_NONE) != 0) throw std::bad_alloc();
}
inline void unmap(void* p, size_t bytes) { munmap(p, bytes); }
#endif

}  // namespace pages

inline size_t page_size() { return pages::size(); }

// `words` words (at least one) whose one end touches an inaccessible page.
class GuardedBuffer {
 public:
  GuardedBuffer(size_t words, Fence fence) : words_(words) {
    const size_t page = page_size();
    const size_t bytes = words * sizeof(uint32_t);
    const size_t data_pages = (bytes + page - 1) / page;
    size_ = (data_pages + 1) * page;
    void* p = pages::map(size_, true);
    if (!p) throw std::bad_alloc();
    base_ = static_cast<unsigned char*>(p);
    if (fence == Fence::kAfter) {
      pages::forbid(base_ + data_pages * page, page);
      data_ = reinterpret_cast<uint32_t*>(base_ + data_pages * page - bytes);
    } else {
      pages::forbid(base_, page);
      data_ = reinterpret_cast<uint32_t*>(base_ + page);
    }
  }
  GuardedBuffer(const std::vector<uint32_t>& contents, Fence fence)
      : GuardedBuffer(contents.size(), fence) {
    std::memcpy(data_, contents.data(), contents.size() * sizeof(uint32_t));
  }
  ~GuardedBuffer() { pages::unmap(base_, size_); }
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
    void* p = pages::map(size_, false);
    if (!p) throw std::bad_alloc();
    base_ = static_cast<unsigned char*>(p);
  }
  ~NoAccess() { pages::unmap(base_, size_); }
  NoAccess(const NoAccess&) = delete;
  NoAccess& operator=(const NoAccess&) = delete;

  uint32_t* pixels() { return reinterpret_cast<uint32_t*>(base_ + size_ / 2); }

 private:
  unsigned char* base_ = nullptr;
  size_t size_ = 0;
};

// A large zeroed frame of which a test touches only a little: the system
// hands out pages as they are first written, so a frame far beyond the
// machine's memory can stand in for a huge image. Empty (data() is nullptr)
// when the system will not reserve that much.
class SparseFrame {
 public:
  explicit SparseFrame(size_t bytes) : size_(bytes), base_(pages::map(bytes, true)) {}
  ~SparseFrame() {
    if (base_) pages::unmap(base_, size_);
  }
  SparseFrame(const SparseFrame&) = delete;
  SparseFrame& operator=(const SparseFrame&) = delete;

  uint32_t* data() { return static_cast<uint32_t*>(base_); }

 private:
  size_t size_;
  void* base_;
};

}  // namespace kvfx_test
