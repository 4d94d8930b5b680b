// libFuzzer target for the ten effects through the C interface.
//
// The input picks an effect, a geometry (strides that are exact, padded, not a
// multiple of 4, too small, tiny or negative), argument values (edge doubles,
// edge integers, raw bit patterns) and pixels. The call runs on a buffer with
// canary zones on both sides, and the fuzzer checks:
//   - the result code is the one the effect owes for these arguments;
//   - nothing outside the words the effect may write has changed (canaries,
//     padding, the whole buffer for a rejected call);
//   - the written words equal a plain loop over the one-word formulas (the
//     blur against a brute-force box filter while the image is small).
// Any difference aborts with a description of the case. The input also
// picks the vector level (portable, AVX2, AVX-512, as far as the CPU has it).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "color/color_effects.h"
#include "core/cpu.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "displace/displace_effects.h"
#include "kelvo_fx.h"

namespace {

constexpr int64_t kCanaryWords = 64;
// Above this many word-visits the brute-force blur is skipped and only the
// words the blur may not write are checked.
constexpr int64_t kBruteForceBudget = 3000000;

// Reads the input front to back; past its end every read gives zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
    return v;
  }
  uint64_t u64() { return static_cast<uint64_t>(u32()) | static_cast<uint64_t>(u32()) << 32; }

  double real() {
    static const double kList[] = {
        0.0, -0.0, 1.0, 0.5, -2.5, std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        1e300, -1e300, 2147483647.5, -2147483648.5, 1e9, 2.0, 3.0, 5.0, 8.0, 0.25,
        -1.0, 4.5, 1e-300, 0.577, 0.6, 0.999, 1.0 / 255.0, 1073741824.0, -0.5};
    const uint8_t sel = byte();
    switch (sel % 4) {
      case 0:
      case 1:
        return kList[byte() % (sizeof kList / sizeof kList[0])];
      case 2:
        return static_cast<int8_t>(byte()) / 8.0;  // everyday values, -16 .. 16
      default: {
        const uint64_t bits = u64();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
      }
    }
  }

  int32_t integer() {
    static const int32_t kList[] = {0, -1, 1, INT32_MIN, INT32_MAX, 2, 3, 5, 7, 16, -7, 100};
    const uint8_t sel = byte();
    switch (sel % 4) {
      case 0:
      case 1:
        return kList[byte() % (sizeof kList / sizeof kList[0])];
      case 2:
        return static_cast<int8_t>(byte());
      default:
        return static_cast<int32_t>(u32());
    }
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

[[noreturn]] void fail(const char* what, int effect, int32_t w, int32_t h, int32_t stride) {
  std::fprintf(stderr, "fx_fuzz: %s (effect %d, width %d, height %d, stride %d)\n", what,
               effect, w, h, stride);
  std::abort();
}

uint32_t canary_word(int64_t i) { return 0xDEADBEEFu ^ static_cast<uint32_t>(i * 0x9E3779B9u); }

// One block of memory: canaries, then `span` words of image, then canaries.
// `origin` is the offset of pixels[0] from the start of the image span.
struct Block {
  std::vector<uint32_t> mem;
  int64_t origin = 0;
  uint32_t* at(int64_t k) { return mem.data() + kCanaryWords + origin + k; }
};

Block make_block(int64_t lo, int64_t hi) {
  Block b;
  b.origin = -lo;
  const int64_t span = hi - lo;
  b.mem.resize(static_cast<size_t>(span + 2 * kCanaryWords));
  for (int64_t i = 0; i < kCanaryWords; ++i) {
    b.mem[static_cast<size_t>(i)] = canary_word(i);
    b.mem[static_cast<size_t>(kCanaryWords + span + i)] = canary_word(~i);
  }
  return b;
}

bool canaries_intact(const Block& b) {
  const int64_t span = static_cast<int64_t>(b.mem.size()) - 2 * kCanaryWords;
  for (int64_t i = 0; i < kCanaryWords; ++i) {
    if (b.mem[static_cast<size_t>(i)] != canary_word(i)) return false;
    if (b.mem[static_cast<size_t>(kCanaryWords + span + i)] != canary_word(~i)) return false;
  }
  return true;
}

// ---- Reference blur (brute force) -------------------------------------------

// Blurs the first w words of h rows (row distance rp) in place with the three
// boxes the engine plans for sigma. Returns false (buffer untouched) when the
// brute force would cost too much.
bool reference_blur(uint32_t* p, int32_t w, int32_t h, int64_t rp, double sigma) {
  const kvfx::BoxPlan plan = kvfx::box_sizes_for_gaussian(sigma);
  int64_t cost = 0;
  for (int i = 0; i < 3; ++i) {
    const int64_t r = plan.radius[i];
    if (r < 1) continue;
    if (r > 100000) return false;
    cost += static_cast<int64_t>(w) * h * (2 * r + 1) * 2;
  }
  if (cost > kBruteForceBudget) return false;
  std::vector<uint32_t> tmp(static_cast<size_t>(w) * h);
  for (int i = 0; i < 3; ++i) {
    const int32_t r = plan.radius[i];
    if (r < 1) continue;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        tmp[static_cast<size_t>(y) * w + x] =
            kvfx::box_blur_sample_reference(p + y * rp, 1, w, r, x);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        p[y * rp + x] = kvfx::box_blur_sample_reference(tmp.data() + x, w, h, r, y);
  }
  return true;
}

// ---- The case --------------------------------------------------------------

struct Geometry {
  int32_t w, h, stride;
  int64_t rp;  // row_pixels
};

int32_t pick_side(Input& in) {
  const uint8_t b = in.byte();
  if (b < 0xC0) return 1 + b % 24;  // mostly small, so the brute force runs
  return 1 + in.u16() % 300;
}

Geometry pick_geometry(Input& in) {
  Geometry g;
  g.w = pick_side(in);
  g.h = pick_side(in);
  const uint8_t mode = in.byte();
  const int32_t pad = 1 + in.byte() % 8;
  const int32_t w4 = 4 * g.w;
  switch (mode % 9) {
    case 0: g.stride = w4; break;
    case 1: g.stride = w4 + 4 * pad; break;
    case 2: g.stride = w4 + 4 * pad + 1 + pad % 3; break;        // not a multiple of 4
    case 3: g.stride = 4 * (in.u16() % g.w) + in.byte() % 4; break;  // below 4 * width
    case 4: g.stride = in.byte() % 4; break;                      // 0..3
    case 5: g.stride = -1 - in.byte() % 3; break;                 // -1..-3
    case 6: g.stride = -w4 - 4 * (pad - 1); break;                // bottom-up
    case 7: g.stride = -4 - (in.u16() % 2000); break;             // any negative
    default:
      // Extreme negative strides only where one row is addressed.
      g.stride = g.h == 1 ? INT32_MIN : -w4 - (in.byte() % 4);
      break;
  }
  g.rp = kvfx::row_pixels_of(g.stride);
  return g;
}

// The words a buffer of this geometry must hold, relative to pixels[0]: the
// rows (first width words each) and, for rp >= 0, the whole run.
void span_of(const Geometry& g, int64_t* lo, int64_t* hi) {
  if (g.rp >= 0) {
    *lo = 0;
    *hi = std::max<int64_t>(g.h * g.rp, (g.h - 1) * g.rp + g.w);
  } else {
    *lo = (g.h - 1) * g.rp;
    *hi = g.w;
  }
}

void fill_pixels(Input& in, Block& b) {
  const uint8_t mode = in.byte();
  uint32_t s = in.u32() | 1u;
  static const uint32_t kEdge[] = {0u, 0xFFFFFFFFu, 0xFF000000u, 0x00FFFFFFu,
                                   0x80808080u, 0xFF808080u, 0x01FF00FFu, 0xFFFFFF00u};
  const size_t n = b.mem.size() - 2 * kCanaryWords;
  for (size_t i = 0; i < n; ++i) {
    s = kvfx::xorshift32_step(s);
    uint32_t v = s;
    if (mode % 3 == 1) {  // premultiplied: colours at most alpha
      const uint32_t a = kvfx::alpha_of(v);
      v = kvfx::pack_argb(a, kvfx::red_of(v) % (a + 1), kvfx::green_of(v) % (a + 1),
                          kvfx::blue_of(v) % (a + 1));
    } else if (mode % 3 == 2) {
      v = kEdge[v % 8];
    }
    b.mem[kCanaryWords + i] = v;
  }
}

// Marks words the effect may write without a reference to compare with: the
// actual output is copied into the expectation there.
void accept_rows(Block& expect, Block& actual, const Geometry& g) {
  for (int32_t y = 0; y < g.h; ++y)
    for (int32_t x = 0; x < g.w; ++x) *expect.at(y * g.rp + x) = *actual.at(y * g.rp + x);
}
void accept_run(Block& expect, Block& actual, int64_t count) {
  for (int64_t k = 0; k < count; ++k) *expect.at(k) = *actual.at(k);
}

int run_case(const uint8_t* data, size_t size) {
  Input in(data, size);
  const int effect = in.byte() % 10;
  // Every vector level the CPU has must give the portable words.
  kvfx::limit_isa(static_cast<kvfx::Isa>(in.byte() % 3));
  const Geometry g = pick_geometry(in);
  const int32_t w = g.w, h = g.h, stride = g.stride;
  const int64_t rp = g.rp;
  const int64_t count = kvfx::run_count_of(h, stride);
  const bool fits = kvfx::rows_fit(w, stride);

  int64_t lo, hi;
  span_of(g, &lo, &hi);

  // Drop shadow: dst separate, equal to src, or overlapping it.
  int dst_mode = 0;
  int64_t dst_off = 0;
  if (effect == 2) {
    dst_mode = in.byte() % 3;
    if (dst_mode == 2) {
      const int64_t n = std::max<int64_t>(hi - lo, 1);
      dst_off = static_cast<int64_t>(in.u16() % (2 * n + 1)) - n;
      const int64_t lo2 = std::min(lo, lo + dst_off), hi2 = std::max(hi, hi + dst_off);
      lo = lo2;
      hi = hi2;
    }
  }

  Block actual = make_block(lo, hi);
  fill_pixels(in, actual);
  Block dst_actual;
  if (effect == 2 && dst_mode == 0) {
    dst_actual = make_block(lo, hi);
    fill_pixels(in, dst_actual);
  }
  Block expect = actual;
  Block dst_expect = dst_actual;

  int32_t rc = 0, want = 0;
  switch (effect) {
    case 0: {  // gaussian blur
      const double sigma = in.real();
      rc = kv_fx_gaussian_blur(actual.at(0), w, h, stride, sigma);
      want = FX_OK;
      if (sigma > 0.0 && fits && !reference_blur(expect.at(0), w, h, rp, sigma))
        accept_rows(expect, actual, g);
      break;
    }
    case 1: {  // bloom
      const double threshold = in.real(), intensity = in.real(), sigma = in.real();
      const uint32_t tint = in.u32();
      rc = kv_fx_bloom(actual.at(0), w, h, stride, threshold, intensity, sigma, tint);
      if (count < 0) { want = FX_ERR_INVALID_ARGUMENT; break; }
      want = FX_OK;
      if (!fits) break;
      const int32_t thr = kvfx::bloom_threshold(threshold);
      const double denom = kvfx::bloom_denominator(thr);
      const double tR = kvfx::red_of(tint) / 255.0, tG = kvfx::green_of(tint) / 255.0,
                   tB = kvfx::blue_of(tint) / 255.0;
      uint32_t* p = expect.at(0);
      std::vector<uint32_t> bright(static_cast<size_t>(count));
      for (int64_t k = 0; k < count; ++k)
        bright[k] = kvfx::bloom_bright_word(p[k], thr, denom, tR, tG, tB);
      if (w >= 10 && h >= 10 && sigma > 4.0) {
        const int32_t hw = w / 2, hh = h / 2;
        std::vector<uint32_t> half(static_cast<size_t>(hw) * hh);
        for (int32_t y = 0; y < hh; ++y)
          for (int32_t x = 0; x < hw; ++x) {
            const uint32_t* r0 = bright.data() + 2 * y * rp;
            const uint32_t* r1 = r0 + rp;
            half[static_cast<size_t>(y) * hw + x] = kvfx::bloom_downsample_word(
                r0[2 * x], r0[2 * x + 1], r1[2 * x], r1[2 * x + 1]);
          }
        if (!reference_blur(half.data(), hw, hh, hw, sigma * 0.5)) {
          accept_rows(expect, actual, g);
          break;
        }
        for (int32_t y = 0; y < h; ++y)
          for (int32_t x = 0; x < w; ++x) {
            const int32_t hx = std::min(x / 2, hw - 1), hy = std::min(y / 2, hh - 1);
            p[y * rp + x] = kvfx::screen_word(p[y * rp + x], half[static_cast<size_t>(hy) * hw + hx],
                                              intensity);
          }
      } else {
        if (sigma > 0.0 && !reference_blur(bright.data(), w, h, rp, sigma)) {
          accept_run(expect, actual, count);
          break;
        }
        for (int64_t k = 0; k < count; ++k) p[k] = kvfx::screen_word(p[k], bright[k], intensity);
      }
      break;
    }
    case 2: {  // drop shadow
      const double ox = in.real(), oy = in.real(), sigma = in.real();
      const uint32_t color = in.u32();
      Block& da = dst_mode == 0 ? dst_actual : actual;
      Block& de = dst_mode == 0 ? dst_expect : expect;
      const int64_t off = dst_mode == 2 ? dst_off : 0;
      rc = kv_fx_drop_shadow(actual.at(0), da.at(off), w, h, stride, ox, oy, sigma, color);
      if (!fits) { want = FX_ERR_INVALID_ARGUMENT; break; }
      want = FX_OK;
      const uint32_t* src = expect.at(0);
      uint32_t* dst = de.at(off);
      std::vector<uint32_t> shadow(static_cast<size_t>(count), 0u);
      const int32_t dx = kvfx::round_to_int32(ox), dy = kvfx::round_to_int32(oy);
      for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
          const int64_t sx = x - dx, sy = y - dy;
          if (sx >= 0 && sx < w && sy >= 0 && sy < h)
            shadow[y * rp + x] = kvfx::shadow_coverage_word(src[sy * rp + sx], color);
        }
      if (sigma > 0.0 && !reference_blur(shadow.data(), w, h, rp, sigma)) {
        for (int64_t k = 0; k < count; ++k) *de.at(off + k) = *da.at(off + k);
        break;
      }
      for (int64_t k = 0; k < count; ++k) dst[k] = kvfx::composite_word(src[k], shadow[k]);
      break;
    }
    case 3: {  // tone map
      const double exposure = in.real();
      rc = kv_fx_tone_map_aces(actual.at(0), w, h, stride, exposure);
      if (count < 0) { want = FX_ERR_INVALID_ARGUMENT; break; }
      want = FX_OK;
      for (int64_t k = 0; k < count; ++k)
        *expect.at(k) = kvfx::tone_map_word(*expect.at(k), exposure);
      break;
    }
    case 4: {  // colour grade
      const double brightness = in.real(), contrast = in.real(), saturation = in.real(),
                   gamma = in.real();
      rc = kv_fx_color_grade(actual.at(0), w, h, stride, brightness, contrast, saturation, gamma);
      if (count < 0) { want = FX_ERR_INVALID_ARGUMENT; break; }
      want = FX_OK;
      const kvfx::ChannelTable table = kvfx::color_grade_table(brightness, contrast, gamma);
      for (int64_t k = 0; k < count; ++k)
        *expect.at(k) = kvfx::color_grade_word(*expect.at(k), table, saturation);
      break;
    }
    case 5: {  // vignette
      const double strength = in.real(), radius = in.real(), softness = in.real();
      const uint32_t color = in.u32();
      rc = kv_fx_vignette(actual.at(0), w, h, stride, strength, radius, softness, color);
      want = FX_OK;
      const kvfx::VignetteParams p =
          kvfx::vignette_params(w, h, strength, radius, softness, color);
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
          uint32_t* q = expect.at(y * rp + x);
          *q = kvfx::vignette_word(*q, x, y, p);
        }
      break;
    }
    case 6: {  // film grain
      const double amount = in.real();
      const int32_t seed = in.integer();
      rc = kv_fx_film_grain(actual.at(0), w, h, stride, amount, seed);
      if (count < 0) { want = FX_ERR_INVALID_ARGUMENT; break; }
      want = FX_OK;
      uint32_t state = kvfx::film_grain_start_state(seed);
      for (int64_t k = 0; k < count; ++k) {
        state = kvfx::xorshift32_step(state);
        *expect.at(k) = kvfx::film_grain_word(*expect.at(k), state, amount * 255.0);
      }
      break;
    }
    case 7: {  // scanlines
      const int32_t spacing = in.integer();
      const double intensity = in.real();
      rc = kv_fx_scanlines(actual.at(0), w, h, stride, spacing, intensity);
      want = FX_OK;
      if (spacing <= 0) break;
      const double f = kvfx::scanline_factor(intensity);
      for (int64_t y = 0; y < h; y += spacing)
        for (int32_t x = 0; x < w; ++x) {
          uint32_t* q = expect.at(y * rp + x);
          *q = kvfx::scanline_word(*q, f);
        }
      break;
    }
    case 8: {  // chromatic aberration
      const double sx = in.real(), sy = in.real(), angle = in.real();
      rc = kv_fx_chromatic_aberration(actual.at(0), w, h, stride, sx, sy, angle);
      if (!fits) { want = FX_ERR_INVALID_ARGUMENT; break; }
      want = FX_OK;
      const std::vector<uint32_t> copy(expect.at(0), expect.at(0) + count);
      const kvfx::ChromaticShift s = kvfx::chromatic_shift(sx, sy, angle);
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
          const int64_t ryy = kvfx::clamp_coordinate(static_cast<int64_t>(y) + s.ry, h);
          const int64_t rxx = kvfx::clamp_coordinate(static_cast<int64_t>(x) + s.rx, w);
          const int64_t byy = kvfx::clamp_coordinate(static_cast<int64_t>(y) + s.by, h);
          const int64_t bxx = kvfx::clamp_coordinate(static_cast<int64_t>(x) + s.bx, w);
          *expect.at(y * rp + x) = kvfx::chromatic_word(
              copy[y * rp + x], copy[ryy * rp + rxx], copy[byy * rp + bxx]);
        }
      break;
    }
    default: {  // glitch displacement
      int32_t bands = in.integer();
      // Billions of bands would only make the case slow, not different.
      if (bands > 4096) bands = 1 + bands % 4096;
      const int32_t max_shift = in.integer(), seed = in.integer();
      rc = kv_fx_glitch_displacement(actual.at(0), w, h, stride, bands, max_shift, seed);
      want = FX_OK;
      if (bands <= 0 || 2u * static_cast<uint32_t>(max_shift) == 0u || !fits) break;
      const std::vector<uint32_t> copy(expect.at(0), expect.at(0) + count);
      uint32_t state = kvfx::glitch_start_state(seed);
      for (int32_t b = 0; b < bands; ++b) {
        const kvfx::GlitchBand band = kvfx::glitch_band(state, h, max_shift);
        if (band.start < 0 || band.end > h) fail("glitch band outside the image", effect, w, h, stride);
        for (int32_t y = band.start; y < band.end; ++y)
          for (int32_t x = 0; x < w; ++x)
            *expect.at(y * rp + x) = copy[y * rp + kvfx::glitch_column(x, band.shift, w)];
        state = band.s3;
      }
      break;
    }
  }

  if (!canaries_intact(actual) || (effect == 2 && dst_mode == 0 && !canaries_intact(dst_actual)))
    fail("write outside the buffer (canary changed)", effect, w, h, stride);
  if (rc != want) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "result code %d, expected %d", rc, want);
    fail(msg, effect, w, h, stride);
  }
  if (actual.mem != expect.mem || dst_actual.mem != dst_expect.mem) {
    const std::vector<uint32_t>& a = actual.mem != expect.mem ? actual.mem : dst_actual.mem;
    const std::vector<uint32_t>& e = actual.mem != expect.mem ? expect.mem : dst_expect.mem;
    size_t i = 0;
    while (a[i] == e[i]) ++i;
    char msg[160];
    std::snprintf(msg, sizeof msg,
                  "output differs from the reference at block word %zu (image word %lld): "
                  "got %08x, expected %08x",
                  i, static_cast<long long>(static_cast<int64_t>(i) - kCanaryWords),
                  a[i], e[i]);
    fail(msg, effect, w, h, stride);
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return run_case(data, size);
}
