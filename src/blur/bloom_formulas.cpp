// Bloom's one-word formulas: the bright pass, the 2 x 2 downsample and the
// screen blend, exactly as each word must come out. The tables and vector
// rows of bloom_tables.cpp are filled from these and held to them by tests.
#include <cstdint>

#include "blur/blur_effects.h"
#include "core/pixel.h"

namespace kvfx {

int32_t bloom_threshold(double threshold) { return double_to_int32(threshold * 255.0); }

double bloom_denominator(int32_t thr) {
  double denom = 255.0 - static_cast<double>(thr);
  if (denom < 1.0) denom = 1.0;
  return denom;
}

double bloom_pass_factor(uint32_t luma, int32_t thr, double denom) {
  // 64 bits: luma - thr leaves int32 for thresholds near INT32_MIN.
  return static_cast<double>(static_cast<int64_t>(luma) - thr) / denom;
}

uint32_t bloom_bright_channel(uint32_t c, double f, double tint) {
  return channel_to_byte((c * f) * tint);
}

uint32_t bloom_bright_word(uint32_t w, int32_t thr, double denom, double tR,
                           double tG, double tB) {
  const uint32_t r = red_of(w), g = green_of(w), b = blue_of(w);
  const uint32_t luma = bloom_luma(r, g, b);
  if (!bloom_passes(luma, thr)) return 0;
  const double f = bloom_pass_factor(luma, thr, denom);
  return pack_argb(alpha_of(w), bloom_bright_channel(r, f, tR),
                   bloom_bright_channel(g, f, tG), bloom_bright_channel(b, f, tB));
}

uint32_t screen_channel(uint32_t s_c, uint32_t b_c, double intensity) {
  double bt = (b_c / 255.0) * intensity;
  if (!(bt < 0.99)) bt = 0.99;
  const double st = s_c / 255.0;
  const double v = (1.0 - (1.0 - bt) * (1.0 - st)) * 255.0;
  return channel_to_byte(v);
}

uint32_t screen_word(uint32_t s, uint32_t b, double intensity) {
  return with_rgb(s, screen_channel(red_of(s), red_of(b), intensity),
                  screen_channel(green_of(s), green_of(b), intensity),
                  screen_channel(blue_of(s), blue_of(b), intensity));
}

}  // namespace kvfx
