// One-word formulas of the per-pixel colour effects.
//
// Each effect's loop (or the table it builds) is made from exactly these
// functions, and the tests hold every faster path against them word by word.
#pragma once

#include <cstdint>

#include "core/channel_table.h"
#include "core/pixel.h"
#include "core/split.h"

namespace kvfx {

// ---- Tone map -------------------------------------------------------------

// One 8-bit channel through the filmic curve after the exposure factor.
uint32_t tone_map_channel(uint32_t c, double exposure);
// Red, green and blue through tone_map_channel; alpha kept.
uint32_t tone_map_word(uint32_t w, double exposure);

// ---- Colour grade ---------------------------------------------------------

// Entry i of the grade table: contrast, brightness, clamp, then the power
// (skipped when gamma is exactly 1; gamma <= 0 or NaN counts as exponent 1).
uint32_t color_grade_entry(uint32_t i, double brightness, double contrast,
                           double gamma);
ChannelTable color_grade_table(double brightness, double contrast, double gamma);
// The saturation step on a word whose channels are already graded: each
// channel mixed with the luma of the three by `saturation`. Alpha kept.
KVFX_INLINE uint32_t color_grade_saturate(uint32_t graded, double saturation) {
  const double r = red_of(graded), g = green_of(graded), b = blue_of(graded);
  const double l = (r * 0.299 + g * 0.587) + b * 0.114;
  return with_rgb(graded, channel_to_byte((r - l) * saturation + l),
                  channel_to_byte((g - l) * saturation + l),
                  channel_to_byte((b - l) * saturation + l));
}
// One word: the table on each colour channel, then saturation around the luma
// of the graded channels unless saturation is exactly 1. Alpha kept.
uint32_t color_grade_word(uint32_t w, const ChannelTable& table,
                          double saturation);

// ---- Vignette -------------------------------------------------------------

// What a vignette call derives once from its arguments.
struct VignetteParams {
  double cx, cy;      // centre, in index coordinates
  double maxd;        // half-diagonal: normalised distance 1
  double strength;
  double radius;
  double band;        // fall-off width, never <= 0 (or NaN)
  double kr, kg, kb;  // the colour blended in
};

VignetteParams vignette_params(int32_t width, int32_t height, double strength,
                               double radius, double softness, uint32_t color);
// Where distance d lies in the fall-off band: 0 at the inner radius, 1 at
// the outer one (not clamped).
inline double vignette_t(double d, const VignetteParams& p) { return (d / p.maxd - p.radius) / p.band; }
// The blend weight for a band position t: its smoothstep (t clamped to
// [0, 1], NaN counting as 1), times strength.
// (Inline so that the loops of weights vectorize.)
KVFX_INLINE double vignette_weight_at(double t, const VignetteParams& p) {
  t = clamp_upper_first(t, 0.0, 1.0);
  return ((3.0 - (t + t)) * (t * t)) * p.strength;
}
// The blend weight v at distance d from the centre.
KVFX_INLINE double vignette_weight(double d, const VignetteParams& p) {
  return vignette_weight_at(vignette_t(d, p), p);
}
// Word w blended toward the colour by weight v; alpha kept.
KVFX_INLINE uint32_t vignette_blend(uint32_t w, double v, const VignetteParams& p) {
  const double keep = 1.0 - v;
  return with_rgb(w, channel_to_byte(static_cast<double>(red_of(w)) * keep + v * p.kr),
                  channel_to_byte(static_cast<double>(green_of(w)) * keep + v * p.kg),
                  channel_to_byte(static_cast<double>(blue_of(w)) * keep + v * p.kb));
}
// The word at column x, row y blended toward the colour (the two above with
// d = hypot(x - cx, y - cy)); alpha kept.
uint32_t vignette_word(uint32_t w, int32_t x, int32_t y, const VignetteParams& p);

// ---- Film grain -----------------------------------------------------------

// xorshift32 with shifts 13, 17, 5.
KVFX_INLINE uint32_t xorshift32_step(uint32_t state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}
// The generator's start state: the seed's unsigned pattern, 0 -> 123456789.
uint32_t film_grain_start_state(int32_t seed);
// One word with the offset drawn from `state` (already advanced for this
// word); amplitude = amount * 255. Alpha kept.
KVFX_INLINE uint32_t film_grain_word(uint32_t w, uint32_t state, double amplitude) {
  const double u = static_cast<double>(state & 0xFFFFu) / 65535.0;
  const double noise = ((u + u) - 1.0) * amplitude;
  return with_rgb(w, channel_to_byte(static_cast<double>(red_of(w)) + noise),
                  channel_to_byte(static_cast<double>(green_of(w)) + noise),
                  channel_to_byte(static_cast<double>(blue_of(w)) + noise));
}

// ---- Scanlines ------------------------------------------------------------

// f = 1 - intensity clamped to [0, 1], NaN counting as 1.
double scanline_factor(double intensity);
// trunc(c * f).
uint32_t scanline_channel(uint32_t c, double f);
// A word of a darkened row; alpha kept.
uint32_t scanline_word(uint32_t w, double f);

// ---- The exports' bodies ----------------------------------------------------
// Entry checks, then the effect, its pieces run by `runner` (see core/split.h).

int32_t tone_map_aces(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                      double exposure, Runner& runner);
int32_t color_grade(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                    double brightness, double contrast, double saturation, double gamma,
                    Runner& runner);
int32_t vignette(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                 double strength, double radius, double softness, uint32_t color,
                 Runner& runner);
int32_t film_grain(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                   double amount, int32_t seed, Runner& runner);
int32_t scanlines(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                  int32_t spacing, double intensity, Runner& runner);

}  // namespace kvfx
