// Vignette: a smoothstep of the distance from the centre, normalised by the
// half-diagonal, blends each pixel toward a colour. Rows only, so bottom-up
// (negative stride) buffers work and padding is never touched.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>

#include "color/color_effects.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "core/simd.h"
#include "kelvo_fx.h"


namespace kvfx {

VignetteParams vignette_params(int32_t width, int32_t height, double strength,
                               double radius, double softness, uint32_t color) {
  VignetteParams p;
  p.cx = static_cast<double>(width) * 0.5;
  p.cy = static_cast<double>(height) * 0.5;
  p.maxd = std::hypot(p.cx, p.cy);
  p.strength = strength;
  p.radius = radius;
  // The outer radius less the inner one, rounded as such (not simply
  // `softness`); a band that is not positive, NaN included, would make t
  // meaningless, so it becomes a nearly hard edge instead.
  p.band = (radius + softness) - radius;
  if (!(p.band > 0.0)) p.band = 0.001;
  p.kr = static_cast<double>(red_of(color));
  p.kg = static_cast<double>(green_of(color));
  p.kb = static_cast<double>(blue_of(color));
  return p;
}

double vignette_weight(double d, const VignetteParams& p) {
  double t = (d / p.maxd - p.radius) / p.band;
  t = clamp_upper_first(t, 0.0, 1.0);
  return ((3.0 - (t + t)) * (t * t)) * p.strength;
}

uint32_t vignette_blend(uint32_t w, double v, const VignetteParams& p) {
  const double keep = 1.0 - v;
  auto blend = [&](uint32_t ch, double k) {
    return channel_to_byte(static_cast<double>(ch) * keep + v * k);
  };
  return with_rgb(w, blend(red_of(w), p.kr), blend(green_of(w), p.kg),
                  blend(blue_of(w), p.kb));
}

uint32_t vignette_word(uint32_t w, int32_t x, int32_t y, const VignetteParams& p) {
  const double d = std::hypot(static_cast<double>(x) - p.cx,
                              static_cast<double>(y) - p.cy);
  return vignette_blend(w, vignette_weight(d, p), p);
}

namespace {

// The weight depends on |x - cx| and |y - cy| only, and hypot is even in
// each argument, so rows y and height - y share one row of weights, and in
// a row columns x and width - x share one weight (cx = width / 2 exactly,
// so both differences are exact). Most pixels lie where the smoothstep is
// flat: a plain square root, with a margin far wider than its error, shows
// that without hypot (t is monotone in d), and hypot runs only on the slope.
class WeightRow {
 public:
  WeightRow(const VignetteParams& p, int32_t width)
      : p_(p), width_(width), v_(ScratchArray<double>::uninitialised(width)) {
    v_inner_ = vignette_weight_at_t(0.0);
    v_outer_ = vignette_weight_at_t(1.0);
    // Distances just inside the flat parts, checked with the formula itself;
    // a check that fails (NaN arguments, say) leaves hypot for every pixel.
    const double inner = (p.radius * p.maxd) * (1.0 - 1e-9);
    const double outer = ((p.radius + p.band) * p.maxd) * (1.0 + 1e-9);
    if (t_of(inner) <= 0.0) d_inner_ = inner;
    if (t_of(outer) >= 1.0) d_outer_ = outer;
  }

  const double* row(int32_t y) {
    const double dy = static_cast<double>(y) - p_.cy;
    const int32_t half = std::min(width_ / 2, width_ - 1);  // columns above mirror columns below
    // From column 0 toward the centre |dx| only falls, so the columns known
    // to be flat outside come first and those known to be flat inside last;
    // both tests are monotone, so two binary searches find where they end.
    auto dx_of = [&](int32_t x) { return static_cast<double>(x) - p_.cx; };
    int32_t outer_end = 0, inner_begin = half + 1;
    {
      int32_t lo = 0, hi = half + 1;  // first column not flat outside
      while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (flat_outside(dx_of(mid), dy)) lo = mid + 1; else hi = mid;
      }
      outer_end = lo;
      lo = outer_end, hi = half + 1;  // first column flat inside
      while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (flat_inside(dx_of(mid), dy)) hi = mid; else lo = mid + 1;
      }
      inner_begin = lo;
    }
    double* v = v_.data();
    std::fill(v, v + outer_end, v_outer_);
    for (int32_t x = outer_end; x < inner_begin; ++x)
      v[x] = vignette_weight(std::hypot(dx_of(x), dy), p_);
    std::fill(v + inner_begin, v + half + 1, v_inner_);
    for (int32_t x = half + 1; x < width_; ++x) v[x] = v[width_ - x];
    return v;
  }

 private:
  double vignette_weight_at_t(double t) const {
    return ((3.0 - (t + t)) * (t * t)) * p_.strength;
  }
  double t_of(double d) const { return (d / p_.maxd - p_.radius) / p_.band; }

  // The true distance lies within 1e-12 of the plain square root
  // (relative), so beyond these margins it is on the same side of the
  // checked distance, and t is monotone in d.
  bool flat_inside(double dx, double dy) const {
    return std::sqrt(dx * dx + dy * dy) * (1.0 + 1e-12) <= d_inner_;
  }
  bool flat_outside(double dx, double dy) const {
    return std::sqrt(dx * dx + dy * dy) * (1.0 - 1e-12) >= d_outer_;
  }

  const VignetteParams& p_;
  int32_t width_;
  ScratchArray<double> v_;
  double v_inner_, v_outer_;
  double d_inner_ = -1.0;
  double d_outer_ = std::numeric_limits<double>::infinity();
};

void blend_row_scalar(uint32_t* row, const double* v, int32_t width,
                      const VignetteParams& p) {
  for (int32_t x = 0; x < width; ++x) row[x] = vignette_blend(row[x], v[x], p);
}

#if KVFX_X86

// vignette_blend on eight words: ch * keep + v * k per channel, then
// channel_to_byte.
KVFX_TARGET_AVX512 inline __m256i blend_channel8(__m256i ch, __m512d keep, __m512d vk) {
  const __m512d s = _mm512_add_pd(_mm512_mul_pd(_mm512_cvtepi32_pd(ch), keep), vk);
  return channel_to_byte8(s);
}

KVFX_TARGET_AVX512 void blend_row_avx512(uint32_t* row, const double* vrow, int32_t width,
                                         const VignetteParams& p) {
  const __m512d kr = _mm512_set1_pd(p.kr), kg = _mm512_set1_pd(p.kg), kb = _mm512_set1_pd(p.kb);
  for (int32_t x = 0; x < width; x += 8) {
    const __mmask8 m = tail_mask8(width - x);
    const __m512d v = _mm512_maskz_loadu_pd(m, vrow + x);
    // A weight of exactly 0 gives ch * 1 + 0 * k = ch: the word stays as it is.
    if (_mm512_cmp_pd_mask(v, _mm512_setzero_pd(), _CMP_EQ_OQ) == 0xFF) continue;
    const __m256i w = _mm256_maskz_loadu_epi32(m, row + x);
    const __m512d keep = _mm512_sub_pd(_mm512_set1_pd(1.0), v);
    const __m256i out = with_rgb8(w, blend_channel8(channel8<16>(w), keep, _mm512_mul_pd(v, kr)),
                                  blend_channel8(channel8<8>(w), keep, _mm512_mul_pd(v, kg)),
                                  blend_channel8(channel8<0>(w), keep, _mm512_mul_pd(v, kb)));
    _mm256_mask_storeu_epi32(row + x, m, out);
  }
}

KVFX_TARGET_AVX2 inline __m128i blend_channel4(__m128i ch, __m256d keep, __m256d vk) {
  const __m256d s = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(ch), keep), vk);
  return channel_to_byte4(s);
}

KVFX_TARGET_AVX2 void blend_row_avx2(uint32_t* row, const double* vrow, int32_t width,
                                     const VignetteParams& p) {
  const __m256d kr = _mm256_set1_pd(p.kr), kg = _mm256_set1_pd(p.kg), kb = _mm256_set1_pd(p.kb);
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
    const __m256d v = _mm256_loadu_pd(vrow + x);
    const __m256d keep = _mm256_sub_pd(_mm256_set1_pd(1.0), v);
    const __m128i out = with_rgb4(w, blend_channel4(channel4<16>(w), keep, _mm256_mul_pd(v, kr)),
                                  blend_channel4(channel4<8>(w), keep, _mm256_mul_pd(v, kg)),
                                  blend_channel4(channel4<0>(w), keep, _mm256_mul_pd(v, kb)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), out);
  }
  blend_row_scalar(row + x, vrow + x, width - x, p);
}

#endif

void blend_row(uint32_t* row, const double* v, int32_t width, const VignetteParams& p,
               Isa isa) {
#if KVFX_X86
  if (isa == Isa::kAvx512) return blend_row_avx512(row, v, width, p);
  if (isa == Isa::kAvx2) return blend_row_avx2(row, v, width, p);
#endif
  (void)isa;
  blend_row_scalar(row, v, width, p);
}

void vignette_rows(uint32_t* pixels, int32_t width, int32_t height, int64_t row_pixels,
                   const VignetteParams& p) {
  const Isa isa = active_isa();
  WeightRow weights(p, width);
  auto row_at = [&](int64_t y) { return pixels + static_cast<ptrdiff_t>(y * row_pixels); };
  // Rows that share words (a stride below 4 * width) must be visited in
  // order, 0 to height - 1, each reading what the previous rows left.
  if (std::abs(row_pixels) < width) {
    for (int32_t y = 0; y < height; ++y)
      blend_row(row_at(y), weights.row(y), width, p, isa);
    return;
  }
  // Separate rows: row y pairs with row height - y; row 0 has no partner.
  for (int64_t y = 0; y <= height / 2 && y < height; ++y) {
    const double* v = weights.row(static_cast<int32_t>(y));
    blend_row(row_at(y), v, width, p, isa);
    const int64_t mirror = height - y;
    if (mirror > y && mirror < height) blend_row(row_at(mirror), v, width, p, isa);
  }
}

}  // namespace
}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_vignette(uint32_t* pixels, int32_t width,
                                            int32_t height, int32_t stride,
                                            double strength, double radius,
                                            double softness, uint32_t color) {
  return kvfx::run_effect(kvfx::entry::kVignette, pixels, width, height, stride,
                          [&](const kvfx::Buffer& b) {
    const kvfx::VignetteParams p =
        kvfx::vignette_params(width, height, strength, radius, softness, color);
    kvfx::vignette_rows(pixels, width, height, b.row_pixels, p);
  });
}
