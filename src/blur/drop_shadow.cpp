// Drop shadow: the source's alpha, tinted, moved and blurred, composited under
// the source into the destination.
//
// dst is written only by the final composite, after the shadow image and the
// blur's scratch exist, so a failure leaves it as it was. dst may alias src:
// the composite reads src[k] before it writes dst[k], in increasing k, and the
// shadow is built from src before any of that.
#include <algorithm>
#include <cstdint>

#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "kelvo_fx.h"

namespace kvfx {

uint32_t shadow_coverage_word(uint32_t s, uint32_t color) {
  const uint32_t coverage = (alpha_of(s) * alpha_of(color)) / 255;
  return coverage << 24 | (color & 0xFFFFFFu);
}

namespace {

uint32_t composite_channel(uint32_t h_c, uint32_t s_c, double inv) {
  const double shaded = h_c * inv;  // rounded on its own before the sum
  return channel_to_byte(shaded + s_c);
}

double composite_cover(uint32_t alpha) {
  const double q = alpha / 255.0;
  return 1.0 - q;
}

uint32_t composite_with_cover(uint32_t s, uint32_t h, double inv) {
  return pack_argb(composite_channel(alpha_of(h), alpha_of(s), inv),
                   composite_channel(red_of(h), red_of(s), inv),
                   composite_channel(green_of(h), green_of(s), inv),
                   composite_channel(blue_of(h), blue_of(s), inv));
}

}  // namespace

uint32_t composite_word(uint32_t s, uint32_t h) {
  return composite_with_cover(s, h, composite_cover(alpha_of(s)));
}

namespace {

// 1 - alpha / 255 for every alpha: the one division of composite_word, done
// 256 times per call instead of once per word.
struct CoverTable {
  double inv[256];
  CoverTable() {
    for (uint32_t a = 0; a < 256; ++a) inv[a] = composite_cover(a);
  }
};

// Shadow word (x, y) takes the source's alpha at (x - dx, y - dy) where that
// lies inside width x height, and stays 0 elsewhere. The in-range columns of
// a row are the same for every row, so they are worked out once, in 64 bits
// (dx may be INT32_MIN).
void build_shadow(const uint32_t* src, uint32_t* shadow, int32_t width,
                  int32_t height, int64_t row_pixels, int32_t dx, int32_t dy,
                  uint32_t color) {
  const int64_t x_begin = std::max<int64_t>(0, dx);
  const int64_t x_end = std::min<int64_t>(width, static_cast<int64_t>(width) + dx);
  if (x_begin >= x_end) return;
  for (int64_t y = 0; y < height; ++y) {
    const int64_t sy = y - dy;
    if (sy < 0 || sy >= height) continue;
    const uint32_t* from = src + sy * row_pixels;
    uint32_t* to = shadow + y * row_pixels;
    for (int64_t x = x_begin; x < x_end; ++x)
      to[x] = shadow_coverage_word(from[x - dx], color);
  }
}

}  // namespace
}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_drop_shadow(const uint32_t* src, uint32_t* dst,
                                               int32_t width, int32_t height,
                                               int32_t stride, double offset_x,
                                               double offset_y, double sigma,
                                               uint32_t color) {
  if (!src || !dst || width <= 0 || height <= 0) return FX_ERR_INVALID_ARGUMENT;
  // The shadow build writes width words per row of an image with the caller's
  // rows, so they must not overlap (this also rejects a negative stride).
  if (!kvfx::rows_fit(width, stride)) return FX_ERR_INVALID_ARGUMENT;
  const int64_t row_pixels = kvfx::row_pixels_of(stride);
  const int64_t count = kvfx::run_count_of(height, stride);

  return kvfx::guarded([&] {
    kvfx::ScratchImage shadow = kvfx::ScratchImage::zeroed(count);
    uint32_t* h = shadow.data();
    const int32_t dx = kvfx::round_to_int32(offset_x);
    const int32_t dy = kvfx::round_to_int32(offset_y);
    kvfx::build_shadow(src, h, width, height, row_pixels, dx, dy, color);
    if (sigma > 0.0) kvfx::gaussian_blur_in_place(h, width, height, row_pixels, sigma);
    const kvfx::CoverTable cover;
    for (int64_t k = 0; k < count; ++k) {
      const uint32_t s = src[k];
      dst[k] = kvfx::composite_with_cover(s, h[k], cover.inv[kvfx::alpha_of(s)]);
    }
    return FX_OK;
  });
}
