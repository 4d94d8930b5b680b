// Scanlines: rows 0, spacing, 2 * spacing, ... scaled by one factor. The
// scaled value depends only on the channel, so darkened rows go through a
// 256-entry table. Rows only: padding untouched, negative strides work.
#include "color/color_effects.h"
#include "core/boundary.h"
#include "core/channel_table.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "kelvo_fx.h"

namespace kvfx {

double scanline_factor(double intensity) {
  return 1.0 - clamp_upper_first(intensity, 0.0, 1.0);
}

uint32_t scanline_channel(uint32_t c, double f) {
  // f lies in [0, 1], so the product needs no clamp.
  return static_cast<uint32_t>(static_cast<double>(c) * f);
}

uint32_t scanline_word(uint32_t w, double f) {
  return map_rgb(w, [&](uint32_t c) { return scanline_channel(c, f); });
}

}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_scanlines(uint32_t* pixels, int32_t width,
                                             int32_t height, int32_t stride,
                                             int32_t spacing, double intensity) {
  return kvfx::run_effect(kvfx::entry::kScanlines, pixels, width, height, stride,
                          [&](const kvfx::Buffer& b) {
    if (spacing <= 0) return;  // no row is darkened
    const double f = kvfx::scanline_factor(intensity);
    const kvfx::ChannelTable table = kvfx::make_channel_table(
        [&](uint32_t c) { return kvfx::scanline_channel(c, f); });
    // Stepping by spacing visits exactly the rows with y % spacing == 0; the
    // 64-bit counter cannot overflow for a spacing near INT32_MAX.
    for (int64_t y = 0; y < height; y += spacing) {
      uint32_t* row = pixels + static_cast<ptrdiff_t>(y * b.row_pixels);
      kvfx::apply_channel_table(row, width, table);
    }
  });
}
