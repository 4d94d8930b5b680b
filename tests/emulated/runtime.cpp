// What the freestanding checks need around them: output on the serial port,
// the memory functions the compiler calls, an exception report, and stubs
// for the library's hosted pieces (allocation, exceptions, the level
// switch), which the kernels under test never reach.
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>

#include "core/cpu.h"

namespace {

inline void outb(uint16_t port, uint8_t v) { asm volatile("outb %0, %1" : : "a"(v), "Nd"(port)); }
inline uint8_t inb(uint16_t port) {
  uint8_t v;
  asm volatile("inb %1, %0" : "=a"(v) : "Nd"(port));
  return v;
}

void put(char c) {
  for (int i = 0; i < 100000 && !(inb(0x3FD) & 0x20); ++i) {
  }
  outb(0x3F8, static_cast<uint8_t>(c));
}

void flush_serial() {
  for (int i = 0; i < 1000000 && !(inb(0x3FD) & 0x40); ++i) {
  }
}

}  // namespace

extern "C" void test_print(const char* s) {
  while (*s) put(*s++);
}

extern "C" void test_print_u64(uint64_t v) {
  char b[24];
  int n = 0;
  do {
    b[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  while (n) put(b[--n]);
}

namespace {

[[noreturn]] void finish(uint64_t status) {
  test_print("\n@@END@@ status=");
  test_print_u64(status);
  test_print("\n\n\n");
  flush_serial();
  for (;;) asm volatile("cli; hlt");
}

[[noreturn]] void unreachable_call(const char* what) {
  test_print("\nunexpected call: ");
  test_print(what);
  finish(98);
}

}  // namespace

extern "C" {

void* memcpy(void* d, const void* s, size_t n) {
  auto* a = static_cast<unsigned char*>(d);
  auto* b = static_cast<const unsigned char*>(s);
  for (size_t i = 0; i < n; ++i) a[i] = b[i];
  return d;
}

void* memmove(void* d, const void* s, size_t n) {
  auto* a = static_cast<unsigned char*>(d);
  auto* b = static_cast<const unsigned char*>(s);
  if (a < b)
    for (size_t i = 0; i < n; ++i) a[i] = b[i];
  else
    for (size_t i = n; i-- > 0;) a[i] = b[i];
  return d;
}

void* memset(void* d, int c, size_t n) {
  auto* a = static_cast<unsigned char*>(d);
  for (size_t i = 0; i < n; ++i) a[i] = static_cast<unsigned char>(c);
  return d;
}

int memcmp(const void* x, const void* y, size_t n) {
  auto* a = static_cast<const unsigned char*>(x);
  auto* b = static_cast<const unsigned char*>(y);
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return a[i] - b[i];
  return 0;
}

// The unsure words of a blend recompute the distance; any function that is
// the same for both levels compared will do.
double hypot(double x, double y) { return __builtin_sqrt(x * x + y * y); }

double nextafter(double x, double y) {
  if (x == y) return y;
  uint64_t b;
  __builtin_memcpy(&b, &x, 8);
  if (x == 0) {
    b = 1;
  } else if ((x < y) == (x > 0)) {
    ++b;
  } else {
    --b;
  }
  double r;
  __builtin_memcpy(&r, &b, 8);
  return x == 0 && y < 0 ? -r : r;
}

// Function-local statics: one thread, so a guard is a flag.
int __cxa_guard_acquire(uint64_t* guard) { return *reinterpret_cast<unsigned char*>(guard) == 0; }
void __cxa_guard_release(uint64_t* guard) { *reinterpret_cast<unsigned char*>(guard) = 1; }
void __cxa_guard_abort(uint64_t*) {}

void _Unwind_Resume(void*) { unreachable_call("_Unwind_Resume"); }
void* __cxa_allocate_exception(size_t) { unreachable_call("__cxa_allocate_exception"); }
void* __cxa_begin_catch(void*) { unreachable_call("__cxa_begin_catch"); }
void __cxa_end_catch() { unreachable_call("__cxa_end_catch"); }
void __cxa_rethrow() { unreachable_call("__cxa_rethrow"); }
void __cxa_throw(void*, void*, void (*)(void*)) { unreachable_call("__cxa_throw"); }
int __gxx_personality_v0() { unreachable_call("__gxx_personality_v0"); }

int test_main();
extern void (*__init_array_start[])();
extern void (*__init_array_end[])();
extern uint64_t fault_stubs[20];

void fault_handler(const uint64_t* frame) {
  test_print("\nfault: vector ");
  test_print_u64(frame[0]);
  test_print(", error ");
  test_print_u64(frame[1]);
  test_print(", at ");
  test_print_u64(frame[2]);
  finish(99);
}

}  // extern "C"

void* operator new(size_t) { unreachable_call("operator new"); }
void operator delete(void*) noexcept { unreachable_call("operator delete"); }
void operator delete(void*, size_t) noexcept { unreachable_call("operator delete"); }

namespace std {
exception::~exception() noexcept {}
const char* exception::what() const noexcept { return ""; }
bad_alloc::~bad_alloc() noexcept {}
const char* bad_alloc::what() const noexcept { return ""; }
void __throw_length_error(const char*) { unreachable_call("__throw_length_error"); }
}  // namespace std

namespace __cxxabiv1 {
struct __class_type_info {
  virtual ~__class_type_info();
};
__class_type_info::~__class_type_info() {}
struct __si_class_type_info {
  virtual ~__si_class_type_info();
};
__si_class_type_info::~__si_class_type_info() {}
}  // namespace __cxxabiv1

namespace kvfx {
Level active_level() { return Level::kAvx512; }
Level level_below(Level) { return Level::kAvx2; }
void* allocate_bytes(unsigned long, bool) { unreachable_call("allocate_bytes"); }
void release_bytes(void*) { unreachable_call("release_bytes"); }
void apply_channel_tables(unsigned int*, long, const std::array<unsigned char, 256>&,
                          const std::array<unsigned char, 256>&,
                          const std::array<unsigned char, 256>&) {
  unreachable_call("apply_channel_tables");
}
}  // namespace kvfx

namespace {

struct __attribute__((packed)) Gate {
  uint16_t offset0, selector;
  uint8_t ist, type;
  uint16_t offset1;
  uint32_t offset2, zero;
};
struct __attribute__((packed)) Table {
  uint16_t limit;
  uint64_t base;
};
Gate gates[32];

}  // namespace

extern "C" void boot_main() {
  // The serial port as 8 data bits, no parity, one stop bit.
  outb(0x3F9, 0x00);
  outb(0x3FB, 0x80);
  outb(0x3F8, 0x01);
  outb(0x3F9, 0x00);
  outb(0x3FB, 0x03);
  outb(0x3FA, 0xC7);
  outb(0x3FC, 0x0B);
  for (int i = 0; i < 20; ++i) {
    const uint64_t a = fault_stubs[i];
    gates[i] = {static_cast<uint16_t>(a), 0x08, 0, 0x8E, static_cast<uint16_t>(a >> 16),
                static_cast<uint32_t>(a >> 32), 0};
  }
  const Table t = {sizeof(gates) - 1, reinterpret_cast<uint64_t>(gates)};
  asm volatile("lidt %0" : : "m"(t));
  uint32_t a, b, c, d;
  asm volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(7), "c"(0));
  if (!((b >> 16) & 1) || !((b >> 30) & 1) || !((b >> 31) & 1) || !((c >> 1) & 1)) {
    test_print("the emulated CPU lacks AVX-512 F, BW, VL or VBMI");
    finish(97);
  }
  test_print("\n@@BEGIN@@\n");
  for (auto* f = __init_array_start; f != __init_array_end; ++f) (*f)();
  finish(static_cast<uint64_t>(test_main()));
}
