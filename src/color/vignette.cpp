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
#include "core/kernels.h"
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

double vignette_weight_at(double t, const VignetteParams& p) {
  t = clamp_upper_first(t, 0.0, 1.0);
  return ((3.0 - (t + t)) * (t * t)) * p.strength;
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
    v_inner_ = vignette_weight_at(0.0, p);
    v_outer_ = vignette_weight_at(1.0, p);
    // Distances just inside the flat parts, checked with the formula itself;
    // a check that fails (NaN arguments, say) leaves hypot for every pixel.
    const double inner = (p.radius * p.maxd) * (1.0 - 1e-9);
    const double outer = ((p.radius + p.band) * p.maxd) * (1.0 + 1e-9);
    if (vignette_t(inner, p) <= 0.0) d_inner_ = inner;
    if (vignette_t(outer, p) >= 1.0) d_outer_ = outer;
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

// vignette_blend on a row, written for the compiler to vectorize: the same
// operations in the same order, one word per lane.
KVFX_INLINE void blend_row(uint32_t* row, const double* weight, int32_t width,
                           const VignetteParams* p) {
  // A weight of exactly 0 gives ch * 1 + 0 * k = ch, so blocks inside the
  // radius, most of a frame, are skipped whole.
  constexpr int32_t kBlock = 16;
  int32_t x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    bool moves = false;
    for (int32_t i = 0; i < kBlock; ++i) moves |= weight[x + i] != 0.0;
    if (!moves) continue;
    for (int32_t i = 0; i < kBlock; ++i) row[x + i] = vignette_blend(row[x + i], weight[x + i], *p);
  }
  for (; x < width; ++x) row[x] = vignette_blend(row[x], weight[x], *p);
}

struct VignetteKernels {
  void (*blend_row)(uint32_t* row, const double* weight, int32_t width, const VignetteParams* p);
};
using Blend = AtEachLevel<blend_row>;
const VignetteKernels kPortable = {Blend::portable}, kAvx2 = {Blend::avx2},
                      kAvx512 = {Blend::avx512};
const KernelTable<VignetteKernels> kVignetteKernels = {&kPortable, &kAvx2, &kAvx512, nullptr,
                                                       nullptr};

void vignette_rows(uint32_t* pixels, int32_t width, int32_t height, int64_t row_pixels,
                   const VignetteParams& p) {
  const VignetteKernels& k = pick(kVignetteKernels);
  WeightRow weights(p, width);
  auto row_at = [&](int64_t y) { return pixels + static_cast<ptrdiff_t>(y * row_pixels); };
  // Rows that share words (a stride below 4 * width) must be visited in
  // order, 0 to height - 1, each reading what the previous rows left.
  if (std::abs(row_pixels) < width) {
    for (int32_t y = 0; y < height; ++y)
      k.blend_row(row_at(y), weights.row(y), width, &p);
    return;
  }
  // Separate rows: row y pairs with row height - y; row 0 has no partner.
  for (int64_t y = 0; y <= height / 2 && y < height; ++y) {
    const double* v = weights.row(static_cast<int32_t>(y));
    k.blend_row(row_at(y), v, width, &p);
    const int64_t mirror = height - y;
    if (mirror > y && mirror < height) k.blend_row(row_at(mirror), v, width, &p);
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
