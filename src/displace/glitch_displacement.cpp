// Glitch displacement: seeded bands of rows shifted sideways, the edge word
// repeated where a shift uncovers the border. Every band reads the input as
// it was before the call (a copy), so overlapping bands do not compound; the
// later band simply overwrites the rows they share.
#include <cstddef>

#include "core/boundary.h"
#include "core/geometry.h"
#include "core/scratch.h"
#include "displace/displace_effects.h"
#include "kelvo_fx.h"

namespace kvfx {

GlitchBand glitch_band(uint32_t state, int32_t height, int32_t max_shift) {
  GlitchBand b;
  b.s1 = glitch_step(state);
  b.s2 = glitch_step(b.s1);
  b.s3 = glitch_step(b.s2);
  const uint32_t h = static_cast<uint32_t>(height);
  const uint32_t start = b.s1 % h;
  // start < height <= INT32_MAX, so start + 5 + 24 cannot wrap in uint32.
  uint32_t end = start + 5u + b.s2 % 25u;
  if (end > h) end = h;
  b.start = static_cast<int32_t>(start);
  b.end = static_cast<int32_t>(end);
  const uint32_t m = static_cast<uint32_t>(max_shift);
  b.shift = static_cast<int32_t>(b.s3 % (2u * m) - m);
  return b;
}

namespace {

// No shift range at all: 2 * max_shift is 0 in 32-bit arithmetic.
bool shift_range_empty(int32_t max_shift) {
  return 2u * static_cast<uint32_t>(max_shift) == 0u;
}

void draw_band(const uint32_t* copy, uint32_t* pixels, int32_t width,
               int64_t row_pixels, const GlitchBand& band) {
  for (int32_t y = band.start; y < band.end; ++y) {
    const ptrdiff_t row = static_cast<ptrdiff_t>(y * row_pixels);
    const uint32_t* src = copy + row;
    uint32_t* out = pixels + row;
    for (int32_t x = 0; x < width; ++x)
      out[x] = src[glitch_column(x, band.shift, width)];
  }
}

}  // namespace
}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_glitch_displacement(
    uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
    int32_t band_count, int32_t max_shift, int32_t seed) {
  if (!pixels || width <= 0 || height <= 0 || band_count <= 0) return FX_OK;
  if (kvfx::shift_range_empty(max_shift)) return FX_OK;
  // Overlapping rows (or a negative stride) would send reads outside the copy
  // of the run.
  if (!kvfx::rows_fit(width, stride)) return FX_OK;
  return kvfx::guarded([&] {
    const int64_t row_pixels = kvfx::row_pixels_of(stride);
    const kvfx::ScratchImage copy = kvfx::ScratchImage::copy_of(
        pixels, kvfx::run_count_of(height, stride));
    uint32_t state = kvfx::glitch_start_state(seed);
    for (int32_t b = 0; b < band_count; ++b) {
      const kvfx::GlitchBand band = kvfx::glitch_band(state, height, max_shift);
      kvfx::draw_band(copy.data(), pixels, width, row_pixels, band);
      state = band.s3;
    }
    return FX_OK;
  });
}
