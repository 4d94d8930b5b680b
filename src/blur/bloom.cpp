// Bloom: the bright parts of the image, tinted and blurred, screened back over
// it. Large glows are blurred on a half-size copy with half the sigma, which
// costs a quarter of the work and looks the same once enlarged.
//
// The caller's pixels are written only by the final blend, after every
// allocation and the blur, so a failure anywhere leaves them as they were.
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

int32_t bloom_threshold(double threshold) { return double_to_int32(threshold * 255.0); }

double bloom_denominator(int32_t thr) {
  double denom = 255.0 - static_cast<double>(thr);
  if (denom < 1.0) denom = 1.0;
  return denom;
}

uint32_t bloom_bright_word(uint32_t w, int32_t thr, double denom, double tR,
                           double tG, double tB) {
  // INT32_MIN stands for a threshold that could not be represented; it must
  // not make every word pass with f close to 1.
  if (thr == INT32_MIN) return 0;
  const uint32_t r = red_of(w), g = green_of(w), b = blue_of(w);
  const uint32_t luma = (299 * r + 587 * g + 114 * b) / 1000;
  if (static_cast<int64_t>(luma) <= thr) return 0;
  // 64 bits: luma - thr leaves int32 for thresholds near INT32_MIN.
  const double f = static_cast<double>(static_cast<int64_t>(luma) - thr) / denom;
  return pack_argb(alpha_of(w), channel_to_byte((r * f) * tR),
                   channel_to_byte((g * f) * tG), channel_to_byte((b * f) * tB));
}

uint32_t bloom_downsample_word(uint32_t w00, uint32_t w01, uint32_t w10,
                               uint32_t w11) {
  const uint32_t r = (red_of(w00) + red_of(w01) + red_of(w10) + red_of(w11)) / 4;
  const uint32_t g =
      (green_of(w00) + green_of(w01) + green_of(w10) + green_of(w11)) / 4;
  const uint32_t b = (blue_of(w00) + blue_of(w01) + blue_of(w10) + blue_of(w11)) / 4;
  return pack_argb(255, r, g, b);
}

namespace {

uint32_t screen_channel(uint32_t s_c, uint32_t b_c, double intensity) {
  double bt = (b_c / 255.0) * intensity;
  if (!(bt < 0.99)) bt = 0.99;
  const double st = s_c / 255.0;
  const double v = (1.0 - (1.0 - bt) * (1.0 - st)) * 255.0;
  return channel_to_byte(v);
}

}  // namespace

uint32_t screen_word(uint32_t s, uint32_t b, double intensity) {
  return with_rgb(s, screen_channel(red_of(s), red_of(b), intensity),
                  screen_channel(green_of(s), green_of(b), intensity),
                  screen_channel(blue_of(s), blue_of(b), intensity));
}

namespace {

// The screen blend through a table: for one call each channel's result is a
// function of the two channel bytes alone, so 256 x 256 evaluations of the
// one-word formula's channel step give every possible answer. Worth it only
// when the frame has many more channel values than the table has entries.
class ScreenBlend {
 public:
  ScreenBlend(double intensity, int64_t words) : intensity_(intensity) {
    if (words < kTableFrom) return;
    storage_ = ScratchImage::uninitialised(256 * 256 / 4);
    uint8_t* t = reinterpret_cast<uint8_t*>(storage_.data());
    for (uint32_t b = 0; b < 256; ++b)
      for (uint32_t c = 0; c < 256; ++c)
        t[b * 256 + c] = static_cast<uint8_t>(screen_channel(c, b, intensity));
    table_ = t;
  }

  uint32_t operator()(uint32_t s, uint32_t b) const {
    if (!table_) return screen_word(s, b, intensity_);
    return with_rgb(s, table_[red_of(b) << 8 | red_of(s)],
                    table_[green_of(b) << 8 | green_of(s)],
                    table_[blue_of(b) << 8 | blue_of(s)]);
  }

 private:
  static constexpr int64_t kTableFrom = 32768;
  double intensity_;
  ScratchImage storage_;
  const uint8_t* table_ = nullptr;
};

// Glow softened at full size: the bright image has the caller's geometry, so
// the blend pairs word k with word k over the whole run, padding included
// (padding words meet their own unblurred bright words).
void bloom_full_size(uint32_t* pixels, int32_t width, int32_t height,
                     int64_t row_pixels, int64_t count, ScratchImage& bright,
                     const ScreenBlend& screen, double sigma) {
  if (sigma > 0.0)
    gaussian_blur_in_place(bright.data(), width, height, row_pixels, sigma);
  const uint32_t* b = bright.data();
  for (int64_t k = 0; k < count; ++k) pixels[k] = screen(pixels[k], b[k]);
}

// Glow softened at half size and enlarged again by repetition; an odd last
// row or column repeats the last half row or column. Padding is not touched.
void bloom_half_size(uint32_t* pixels, int32_t width, int32_t height,
                     int64_t row_pixels, const ScratchImage& bright,
                     const ScreenBlend& screen, double sigma) {
  const int32_t hw = width / 2, hh = height / 2;
  ScratchImage half = ScratchImage::zeroed(static_cast<int64_t>(hw) * hh);
  uint32_t* h = half.data();
  const uint32_t* src = bright.data();
  for (int64_t y = 0; y < hh; ++y) {
    const uint32_t* r0 = src + (2 * y) * row_pixels;
    const uint32_t* r1 = r0 + row_pixels;
    uint32_t* out = h + y * hw;
    for (int64_t x = 0; x < hw; ++x)
      out[x] = bloom_downsample_word(r0[2 * x], r0[2 * x + 1], r1[2 * x], r1[2 * x + 1]);
  }
  gaussian_blur_in_place(h, hw, hh, hw, sigma * 0.5);

  walk_rows(pixels, width, height, row_pixels, [&](uint32_t s, int32_t x, int32_t y) {
    const int64_t hx = std::min(x / 2, hw - 1);
    const int64_t hy = std::min(y / 2, hh - 1);
    return screen(s, h[hy * hw + hx]);
  });
}

}  // namespace
}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_bloom(uint32_t* pixels, int32_t width,
                                         int32_t height, int32_t stride,
                                         double threshold, double intensity,
                                         double sigma, uint32_t tint) {
  if (!pixels || width <= 0 || height <= 0) return FX_ERR_INVALID_ARGUMENT;
  const int64_t count = kvfx::run_count_of(height, stride);
  if (count < 0) return FX_ERR_INVALID_ARGUMENT;
  // Overlapping rows (or none at all): neither path can address its scratch
  // images safely, so there is nothing to do.
  if (!kvfx::rows_fit(width, stride)) return FX_OK;
  const int64_t row_pixels = kvfx::row_pixels_of(stride);

  return kvfx::guarded([&] {
    const int32_t thr = kvfx::bloom_threshold(threshold);
    const double denom = kvfx::bloom_denominator(thr);
    const double tR = kvfx::red_of(tint) / 255.0;
    const double tG = kvfx::green_of(tint) / 255.0;
    const double tB = kvfx::blue_of(tint) / 255.0;

    const kvfx::ScreenBlend screen(intensity, count);
    // Every word is written below, padding included.
    kvfx::ScratchImage bright = kvfx::ScratchImage::uninitialised(count);
    uint32_t* b = bright.data();
    for (int64_t k = 0; k < count; ++k)
      b[k] = kvfx::bloom_bright_word(pixels[k], thr, denom, tR, tG, tB);

    if (width >= 10 && height >= 10 && sigma > 4.0)
      kvfx::bloom_half_size(pixels, width, height, row_pixels, bright, screen, sigma);
    else
      kvfx::bloom_full_size(pixels, width, height, row_pixels, count, bright, screen,
                            sigma);
    return FX_OK;
  });
}
