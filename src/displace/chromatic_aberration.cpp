// Chromatic aberration: red and blue are fetched from opposite sides of each
// pixel along one direction. Every fetch reads a copy of the input taken
// before the first write, so the order of the row walk cannot leak into the
// result.
#include <cmath>
#include <cstddef>

#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "displace/displace_effects.h"
#include "kelvo_fx.h"

namespace kvfx {

ChromaticShift chromatic_shift(double strength_x, double strength_y,
                               double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  const double hx = c * strength_x;
  const double hy = s * strength_y;
  // Blue rounds -hx itself rather than negating rx: an hx just beyond the
  // int32 range gives rx = INT32_MIN, whose negation does not exist.
  return ChromaticShift{round_to_int32(hx), round_to_int32(hy),
                        round_to_int32(-hx), round_to_int32(-hy)};
}

namespace {

void chromatic_rows(const uint32_t* copy, uint32_t* pixels, int32_t width,
                    int32_t height, int64_t row_pixels,
                    const ChromaticShift& shift) {
  // Coordinate sums in 64 bits: an offset of INT32_MIN must clamp, not wrap.
  auto at = [&](int64_t x, int64_t y) {
    const int64_t row = clamp_coordinate(y, height) * row_pixels;
    return copy[static_cast<ptrdiff_t>(row + clamp_coordinate(x, width))];
  };
  walk_rows(pixels, width, height, row_pixels,
            [&](uint32_t, int32_t x, int32_t y) {
              const int64_t x64 = x, y64 = y;
              return chromatic_word(at(x64, y64),
                                    at(x64 + shift.rx, y64 + shift.ry),
                                    at(x64 + shift.bx, y64 + shift.by));
            });
}

}  // namespace
}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_chromatic_aberration(
    uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
    double strength_x, double strength_y, double angle) {
  if (!pixels || width <= 0 || height <= 0) return FX_ERR_INVALID_ARGUMENT;
  // Overlapping rows (or a negative stride) would send fetches outside the
  // copy of the run.
  if (!kvfx::rows_fit(width, stride)) return FX_ERR_INVALID_ARGUMENT;
  return kvfx::guarded([&] {
    const int64_t row_pixels = kvfx::row_pixels_of(stride);
    const kvfx::ScratchImage copy = kvfx::ScratchImage::copy_of(
        pixels, kvfx::run_count_of(height, stride));
    const kvfx::ChromaticShift shift =
        kvfx::chromatic_shift(strength_x, strength_y, angle);
    kvfx::chromatic_rows(copy.data(), pixels, width, height, row_pixels, shift);
    return FX_OK;
  });
}
