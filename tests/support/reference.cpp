#include "support/reference.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "blur/blur_effects.h"
#include "blur/box_kernels.h"
#include "blur/gaussian_blur.h"
#include "color/color_effects.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "displace/displace_effects.h"
#include "kelvo_fx.h"

namespace kvfx_test {

using kvfx_catalogue::Effect;
using kvfx_catalogue::to_int32;
using kvfx_catalogue::to_uint32;

uint32_t box_blur_sample_reference(const uint32_t* a, ptrdiff_t step, int32_t n, int32_t r,
                                   int32_t j) {
  int64_t s[4] = {0, 0, 0, 0};
  for (int64_t t = -static_cast<int64_t>(r); t <= r; ++t) {
    const int64_t pos = std::clamp<int64_t>(j + t, 0, n - 1);
    const uint32_t w = a[pos * step];
    s[0] += kvfx::alpha_of(w);
    s[1] += kvfx::red_of(w);
    s[2] += kvfx::green_of(w);
    s[3] += kvfx::blue_of(w);
  }
  const double k = 1.0 / (2.0 * r + 1.0);
  return kvfx::pack_argb(kvfx::box_sum_to_byte(s[0], k), kvfx::box_sum_to_byte(s[1], k),
                         kvfx::box_sum_to_byte(s[2], k), kvfx::box_sum_to_byte(s[3], k));
}

void box_blur_horizontal(const uint32_t* src, uint32_t* dst, int32_t width, int32_t height,
                         int64_t row_pixels, int32_t r) {
  const kvfx::BoxScale scale = kvfx::box_scale_for(r);
  const kvfx::BoxKernels& kern = kvfx::box_kernels(scale);
  std::vector<uint32_t> scratch(static_cast<size_t>(kvfx::box_row_scratch_words(width)));
  for (int64_t y = 0; y < height; ++y)
    kvfx::box_blur_row(kern, src + y * row_pixels, dst + y * row_pixels, width, r, scale,
                       scratch.data());
}

void box_blur_vertical(const uint32_t* src, uint32_t* dst, int32_t width, int32_t height,
                       int64_t row_pixels, int32_t r) {
  for (int32_t x = 0; x < width; ++x)
    for (int32_t y = 0; y < height; ++y)
      dst[y * row_pixels + x] = box_blur_sample_reference(src + x, row_pixels, height, r, y);
}

bool reference_blur(uint32_t* p, int32_t w, int32_t h, int64_t rp, double sigma,
                    int64_t budget) {
  if (!(sigma > 0.0)) return true;
  const kvfx::BoxPlan plan = kvfx::box_sizes_for_gaussian(sigma);
  int64_t cost = 0;
  for (int32_t r : plan.radius) {
    if (r < 1) continue;
    if (r > 100000) return false;
    cost += int64_t{w} * h * (2 * int64_t{r} + 1) * 2;
  }
  if (cost > budget) return false;
  std::vector<uint32_t> tmp(static_cast<size_t>(w) * h);
  for (int32_t r : plan.radius) {
    if (r < 1) continue;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        tmp[static_cast<size_t>(y) * w + x] = box_blur_sample_reference(p + y * rp, 1, w, r, x);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        p[y * rp + x] = box_blur_sample_reference(tmp.data() + x, w, h, r, y);
  }
  return true;
}

int32_t expected_result(const Effect& effect, const void* pixels, int32_t width, int32_t height,
                        int32_t stride) {
  return kvfx::result_of(kvfx::check_entry(*effect.entry, pixels != nullptr, width, height, stride));
}

namespace {

struct Frame {
  uint32_t* p;
  int32_t w, h;
  int64_t rp, count;
  uint32_t& at(int64_t x, int64_t y) { return p[y * rp + x]; }
};

Unchecked bloom(Frame f, const double* a, int64_t budget) {
  const double threshold = a[0], intensity = a[1], sigma = a[2];
  const uint32_t tint = to_uint32(a[3]);
  const int32_t thr = kvfx::bloom_threshold(threshold);
  const double denom = kvfx::bloom_denominator(thr);
  const double tR = kvfx::red_of(tint) / 255.0, tG = kvfx::green_of(tint) / 255.0,
               tB = kvfx::blue_of(tint) / 255.0;
  std::vector<uint32_t> bright(static_cast<size_t>(f.count));
  for (int64_t k = 0; k < f.count; ++k)
    bright[k] = kvfx::bloom_bright_word(f.p[k], thr, denom, tR, tG, tB);
  if (f.w >= 10 && f.h >= 10 && sigma > 4.0) {
    const int32_t hw = f.w / 2, hh = f.h / 2;
    std::vector<uint32_t> half(static_cast<size_t>(hw) * hh);
    for (int32_t y = 0; y < hh; ++y)
      for (int32_t x = 0; x < hw; ++x) {
        const uint32_t* r0 = bright.data() + 2 * y * f.rp;
        const uint32_t* r1 = r0 + f.rp;
        half[static_cast<size_t>(y) * hw + x] =
            kvfx::bloom_downsample_word(r0[2 * x], r0[2 * x + 1], r1[2 * x], r1[2 * x + 1]);
      }
    if (!reference_blur(half.data(), hw, hh, hw, sigma * 0.5, budget)) return Unchecked::kRows;
    for (int32_t y = 0; y < f.h; ++y)
      for (int32_t x = 0; x < f.w; ++x) {
        const int32_t hx = std::min(x / 2, hw - 1), hy = std::min(y / 2, hh - 1);
        f.at(x, y) = kvfx::screen_word(f.at(x, y), half[static_cast<size_t>(hy) * hw + hx],
                                       intensity);
      }
    return Unchecked::kNothing;
  }
  if (!reference_blur(bright.data(), f.w, f.h, f.rp, sigma, budget)) return Unchecked::kRun;
  for (int64_t k = 0; k < f.count; ++k) f.p[k] = kvfx::screen_word(f.p[k], bright[k], intensity);
  return Unchecked::kNothing;
}

Unchecked drop_shadow(Frame f, const uint32_t* src, const double* a, int64_t budget) {
  const double sigma = a[2];
  const uint32_t color = to_uint32(a[3]);
  const int32_t dx = kvfx::round_to_int32(a[0]), dy = kvfx::round_to_int32(a[1]);
  std::vector<uint32_t> shadow(static_cast<size_t>(f.count), 0u);
  for (int64_t y = 0; y < f.h; ++y)
    for (int64_t x = 0; x < f.w; ++x) {
      const int64_t sx = x - dx, sy = y - dy;
      if (sx >= 0 && sx < f.w && sy >= 0 && sy < f.h)
        shadow[y * f.rp + x] = kvfx::shadow_coverage_word(src[sy * f.rp + sx], color);
    }
  if (!reference_blur(shadow.data(), f.w, f.h, f.rp, sigma, budget)) return Unchecked::kRun;
  // src[k] is read just before dst[k] is written, so an overlapping dst sees
  // what the C interface promises: a word-by-word loop in increasing order.
  for (int64_t k = 0; k < f.count; ++k) f.p[k] = kvfx::composite_word(src[k], shadow[k]);
  return Unchecked::kNothing;
}

void tone_map(Frame f, const double* a) {
  for (int64_t k = 0; k < f.count; ++k) f.p[k] = kvfx::tone_map_word(f.p[k], a[0]);
}

void color_grade(Frame f, const double* a) {
  const kvfx::ChannelTable table = kvfx::color_grade_table(a[0], a[1], a[3]);
  for (int64_t k = 0; k < f.count; ++k) f.p[k] = kvfx::color_grade_word(f.p[k], table, a[2]);
}

void vignette(Frame f, const double* a) {
  const kvfx::VignetteParams p =
      kvfx::vignette_params(f.w, f.h, a[0], a[1], a[2], to_uint32(a[3]));
  for (int32_t y = 0; y < f.h; ++y)
    for (int32_t x = 0; x < f.w; ++x) f.at(x, y) = kvfx::vignette_word(f.at(x, y), x, y, p);
}

void film_grain(Frame f, const double* a) {
  uint32_t state = kvfx::film_grain_start_state(to_int32(a[1]));
  for (int64_t k = 0; k < f.count; ++k) {
    state = kvfx::xorshift32_step(state);
    f.p[k] = kvfx::film_grain_word(f.p[k], state, a[0] * 255.0);
  }
}

void scanlines(Frame f, const double* a) {
  const int32_t spacing = to_int32(a[0]);
  if (spacing <= 0) return;
  const double factor = kvfx::scanline_factor(a[1]);
  for (int64_t y = 0; y < f.h; y += spacing)
    for (int32_t x = 0; x < f.w; ++x) f.at(x, y) = kvfx::scanline_word(f.at(x, y), factor);
}

void chromatic_aberration(Frame f, const double* a) {
  const std::vector<uint32_t> copy(f.p, f.p + f.count);
  const kvfx::ChromaticShift s = kvfx::chromatic_shift(a[0], a[1], a[2]);
  for (int32_t y = 0; y < f.h; ++y)
    for (int32_t x = 0; x < f.w; ++x) {
      const int64_t ry = kvfx::clamp_coordinate(int64_t{y} + s.ry, f.h);
      const int64_t rx = kvfx::clamp_coordinate(int64_t{x} + s.rx, f.w);
      const int64_t by = kvfx::clamp_coordinate(int64_t{y} + s.by, f.h);
      const int64_t bx = kvfx::clamp_coordinate(int64_t{x} + s.bx, f.w);
      f.at(x, y) = kvfx::chromatic_word(copy[y * f.rp + x], copy[ry * f.rp + rx],
                                        copy[by * f.rp + bx]);
    }
}

void glitch_displacement(Frame f, const double* a) {
  const int32_t bands = to_int32(a[0]), max_shift = to_int32(a[1]), seed = to_int32(a[2]);
  if (bands <= 0 || 2u * static_cast<uint32_t>(max_shift) == 0u) return;
  const std::vector<uint32_t> copy(f.p, f.p + f.count);
  uint32_t state = kvfx::glitch_start_state(seed);
  for (int32_t b = 0; b < bands; ++b) {
    const kvfx::GlitchBand band = kvfx::glitch_band(state, f.h, max_shift);
    for (int32_t y = band.start; y < band.end; ++y)
      for (int32_t x = 0; x < f.w; ++x)
        f.at(x, y) = copy[y * f.rp + kvfx::glitch_column(x, band.shift, f.w)];
    state = band.s3;
  }
}

}  // namespace

Unchecked reference_effect(const Effect& effect, uint32_t* pixels, int32_t width, int32_t height,
                           int32_t stride, const double* args, const uint32_t* source,
                           int64_t budget) {
  Frame f{pixels, width, height, kvfx::row_pixels_of(stride), kvfx::run_count_of(height, stride)};
  const std::string_view fn = effect.function;
  if (fn == "kv_fx_gaussian_blur")
    return reference_blur(pixels, width, height, f.rp, args[0], budget) ? Unchecked::kNothing
                                                                        : Unchecked::kRows;
  if (fn == "kv_fx_bloom") return bloom(f, args, budget);
  if (fn == "kv_fx_drop_shadow") return drop_shadow(f, source ? source : pixels, args, budget);
  if (fn == "kv_fx_tone_map_aces") tone_map(f, args);
  else if (fn == "kv_fx_color_grade") color_grade(f, args);
  else if (fn == "kv_fx_vignette") vignette(f, args);
  else if (fn == "kv_fx_film_grain") film_grain(f, args);
  else if (fn == "kv_fx_scanlines") scanlines(f, args);
  else if (fn == "kv_fx_chromatic_aberration") chromatic_aberration(f, args);
  else if (fn == "kv_fx_glitch_displacement") glitch_displacement(f, args);
  else std::abort();  // an effect without a reference: add one here
  return Unchecked::kNothing;
}

}  // namespace kvfx_test
