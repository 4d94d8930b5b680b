/*
 * kelvo_fx_parallel.h - the effects of kelvo_fx.h, one frame cut over threads.
 *
 * Each function takes the arguments of its kelvo_fx.h namesake, in the same
 * order, followed by `threads`, and is indistinguishable from it for every
 * thread count: the same entry checks and result codes, the same words read,
 * written and left alone (padding included), the same result bits, and
 * caller buffers exactly as they were when the result is not FX_OK. Read
 * kelvo_fx.h for what each effect does.
 *
 * threads
 *   1 runs on the calling thread only. 0 or less uses as many threads as
 *   this process may run on (its CPU affinity and, on Linux, its cgroup's CPU
 *   quota). A larger count is capped at that number too, since more threads
 *   than CPUs only take turns. Work too small to pay for a thread (a frame of
 *   about 512 x 512 words or less) stays on the calling thread, and larger
 *   frames use no more threads than they have pieces of that size.
 *
 * Threads are started for a call and joined before it returns: nothing is
 * kept between calls, so a fork() between calls is safe, and nothing is left
 * to join when the library is unloaded. A thread that cannot be started (a
 * process at its thread limit) leaves its share to the threads that did
 * start, the calling thread at least: the result is the same, and FX_OK.
 *
 * Calls on distinct buffers may run concurrently, as with kelvo_fx.h; calls
 * on the same or overlapping buffers must not. The drop shadow in place
 * (dst == src) is split like any other call; a dst that overlaps src
 * otherwise runs on the calling thread.
 *
 * Link with -lkelvo_fx_parallel (pkg-config kelvo_fx_parallel; CMake
 * kelvo_fx::kelvo_fx_parallel). The library holds its own copy of the
 * effects: a program that calls only these functions needs no libkelvo_fx
 * (this header includes kelvo_fx.h for the result codes and the version).
 */
#ifndef KELVO_FX_PARALLEL_H
#define KELVO_FX_PARALLEL_H

#include <stdint.h>

#include "kelvo_fx.h"

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(KV_FX_PARALLEL_BUILDING)
#    define KV_FX_PARALLEL_API __declspec(dllexport)
#  else
#    define KV_FX_PARALLEL_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define KV_FX_PARALLEL_API __attribute__((visibility("default")))
#else
#  define KV_FX_PARALLEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

KV_FX_PARALLEL_API int32_t kv_fx_parallel_gaussian_blur(uint32_t *pixels, int32_t width,
                                                        int32_t height, int32_t stride,
                                                        double sigma, int32_t threads);

KV_FX_PARALLEL_API int32_t kv_fx_parallel_bloom(uint32_t *pixels, int32_t width,
                                                int32_t height, int32_t stride,
                                                double threshold, double intensity,
                                                double sigma, uint32_t tint,
                                                int32_t threads);

KV_FX_PARALLEL_API int32_t kv_fx_parallel_drop_shadow(const uint32_t *src, uint32_t *dst,
                                                      int32_t width, int32_t height,
                                                      int32_t stride, double offset_x,
                                                      double offset_y, double sigma,
                                                      uint32_t color, int32_t threads);

KV_FX_PARALLEL_API int32_t kv_fx_parallel_tone_map_aces(uint32_t *pixels, int32_t width,
                                                        int32_t height, int32_t stride,
                                                        double exposure, int32_t threads);

KV_FX_PARALLEL_API int32_t kv_fx_parallel_color_grade(uint32_t *pixels, int32_t width,
                                                      int32_t height, int32_t stride,
                                                      double brightness, double contrast,
                                                      double saturation, double gamma,
                                                      int32_t threads);

KV_FX_PARALLEL_API int32_t kv_fx_parallel_vignette(uint32_t *pixels, int32_t width,
                                                   int32_t height, int32_t stride,
                                                   double strength, double radius,
                                                   double softness, uint32_t color,
                                                   int32_t threads);

KV_FX_PARALLEL_API int32_t kv_fx_parallel_film_grain(uint32_t *pixels, int32_t width,
                                                     int32_t height, int32_t stride,
                                                     double amount, int32_t seed,
                                                     int32_t threads);

KV_FX_PARALLEL_API int32_t kv_fx_parallel_scanlines(uint32_t *pixels, int32_t width,
                                                    int32_t height, int32_t stride,
                                                    int32_t spacing, double intensity,
                                                    int32_t threads);

KV_FX_PARALLEL_API int32_t kv_fx_parallel_chromatic_aberration(uint32_t *pixels, int32_t width,
                                                               int32_t height, int32_t stride,
                                                               double strength_x,
                                                               double strength_y, double angle,
                                                               int32_t threads);

KV_FX_PARALLEL_API int32_t kv_fx_parallel_glitch_displacement(uint32_t *pixels, int32_t width,
                                                              int32_t height, int32_t stride,
                                                              int32_t band_count,
                                                              int32_t max_shift, int32_t seed,
                                                              int32_t threads);

#ifdef __cplusplus
}
#endif

#endif /* KELVO_FX_PARALLEL_H */
