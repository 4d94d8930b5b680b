/* A program outside the source tree that only knows the installed package. */
#include <stdio.h>

#include <kelvo_fx.h>
#include <kelvo_fx_parallel.h>

int main(void) {
  uint32_t px[4] = {0xFF000000u, 0xFF808080u, 0x80404040u, 0xFFFFFFFFu};
  uint32_t twin[4] = {0xFF000000u, 0xFF808080u, 0x80404040u, 0xFFFFFFFFu};
  int32_t rc = kv_fx_tone_map_aces(px, 2, 2, 8, 1.0);
  int32_t twin_rc = kv_fx_parallel_tone_map_aces(twin, 2, 2, 8, 1.0, 0);
  if (twin_rc != rc || twin[1] != px[1] || twin[2] != px[2]) {
    fprintf(stderr, "consumer: the parallel library differs from the core\n");
    return 1;
  }
  if (rc != FX_OK || px[0] != 0xFF000000u || (px[2] >> 24) != 0x80 || px[1] == 0xFF808080u) {
    fprintf(stderr, "consumer: unexpected result %d %08x %08x\n", (int)rc, (unsigned)px[1], (unsigned)px[2]);
    return 1;
  }
  printf("consumer: kelvo_fx %s ok\n", KV_FX_VERSION);
  return 0;
}
