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


// Split: the darkened rows cut into equal spans, by their place among them.
int32_t scanlines(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                  int32_t spacing, double intensity, Runner& runner) {
  return run_effect(entry::kScanlines, pixels, width, height, stride, [&](const Buffer& b) {
    if (spacing <= 0) return;  // no row is darkened
    const double f = scanline_factor(intensity);
    const ChannelTable table =
        make_channel_table([&](uint32_t c) { return scanline_channel(c, f); });
    // Rows y = n * spacing for n < dark; stepping in 64 bits cannot overflow
    // for a spacing near INT32_MAX.
    const int64_t dark = (int64_t{height} - 1) / spacing + 1;
    // Rows that share words are darkened again and again, in order: they
    // stay one piece.
    const int64_t work = channel_table_work(dark * width);
    const int pieces = rows_apart(width, b.row_pixels) ? pieces_for(runner, work, dark) : 1;
    runner.run(pieces, [&](int i) {
      const Span rows = span_of(dark, pieces, i);
      for (int64_t n = rows.begin; n < rows.end; ++n) {
        uint32_t* row = pixels + static_cast<ptrdiff_t>(n * spacing * b.row_pixels);
        apply_channel_table(row, width, table);
      }
    });
  });
}

}  // namespace kvfx
