// Gaussian blur as three box blurs, each a horizontal then a vertical running
// sum. Sums are exact integers; every output is trunc(sum * k) with
// k = 1.0 / (2r + 1), so results never drift and cost does not depend on r.
#include "blur/gaussian_blur.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "kelvo_fx.h"

namespace kvfx {
namespace {

// Keeps wu = wl + 2 within int32.
constexpr double kLargestIdealWidth = 2147483645.0;

// Window sums fit in int32 while 255 * (2r + 1) does; beyond that (only
// reachable with huge sigmas on short lines) they are kept in 64 bits.
bool sums_fit_int32(int32_t r) {
  return 255 * (2 * static_cast<int64_t>(r) + 1) <= INT32_MAX;
}

inline uint32_t sum_to_byte(int64_t s, double k) {
  return static_cast<uint32_t>(static_cast<double>(s) * k);
}

// One line a[0..n-1] (word step `sa`) into b (word step `sb`), the clamped
// window definition evaluated with a running sum:
//   S(0) = r * a[0] + a[0] + ... + a[min(r, n - 1)] + max(0, r - n + 1) * a[n - 1]
//   S(j + 1) = S(j) + a[min(j + r + 1, n - 1)] - a[max(j - r, 0)]
// For n >= 2r + 1 this is the leading / middle / trailing running sum.
template <class Sum>
void blur_line(const uint32_t* a, ptrdiff_t sa, uint32_t* b, ptrdiff_t sb,
               int32_t n, int32_t r, double k) {
  Sum s[4] = {0, 0, 0, 0};
  auto add = [&](uint32_t w, Sum times) {
    s[0] += static_cast<Sum>(w >> 24) * times;
    s[1] += static_cast<Sum>((w >> 16) & 0xFF) * times;
    s[2] += static_cast<Sum>((w >> 8) & 0xFF) * times;
    s[3] += static_cast<Sum>(w & 0xFF) * times;
  };
  const int64_t last = n - 1;
  add(a[0], static_cast<Sum>(r));
  for (int64_t t = 0; t <= std::min<int64_t>(r, last); ++t) add(a[t * sa], 1);
  if (r > last) add(a[last * sa], static_cast<Sum>(r - last));

  for (int64_t j = 0; j < n; ++j) {
    b[j * sb] = pack_argb(sum_to_byte(s[0], k), sum_to_byte(s[1], k),
                          sum_to_byte(s[2], k), sum_to_byte(s[3], k));
    add(a[std::min<int64_t>(j + r + 1, last) * sa], 1);
    add(a[std::max<int64_t>(j - r, 0) * sa], -1);
  }
}

// All columns at once, one running sum per column and channel, walking rows:
// the same sums as one column at a time, in a cache-friendly order.
template <class Sum>
void blur_columns(const uint32_t* src, uint32_t* dst, int32_t width,
                  int32_t height, int64_t row_pixels, int32_t r, double k) {
  std::vector<Sum> s(static_cast<size_t>(width) * 4, 0);
  auto row = [&](int64_t y) { return src + y * row_pixels; };
  auto add_row = [&](const uint32_t* p, Sum times) {
    for (int32_t x = 0; x < width; ++x) {
      uint32_t w = p[x];
      Sum* c = &s[static_cast<size_t>(x) * 4];
      c[0] += static_cast<Sum>(w >> 24) * times;
      c[1] += static_cast<Sum>((w >> 16) & 0xFF) * times;
      c[2] += static_cast<Sum>((w >> 8) & 0xFF) * times;
      c[3] += static_cast<Sum>(w & 0xFF) * times;
    }
  };
  const int64_t last = height - 1;
  add_row(row(0), static_cast<Sum>(r));
  for (int64_t t = 0; t <= std::min<int64_t>(r, last); ++t) add_row(row(t), 1);
  if (r > last) add_row(row(last), static_cast<Sum>(r - last));

  for (int64_t j = 0; j < height; ++j) {
    uint32_t* out = dst + j * row_pixels;
    for (int32_t x = 0; x < width; ++x) {
      const Sum* c = &s[static_cast<size_t>(x) * 4];
      out[x] = pack_argb(sum_to_byte(c[0], k), sum_to_byte(c[1], k),
                         sum_to_byte(c[2], k), sum_to_byte(c[3], k));
    }
    add_row(row(std::min<int64_t>(j + r + 1, last)), 1);
    add_row(row(std::max<int64_t>(j - r, 0)), -1);
  }
}

double reciprocal(int32_t r) { return 1.0 / static_cast<double>(2 * static_cast<int64_t>(r) + 1); }

}  // namespace

BoxPlan box_sizes_for_gaussian(double sigma) {
  BoxPlan plan{{1, 1, 1}, {0, 0, 0}};
  const double q12 = 12.0 * sigma * sigma;
  const double ideal_d = std::floor(std::sqrt(q12 / 3.0 + 1.0));
  if (!(ideal_d <= kLargestIdealWidth)) return plan;
  const int32_t ideal = static_cast<int32_t>(ideal_d);
  const int32_t wl = (ideal % 2 != 0) ? ideal : ideal - 1;
  const int32_t wu = wl + 2;
  const double e = wl;
  const double q =
      (((q12 + (-3.0 * e) * e) + (-12.0 * e)) + (-9.0)) / ((e * (-4.0)) + (-4.0));
  const int32_t m = round_to_int32(q);
  for (int i = 0; i < 3; ++i) {
    plan.width[i] = i < m ? wl : wu;
    plan.radius[i] = (plan.width[i] - 1) / 2;
  }
  return plan;
}

void box_blur_horizontal(const uint32_t* src, uint32_t* dst, int32_t width,
                         int32_t height, int64_t row_pixels, int32_t r) {
  const double k = reciprocal(r);
  const bool narrow = sums_fit_int32(r);
  for (int64_t y = 0; y < height; ++y) {
    const uint32_t* a = src + y * row_pixels;
    uint32_t* b = dst + y * row_pixels;
    if (narrow)
      blur_line<int32_t>(a, 1, b, 1, width, r, k);
    else
      blur_line<int64_t>(a, 1, b, 1, width, r, k);
  }
}

void box_blur_vertical(const uint32_t* src, uint32_t* dst, int32_t width,
                       int32_t height, int64_t row_pixels, int32_t r) {
  const double k = reciprocal(r);
  if (sums_fit_int32(r))
    blur_columns<int32_t>(src, dst, width, height, row_pixels, r, k);
  else
    blur_columns<int64_t>(src, dst, width, height, row_pixels, r, k);
}

void gaussian_blur_in_place(uint32_t* pixels, int32_t width, int32_t height,
                            int64_t row_pixels, double sigma) {
  const BoxPlan plan = box_sizes_for_gaussian(sigma);
  if (plan.radius[0] < 1 && plan.radius[1] < 1 && plan.radius[2] < 1) return;
  ScratchImage scratch = ScratchImage::zeroed(height * row_pixels);
  for (int i = 0; i < 3; ++i) {
    const int32_t r = plan.radius[i];
    if (r < 1) continue;
    box_blur_horizontal(pixels, scratch.data(), width, height, row_pixels, r);
    box_blur_vertical(scratch.data(), pixels, width, height, row_pixels, r);
  }
}

uint32_t box_blur_sample_reference(const uint32_t* a, ptrdiff_t step, int32_t n,
                                   int32_t r, int32_t j) {
  int64_t s[4] = {0, 0, 0, 0};
  for (int64_t t = -static_cast<int64_t>(r); t <= r; ++t) {
    const int64_t pos = std::clamp<int64_t>(j + t, 0, n - 1);
    const uint32_t w = a[pos * step];
    s[0] += alpha_of(w);
    s[1] += red_of(w);
    s[2] += green_of(w);
    s[3] += blue_of(w);
  }
  const double k = 1.0 / (2.0 * r + 1.0);
  return pack_argb(sum_to_byte(s[0], k), sum_to_byte(s[1], k),
                   sum_to_byte(s[2], k), sum_to_byte(s[3], k));
}

}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_gaussian_blur(uint32_t* pixels, int32_t width,
                                                 int32_t height, int32_t stride,
                                                 double sigma) {
  if (!pixels || width <= 0 || height <= 0 || sigma <= 0.0) return FX_OK;
  if (!kvfx::rows_fit(width, stride)) return FX_OK;
  return kvfx::guarded([&] {
    kvfx::gaussian_blur_in_place(pixels, width, height,
                                 kvfx::row_pixels_of(stride), sigma);
    return FX_OK;
  });
}
