/* A caller built as Microsoft's tools build one: the MSVC target, no C
 * runtime of its own, dllimport declarations, linked by an MSVC-compatible
 * linker against kelvo_fx.lib and kelvo_fx_parallel.lib. It knows nothing of GCC's exceptions, so one
 * escaping the DLL would end it at once. The exit code has one bit per
 * failed check. */
#include <stddef.h>
#include <stdint.h>

#include "kelvo_fx.h"
#include "kelvo_fx_parallel.h"

#define MEM_RESERVE 0x2000u
#define PAGE_NOACCESS 0x01u
__declspec(dllimport) void *__stdcall VirtualAlloc(void *address, size_t bytes,
                                                   unsigned long type,
                                                   unsigned long protect);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

/* The MSVC target references this marker from any code using floating point;
 * the C runtime this program does without would define it. */
int _fltused = 0;

void __cdecl entry(void) {
  uint32_t px[4] = {0xFF000000u, 0xFF808080u, 0x80404040u, 0xFFFFFFFFu};
  uint32_t *forbidden;
  unsigned failed = 0;
  if (kv_fx_tone_map_aces(px, 2, 2, 8, 1.0) != FX_OK) failed |= 1;
  if (px[0] != 0xFF000000u || px[2] >> 24 != 0x80 || px[1] == 0xFF808080u) failed |= 2;
  if (kv_fx_vignette(0, 2, 2, 8, 1.0, 0.5, 0.5, 0) != FX_ERR_INVALID_ARGUMENT) failed |= 4;
  if (kv_fx_gaussian_blur(px, 2, 2, 8, 1.5) != FX_OK) failed |= 8;
  if (kv_fx_parallel_gaussian_blur(px, 2, 2, 8, 1.5, 0) != FX_OK) failed |= 128;

  /* 2^23 x 2^23 pixels: a scratch image of 2^48 bytes, more than any
   * address space holds, so the allocation fails inside the DLL for real.
   * The pixels are a reserved page that faults on any access, so the call
   * must come back with the result code before it reads or writes one. */
  forbidden = (uint32_t *)VirtualAlloc(0, 65536, MEM_RESERVE, PAGE_NOACCESS);
  if (!forbidden) {
    failed |= 16;
  } else {
    /* in place, a shadow blurred past the 32-bit sums: its blur copies the
     * whole image first */
    if (kv_fx_drop_shadow(forbidden, forbidden, 1 << 23, 1 << 23, 1 << 25, 1.0, 1.0, 1e8,
                          0xFF000000u) != FX_ERR_OUT_OF_MEMORY)
      failed |= 32;
    /* a radius past the 32-bit sums: the whole image is copied first */
    if (kv_fx_gaussian_blur(forbidden, 1 << 23, 1 << 23, 1 << 25, 1e8) != FX_ERR_OUT_OF_MEMORY)
      failed |= 64;
    /* the same through the parallel library, on every thread it may start */
    if (kv_fx_parallel_gaussian_blur(forbidden, 1 << 23, 1 << 23, 1 << 25, 1e8, 0) !=
        FX_ERR_OUT_OF_MEMORY)
      failed |= 256;
  }
  ExitProcess(failed);
}
