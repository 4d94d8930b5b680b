// One-word formulas of the two effects built on the Gaussian blur: bloom and
// drop shadow. The effects call these for every word, and the tests hold the
// effects to them.
#pragma once

#include <cstdint>

#include "core/pixel.h"
#include "core/split.h"

namespace kvfx {

// ---- Bloom ----------------------------------------------------------------

// Luma threshold on the 0..255 scale: trunc(threshold * 255). NaN, infinite
// and out-of-range products give INT32_MIN, which lets nothing pass.
int32_t bloom_threshold(double threshold);

// 255 - thr, raised to 1.0 so a threshold of 1.0 or more cannot divide by 0.
double bloom_denominator(int32_t thr);

// The bright image's word for a caller word w: 0 unless the integer luma
// (299 R + 587 G + 114 B) / 1000 exceeds thr; otherwise w's alpha with each
// colour scaled by (luma - thr) / denom and by its tint factor (byte / 255).
uint32_t bloom_bright_word(uint32_t w, int32_t thr, double denom, double tR,
                           double tG, double tB);

// The pieces of bloom_bright_word: the integer luma, whether it passes, the
// pass factor (luma - thr) / denom and one scaled colour channel.
KVFX_INLINE uint32_t bloom_luma(uint32_t r, uint32_t g, uint32_t b) {
  return (299 * r + 587 * g + 114 * b) / 1000;
}
KVFX_INLINE bool bloom_passes(uint32_t luma, int32_t thr) {
  // INT32_MIN stands for a threshold that could not be represented; it must
  // not make every word pass with f close to 1.
  return thr != INT32_MIN && static_cast<int64_t>(luma) > thr;
}
double bloom_pass_factor(uint32_t luma, int32_t thr, double denom);
uint32_t bloom_bright_channel(uint32_t c, double f, double tint);

// One half-image word: the truncated mean of the colours of four bright
// words (rows 2y, 2y + 1, columns 2x, 2x + 1), alpha 255.
KVFX_INLINE uint32_t bloom_downsample_word(uint32_t w00, uint32_t w01, uint32_t w10,
                                          uint32_t w11) {
  const uint32_t r = (red_of(w00) + red_of(w01) + red_of(w10) + red_of(w11)) / 4;
  const uint32_t g = (green_of(w00) + green_of(w01) + green_of(w10) + green_of(w11)) / 4;
  const uint32_t b = (blue_of(w00) + blue_of(w01) + blue_of(w10) + blue_of(w11)) / 4;
  return pack_argb(255, r, g, b);
}

// One channel of the screen blend: channel byte s_c of the image under bloom
// byte b_c.
uint32_t screen_channel(uint32_t s_c, uint32_t b_c, double intensity);

// Screen blend of bloom word b over caller word s with strength `intensity`.
// The bloom factor is capped at 0.99 (NaN too) and has no lower limit; the
// result keeps s's alpha. A zero bloom still lowers some channel values by one.
uint32_t screen_word(uint32_t s, uint32_t b, double intensity);

// ---- Drop shadow ------------------------------------------------------------

// Shadow word cast by source word s: coverage (alpha(s) * alpha(color)) / 255
// (integer) in the alpha bits, color's low 24 bits as given in the others.
uint32_t shadow_coverage_word(uint32_t s, uint32_t color);

// Premultiplied source-over with s on top of shadow word h, all four
// channels: trunc(h_c * (1 - alpha(s) / 255) + s_c), clamped to 0..255.
uint32_t composite_word(uint32_t s, uint32_t h);

// The pieces of composite_word: 1 - alpha / 255, and the composite given it.
KVFX_INLINE double inverse_alpha(uint32_t alpha) {
  const double q = alpha / 255.0;
  return 1.0 - q;
}
KVFX_INLINE uint32_t composite_channel(uint32_t h_c, uint32_t s_c, double inv) {
  const double shaded = h_c * inv;  // rounded on its own before the sum
  return channel_to_byte(shaded + s_c);
}
KVFX_INLINE uint32_t composite_with_inverse(uint32_t s, uint32_t h, double inv) {
  return pack_argb(composite_channel(alpha_of(h), alpha_of(s), inv),
                   composite_channel(red_of(h), red_of(s), inv),
                   composite_channel(green_of(h), green_of(s), inv),
                   composite_channel(blue_of(h), blue_of(s), inv));
}

// ---- The exports' bodies ----------------------------------------------------
// Entry checks, then the effect, its pieces run by `runner` (see core/split.h).

int32_t bloom(uint32_t* pixels, int32_t width, int32_t height, int32_t stride, double threshold,
              double intensity, double sigma, uint32_t tint, Runner& runner);
int32_t drop_shadow(const uint32_t* src, uint32_t* dst, int32_t width, int32_t height,
                    int32_t stride, double offset_x, double offset_y, double sigma,
                    uint32_t color, Runner& runner);

}  // namespace kvfx
