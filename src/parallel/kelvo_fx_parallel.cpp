// The ten parallel exports: each effect's body, its pieces run on threads
// (thread_runner.h).
#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "color/color_effects.h"
#include "displace/displace_effects.h"
#include "kelvo_fx_parallel.h"
#include "parallel/thread_runner.h"

extern "C" {

KV_FX_PARALLEL_API int32_t kv_fx_parallel_gaussian_blur(uint32_t* pixels, int32_t width, int32_t height,
                                      int32_t stride, double sigma, int32_t threads) {
  kvfx::ThreadRunner runner(threads);
  return kvfx::gaussian_blur(pixels, width, height, stride, sigma, runner);
}

KV_FX_PARALLEL_API int32_t kv_fx_parallel_bloom(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                              double threshold, double intensity, double sigma, uint32_t tint, int32_t threads) {
  kvfx::ThreadRunner runner(threads);
  return kvfx::bloom(pixels, width, height, stride, threshold, intensity, sigma, tint, runner);
}

KV_FX_PARALLEL_API int32_t kv_fx_parallel_drop_shadow(const uint32_t* src, uint32_t* dst, int32_t width,
                                    int32_t height, int32_t stride, double offset_x,
                                    double offset_y, double sigma, uint32_t color, int32_t threads) {
  kvfx::ThreadRunner runner(threads);
  return kvfx::drop_shadow(src, dst, width, height, stride, offset_x, offset_y, sigma, color,
                           runner);
}

KV_FX_PARALLEL_API int32_t kv_fx_parallel_tone_map_aces(uint32_t* pixels, int32_t width, int32_t height,
                                      int32_t stride, double exposure, int32_t threads) {
  kvfx::ThreadRunner runner(threads);
  return kvfx::tone_map_aces(pixels, width, height, stride, exposure, runner);
}

KV_FX_PARALLEL_API int32_t kv_fx_parallel_color_grade(uint32_t* pixels, int32_t width, int32_t height,
                                    int32_t stride, double brightness, double contrast,
                                    double saturation, double gamma, int32_t threads) {
  kvfx::ThreadRunner runner(threads);
  return kvfx::color_grade(pixels, width, height, stride, brightness, contrast, saturation,
                           gamma, runner);
}

KV_FX_PARALLEL_API int32_t kv_fx_parallel_vignette(uint32_t* pixels, int32_t width, int32_t height,
                                 int32_t stride, double strength, double radius,
                                 double softness, uint32_t color, int32_t threads) {
  kvfx::ThreadRunner runner(threads);
  return kvfx::vignette(pixels, width, height, stride, strength, radius, softness, color,
                        runner);
}

KV_FX_PARALLEL_API int32_t kv_fx_parallel_film_grain(uint32_t* pixels, int32_t width, int32_t height,
                                   int32_t stride, double amount, int32_t seed, int32_t threads) {
  kvfx::ThreadRunner runner(threads);
  return kvfx::film_grain(pixels, width, height, stride, amount, seed, runner);
}

KV_FX_PARALLEL_API int32_t kv_fx_parallel_scanlines(uint32_t* pixels, int32_t width, int32_t height,
                                  int32_t stride, int32_t spacing, double intensity, int32_t threads) {
  kvfx::ThreadRunner runner(threads);
  return kvfx::scanlines(pixels, width, height, stride, spacing, intensity, runner);
}

KV_FX_PARALLEL_API int32_t kv_fx_parallel_chromatic_aberration(uint32_t* pixels, int32_t width, int32_t height,
                                             int32_t stride, double strength_x,
                                             double strength_y, double angle, int32_t threads) {
  kvfx::ThreadRunner runner(threads);
  return kvfx::chromatic_aberration(pixels, width, height, stride, strength_x, strength_y, angle,
                                    runner);
}

KV_FX_PARALLEL_API int32_t kv_fx_parallel_glitch_displacement(uint32_t* pixels, int32_t width, int32_t height,
                                            int32_t stride, int32_t band_count,
                                            int32_t max_shift, int32_t seed, int32_t threads) {
  kvfx::ThreadRunner runner(threads);
  return kvfx::glitch_displacement(pixels, width, height, stride, band_count, max_shift, seed,
                                   runner);
}

}  // extern "C"
