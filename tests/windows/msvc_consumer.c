/* A caller built as Microsoft's tools build one: the MSVC target, no C
 * runtime of its own, dllimport declarations, linked by an MSVC-compatible
 * linker against kelvo_fx.lib. The exit code has one bit per failed check. */
#include <stdint.h>

#include "kelvo_fx.h"

__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

/* The MSVC target references this marker from any code using floating point;
 * the C runtime this program does without would define it. */
int _fltused = 0;

void __cdecl entry(void) {
  uint32_t px[4] = {0xFF000000u, 0xFF808080u, 0x80404040u, 0xFFFFFFFFu};
  unsigned failed = 0;
  if (kv_fx_tone_map_aces(px, 2, 2, 8, 1.0) != FX_OK) failed |= 1;
  if (px[0] != 0xFF000000u || px[2] >> 24 != 0x80 || px[1] == 0xFF808080u) failed |= 2;
  if (kv_fx_vignette(0, 2, 2, 8, 1.0, 0.5, 0.5, 0) != FX_ERR_INVALID_ARGUMENT) failed |= 4;
  if (kv_fx_gaussian_blur(px, 2, 2, 8, 1.5) != FX_OK) failed |= 8;
  ExitProcess(failed);
}
