/* A plain C99 host: includes the public headers, links both shared libraries
 * and makes a few calls, checking the result codes. */
#include <stdio.h>
#include <string.h>

#include "kelvo_fx.h"
#include "kelvo_fx_parallel.h"

static int failures = 0;

static void expect(int cond, const char *what) {
  if (!cond) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

int main(void) {
  uint32_t px[16 * 16];
  uint32_t copy[16 * 16];
  size_t i;
  for (i = 0; i < 16 * 16; ++i) px[i] = 0xFF000000u | (uint32_t)(i * 2654435761u >> 8);
  memcpy(copy, px, sizeof px);

  expect(kv_fx_gaussian_blur(NULL, 16, 16, 64, 2.0) == FX_OK, "blur rejects NULL with FX_OK");
  expect(kv_fx_gaussian_blur(px, 16, 16, 64, 0.0) == FX_OK, "blur with sigma 0");
  expect(memcmp(px, copy, sizeof px) == 0, "sigma 0 leaves pixels unchanged");
  expect(kv_fx_gaussian_blur(px, 16, 16, 64, 2.0) == FX_OK, "blur sigma 2");
  expect(memcmp(px, copy, sizeof px) != 0, "blur changes a noisy image");
  expect(kv_fx_parallel_gaussian_blur(copy, 16, 16, 64, 2.0, 0) == FX_OK, "parallel blur");
  expect(memcmp(px, copy, sizeof px) == 0, "the parallel blur gives the core's words");
  expect(kv_fx_parallel_tone_map_aces(NULL, 16, 16, 64, 1.0, 2) == FX_ERR_INVALID_ARGUMENT,
         "parallel tone map refuses NULL");
  {
    char version[32];
    sprintf(version, "%d.%d.%d", KV_FX_VERSION_MAJOR, KV_FX_VERSION_MINOR, KV_FX_VERSION_PATCH);
    expect(strcmp(KV_FX_VERSION, version) == 0, "version string from its numbers");
    expect(KV_FX_VERSION_NUMBER ==
               KV_FX_VERSION_MAJOR * 10000 + KV_FX_VERSION_MINOR * 100 + KV_FX_VERSION_PATCH,
           "version number from its numbers");
  }
  expect(FX_ERR_INVALID_ARGUMENT == -1 && FX_ERR_OUT_OF_MEMORY == -2, "result codes");

  if (failures == 0) printf("c caller: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
