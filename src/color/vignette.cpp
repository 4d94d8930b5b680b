// Vignette: a smoothstep of the distance from the centre, normalised by the
// half-diagonal, blends each pixel toward a colour. Rows only, so bottom-up
// (negative stride) buffers work and padding is never touched.
#include <cmath>

#include "color/color_effects.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "kelvo_fx.h"

namespace kvfx {

VignetteParams vignette_params(int32_t width, int32_t height, double strength,
                               double radius, double softness, uint32_t color) {
  VignetteParams p;
  p.cx = static_cast<double>(width) * 0.5;
  p.cy = static_cast<double>(height) * 0.5;
  p.maxd = std::hypot(p.cx, p.cy);
  p.strength = strength;
  p.radius = radius;
  // The outer radius less the inner one, rounded as such (not simply
  // `softness`); a band that is not positive, NaN included, would make t
  // meaningless, so it becomes a nearly hard edge instead.
  p.band = (radius + softness) - radius;
  if (!(p.band > 0.0)) p.band = 0.001;
  p.kr = static_cast<double>(red_of(color));
  p.kg = static_cast<double>(green_of(color));
  p.kb = static_cast<double>(blue_of(color));
  return p;
}

uint32_t vignette_word(uint32_t w, int32_t x, int32_t y, const VignetteParams& p) {
  const double d = std::hypot(static_cast<double>(x) - p.cx,
                              static_cast<double>(y) - p.cy);
  double t = (d / p.maxd - p.radius) / p.band;
  t = clamp_upper_first(t, 0.0, 1.0);
  const double v = ((3.0 - (t + t)) * (t * t)) * p.strength;
  const double keep = 1.0 - v;
  auto blend = [&](uint32_t ch, double k) {
    return channel_to_byte(static_cast<double>(ch) * keep + v * k);
  };
  return with_rgb(w, blend(red_of(w), p.kr), blend(green_of(w), p.kg),
                  blend(blue_of(w), p.kb));
}

}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_vignette(uint32_t* pixels, int32_t width,
                                            int32_t height, int32_t stride,
                                            double strength, double radius,
                                            double softness, uint32_t color) {
  if (!pixels || width <= 0 || height <= 0) return FX_ERR_INVALID_ARGUMENT;
  return kvfx::guarded([&] {
    const kvfx::VignetteParams p =
        kvfx::vignette_params(width, height, strength, radius, softness, color);
    kvfx::walk_rows(pixels, width, height, kvfx::row_pixels_of(stride),
                    [&](uint32_t w, int32_t x, int32_t y) {
                      return kvfx::vignette_word(w, x, y, p);
                    });
    return FX_OK;
  });
}
