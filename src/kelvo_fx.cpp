// The ten exports: each effect's body, its work done on the calling thread
// as one piece.
#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "color/color_effects.h"
#include "core/split.h"
#include "displace/displace_effects.h"
#include "kelvo_fx.h"

extern "C" {

KV_FX_API int32_t kv_fx_gaussian_blur(uint32_t* pixels, int32_t width, int32_t height,
                                      int32_t stride, double sigma) {
  kvfx::SerialRunner runner;
  return kvfx::gaussian_blur(pixels, width, height, stride, sigma, runner);
}

KV_FX_API int32_t kv_fx_bloom(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                              double threshold, double intensity, double sigma, uint32_t tint) {
  kvfx::SerialRunner runner;
  return kvfx::bloom(pixels, width, height, stride, threshold, intensity, sigma, tint, runner);
}

KV_FX_API int32_t kv_fx_drop_shadow(const uint32_t* src, uint32_t* dst, int32_t width,
                                    int32_t height, int32_t stride, double offset_x,
                                    double offset_y, double sigma, uint32_t color) {
  kvfx::SerialRunner runner;
  return kvfx::drop_shadow(src, dst, width, height, stride, offset_x, offset_y, sigma, color,
                           runner);
}

KV_FX_API int32_t kv_fx_tone_map_aces(uint32_t* pixels, int32_t width, int32_t height,
                                      int32_t stride, double exposure) {
  kvfx::SerialRunner runner;
  return kvfx::tone_map_aces(pixels, width, height, stride, exposure, runner);
}

KV_FX_API int32_t kv_fx_color_grade(uint32_t* pixels, int32_t width, int32_t height,
                                    int32_t stride, double brightness, double contrast,
                                    double saturation, double gamma) {
  kvfx::SerialRunner runner;
  return kvfx::color_grade(pixels, width, height, stride, brightness, contrast, saturation,
                           gamma, runner);
}

KV_FX_API int32_t kv_fx_vignette(uint32_t* pixels, int32_t width, int32_t height,
                                 int32_t stride, double strength, double radius,
                                 double softness, uint32_t color) {
  kvfx::SerialRunner runner;
  return kvfx::vignette(pixels, width, height, stride, strength, radius, softness, color,
                        runner);
}

KV_FX_API int32_t kv_fx_film_grain(uint32_t* pixels, int32_t width, int32_t height,
                                   int32_t stride, double amount, int32_t seed) {
  kvfx::SerialRunner runner;
  return kvfx::film_grain(pixels, width, height, stride, amount, seed, runner);
}

KV_FX_API int32_t kv_fx_scanlines(uint32_t* pixels, int32_t width, int32_t height,
                                  int32_t stride, int32_t spacing, double intensity) {
  kvfx::SerialRunner runner;
  return kvfx::scanlines(pixels, width, height, stride, spacing, intensity, runner);
}

KV_FX_API int32_t kv_fx_chromatic_aberration(uint32_t* pixels, int32_t width, int32_t height,
                                             int32_t stride, double strength_x,
                                             double strength_y, double angle) {
  kvfx::SerialRunner runner;
  return kvfx::chromatic_aberration(pixels, width, height, stride, strength_x, strength_y, angle,
                                    runner);
}

KV_FX_API int32_t kv_fx_glitch_displacement(uint32_t* pixels, int32_t width, int32_t height,
                                            int32_t stride, int32_t band_count,
                                            int32_t max_shift, int32_t seed) {
  kvfx::SerialRunner runner;
  return kvfx::glitch_displacement(pixels, width, height, stride, band_count, max_shift, seed,
                                   runner);
}

}  // extern "C"
