// Vignette: a smoothstep of the distance from the centre, normalised by the
// half-diagonal, blends each pixel toward a colour. Rows only, so bottom-up
// (negative stride) buffers work and padding is never touched.
#include <algorithm>
#include <vector>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "color/color_effects.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "core/channel_table.h"
#include "core/kernels.h"
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

uint32_t vignette_word(uint32_t w, int32_t x, int32_t y, const VignetteParams& p) {
  const double d = std::hypot(static_cast<double>(x) - p.cx,
                              static_cast<double>(y) - p.cy);
  return vignette_blend(w, vignette_weight(d, p), p);
}

namespace {

// Where the weights may come from sqrt instead of hypot (see WeightRow): the
// one-word form calls hypot, and glibc documents its hypot within one unit
// in the last place of the exact distance, which the correctly rounded
// square root of the exact sum of squares is too; so hypot gives that root
// or one of its two neighbours. Emscripten's libc takes the square root of
// the sum of squares kept in two doubles each, which is that root itself
// wherever the squares and their sum are exact, as they are for the
// half-integer offsets here. Elsewhere nothing is assumed of hypot.
#if defined(__GLIBC__) || defined(__EMSCRIPTEN__)
constexpr bool kHypotWithinOneUlp = true;
#else
constexpr bool kHypotWithinOneUlp = false;
#endif

// The blend estimated in floats, taken where it is sure of the bytes.
//
// The formula is c (1 - v) + v k per channel (c and k bytes). In floats,
// each rounding at most u = 2^-24 relative (v and the products and sums,
// rounded on their own), c (1 - v) + (v k + or - E) lands within 255 u (5 |v|
// + 3 |1 - v|) (plus terms in u^2 and E u), below 255 u (8 S + 3) for
// |v| <= S = |strength|, of the exact value + or - E; the double formula is
// within 2^-40 (1 + S) of it, and a weight from a distance one unit in the
// last place off (see WeightRow) moves it by less than 2^-22 S. With E
// twice the first bound plus 2^-20 (1 + S), lo and hi bracket the formula's
// value, and channel_to_byte, which never decreases, gives its byte wherever
// it gives the same byte at both ends. Blocks where they differ anywhere are
// done by the formula, with weights from hypot.
inline bool blend_estimable(const VignetteParams& p) {
  if (!rounding_to_nearest()) return false;
  return std::fabs(p.strength) <= 16.0;
}

inline float blend_width(const VignetteParams& p) {
  const double s = std::fabs(p.strength);
  return static_cast<float>(2.0 * 0x1p-24 * 255.0 * (8.0 * s + 3.0) + 0x1p-20 * (1.0 + s));
}

// What a blend kernel needs to redo a block by the formula when its weights
// are estimates: the row's vertical offset from the centre and the column
// of its first word, for hypot.
struct ExactWeights {
  double dy;
  int32_t x0;
};

struct VignetteKernels {
  // The blend of row[0 .. width - 1] by weight[]; exact is null when the
  // weights are the formula's own, else they are estimates (see WeightRow)
  // and only a kernel with `estimates` is given them.
  void (*blend_row)(uint32_t* row, const double* weight, int32_t width, const VignetteParams* p,
                    const ExactWeights* exact);
  // d[i] = vignette_weight(d[i]).
  void (*weights)(double* d, int32_t n, const VignetteParams* p);
  // Estimated weights of columns x0 .. x0 + n - 1 of a row dy from the
  // centre, into v[0 .. n - 1] (see WeightRow), and how many are 0; used
  // when `estimates`.
  int32_t (*estimated_weights)(double* v, int32_t x0, int32_t n, double dy,
                               const VignetteParams* p);
  // v[x] = v[width - x] for x in (half, width).
  void (*mirror)(double* v, int32_t half, int32_t width);
  bool estimates;
};

// The weight depends on |x - cx| and |y - cy| only, and hypot is even in
// each argument, so rows y and height - y share one row of weights, and in
// a row columns x and width - x share one weight (cx = width / 2 exactly,
// so both differences are exact). Most pixels lie where the smoothstep is
// flat: a plain square root, with a margin far wider than its error, shows
// that without hypot (t is monotone in d), and hypot runs only on the slope.
//
// With a kernel that estimates, the slope too is weighed at the correctly
// rounded root (exact sums of squares of half-integers below 2^24), and t
// is taken by the reciprocals of maxd and band rather than by division.
// From a distance one unit off, t moves by at most 2^-51 (1 / band + 1);
// the reciprocals and their products, six roundings of 2^-53 on d / maxd <=
// 1 and on |t| (only |t| <= 1 matters, the clamp taking t beyond it to the
// same end either way), move it by less than that again. The weight then
// moves by 1.5 S times their sum plus a few units, below 2^-29 S for a band
// of 2^-20 or more, which the blend's bracket covers. The one decision the
// bracket cannot cover is a block skipped for weight 0: where the estimate
// is 0 but the formula's weight at the root's upper neighbour is not, hypot
// decides.
class WeightRow {
 public:
  WeightRow(const VignetteParams& p, int32_t width, int32_t height,
            const VignetteKernels& kernels)
      : p_(p), width_(width), v_(ScratchArray<double>::uninitialised(width)), kernels_(kernels) {
    v_inner_ = vignette_weight_at(0.0, p);
    v_outer_ = vignette_weight_at(1.0, p);
    // Distances just inside the flat parts, checked with the formula itself;
    // a check that fails (NaN arguments, say) leaves hypot for every pixel.
    const double inner = (p.radius * p.maxd) * (1.0 - 1e-9);
    const double outer = ((p.radius + p.band) * p.maxd) * (1.0 + 1e-9);
    if (vignette_t(inner, p) <= 0.0) d_inner_ = inner;
    if (vignette_t(outer, p) >= 1.0) d_outer_ = outer;
    estimated_ = kHypotWithinOneUlp && kernels.estimates && blend_estimable(p) &&
                 p.band >= 0x1p-20 && width <= (1 << 24) && height <= (1 << 24);
  }

  bool estimated() const { return estimated_; }
  // Of the row last given: columns [0, left_end) and [right_begin, width)
  // lie where the weight is flat at its outer value.
  int32_t left_end() const { return left_end_; }
  int32_t right_begin() const { return right_begin_; }

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
    left_end_ = outer_end;
    right_begin_ = std::min(width_, std::max(half + 1, width_ - outer_end + 1));
    double* v = v_.data();
    std::fill(v, v + outer_end, v_outer_);
    // The distances first, then their weights in vector lanes.
    int32_t zeros = 0;
    if (estimated_) {
      zeros = kernels_.estimated_weights(v + outer_end, outer_end, inner_begin - outer_end, dy, &p_);
    } else {
      for (int32_t x = outer_end; x < inner_begin; ++x) v[x] = std::hypot(dx_of(x), dy);
      kernels_.weights(v + outer_end, inner_begin - outer_end, &p_);
    }
    if (zeros > 0) {
      for (int32_t x = outer_end; x < inner_begin; ++x) {
        if (v[x] != 0.0) continue;
        const double above = std::nextafter(root(dx_of(x), dy), HUGE_VAL);
        if (vignette_weight(above, p_) != 0.0) v[x] = vignette_weight(std::hypot(dx_of(x), dy), p_);
      }
    }
    std::fill(v + inner_begin, v + half + 1, v_inner_);
    kernels_.mirror(v, half, width_);
    return v;
  }

 private:
  static double root(double dx, double dy) { return std::sqrt(dx * dx + dy * dy); }
  // The true distance lies within 1e-12 of the plain square root
  // (relative), so beyond these margins it is on the same side of the
  // checked distance, and t is monotone in d.
  bool flat_inside(double dx, double dy) const {
    return root(dx, dy) * (1.0 + 1e-12) <= d_inner_;
  }
  bool flat_outside(double dx, double dy) const {
    return root(dx, dy) * (1.0 - 1e-12) >= d_outer_;
  }

  const VignetteParams& p_;
  int32_t width_;
  ScratchArray<double> v_;
  const VignetteKernels& kernels_;
  double v_inner_, v_outer_;
  double d_inner_ = -1.0;
  double d_outer_ = std::numeric_limits<double>::infinity();
  bool estimated_ = false;
  int32_t left_end_ = 0, right_begin_ = 0;
};

// Whether some of weight[0 .. n - 1] is other than 0 or -0: some bit but the
// sign set. (Tested on the bits, which the compilers vectorize; a compare of
// doubles they do not.)
KVFX_INLINE bool some_weight_moves(const double* weight, int32_t n) {
  uint64_t moves = 0;
  for (int32_t i = 0; i < n; ++i) {
    uint64_t bits;
    std::memcpy(&bits, weight + i, sizeof bits);
    moves |= bits << 1;
  }
  return moves != 0;
}

// vignette_blend on a row, written for the compiler to vectorize: the same
// operations in the same order, one word per lane.
KVFX_INLINE void blend_row(uint32_t* row, const double* weight, int32_t width,
                           const VignetteParams* p) {
  // A weight of exactly 0 gives ch * 1 + 0 * k = ch, so blocks inside the
  // radius, most of a frame, are skipped whole.
  constexpr int32_t kBlock = 16;
  int32_t x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    if (!some_weight_moves(weight + x, kBlock)) continue;
    for (int32_t i = 0; i < kBlock; ++i) row[x + i] = vignette_blend(row[x + i], weight[x + i], *p);
  }
  for (; x < width; ++x) row[x] = vignette_blend(row[x], weight[x], *p);
}

// d[i] = vignette_weight(d[i], p), for the compiler to vectorize.
// (The parameters copied, so that no store to d may change them.)
KVFX_INLINE void weights_in_place(double* d, int32_t n, const VignetteParams* p) {
  const VignetteParams q = *p;
  for (int32_t i = 0; i < n; ++i) d[i] = vignette_weight(d[i], q);
}

// WeightRow's estimates in one loop for the compiler to vectorize: the
// correctly rounded root, then t by reciprocals.
KVFX_INLINE int32_t estimated_weights(double* v, int32_t x0, int32_t n, double dy,
                                      const VignetteParams* p) {
  const VignetteParams q = *p;
  const double dy2 = dy * dy, per_maxd = 1.0 / q.maxd, per_band = 1.0 / q.band;
  int32_t zeros = 0;
  for (int32_t i = 0; i < n; ++i) {
    const double dx = static_cast<double>(x0 + i) - q.cx;
    v[i] = vignette_weight_at((std::sqrt(dx * dx + dy2) * per_maxd - q.radius) * per_band, q);
    zeros += v[i] == 0.0;
  }
  return zeros;
}

KVFX_INLINE void mirror_weights(double* v, int32_t half, int32_t width) {
  for (int32_t x = half + 1; x < width; ++x) v[x] = v[width - x];
}

// Word x of the row by the formula; with estimated weights, from hypot's
// weight.
inline void blend_word_by_formula(uint32_t* row, const double* weight, int32_t x,
                                  const VignetteParams* p, const ExactWeights* exact) {
  const double v =
      exact == nullptr
          ? weight[x]
          : vignette_weight(std::hypot(static_cast<double>(exact->x0 + x) - p->cx, exact->dy), *p);
  row[x] = vignette_blend(row[x], v, *p);
}

// Compiled for SIMD128, a loop that reads the doubles runs two lanes wide;
// there the weights become floats (and their zero test words) first, so
// that the estimate's lanes are all 32 bits wide. Elsewhere that pass
// costs more than it saves.
#if defined(__wasm_simd128__)
constexpr bool kWeightsFirst = true;
#else
constexpr bool kWeightsFirst = false;
#endif

// The blend by the float bracket where no kernel is written by hand (the
// same float operations in the same order as the AVX2 kernel below, so the
// same bracket holds), for the compiler to vectorize in chunks: a word is
// written where both ends give its bytes or its weight is 0 (its result is
// its input), the rest by the formula. Blocks whose weights are all 0, most
// of a frame, are skipped whole.
KVFX_INLINE void blend_row_estimated(uint32_t* row, const double* weight, int32_t width,
                                     const VignetteParams* p, const ExactWeights* exact) {
  if (!blend_estimable(*p)) return blend_row(row, weight, width, p);  // weights are exact then
  const float kr = static_cast<float>(p->kr), kg = static_cast<float>(p->kg),
              kb = static_cast<float>(p->kb), e = blend_width(*p);
  // |f| stays below 2^14 for the strengths the bracket takes.
  auto byte = [](float f) { return clamp_to_byte(truncate_small(f)); };
  constexpr int32_t kBlock = 64;
  for (int32_t x0 = 0; x0 < width; x0 += kBlock) {
    const int32_t n = std::min(kBlock, width - x0);
    if (!some_weight_moves(weight + x0, n)) continue;
    uint32_t* r = row + x0;
    const double* wt = weight + x0;
    float wf[kBlock];
    uint32_t moves[kBlock];
    if (kWeightsFirst) {
      for (int32_t i = 0; i < n; ++i) {
        wf[i] = static_cast<float>(wt[i]);
        moves[i] = wt[i] != 0.0;
      }
    }
    auto estimate = [&](int64_t i) {
      const uint32_t w = r[i];
      const float v = kWeightsFirst ? wf[i] : static_cast<float>(wt[i]), keep = 1.0f - v;
      const float rk = channel_float(red_of(w)) * keep, gk = channel_float(green_of(w)) * keep,
                  bk = channel_float(blue_of(w)) * keep;
      const float vr = v * kr, vg = v * kg, vb = v * kb;
      const uint32_t lo = byte(rk + (vr - e)) << 16 | byte(gk + (vg - e)) << 8 | byte(bk + (vb - e));
      const uint32_t hi = byte(rk + (vr + e)) << 16 | byte(gk + (vg + e)) << 8 | byte(bk + (vb + e));
      const bool still = kWeightsFirst ? moves[i] == 0 : wt[i] == 0.0;
      r[i] = lo != hi || still ? w : (w & 0xFF000000u) | lo;
      return lo != hi && !still;
    };
    auto fix = [&](int64_t i) { blend_word_by_formula(row, weight, x0 + static_cast<int32_t>(i), p, exact); };
    estimate_then_fix(n, estimate, fix);
  }
}

#if KVFX_X86

KVFX_TARGET_AVX512 inline __m512 channel_ps(__m512i w, int shift) {
  return _mm512_cvtepi32_ps(
      _mm512_and_si512(_mm512_srlv_epi32(w, _mm512_set1_epi32(shift)), _mm512_set1_epi32(0xFF)));
}

// kBlack: the colour is black, so v k is 0 and v k - E, v k + E are -E and
// E, the same floats with three products and six sums fewer.
template <bool kBlack>
KVFX_TARGET_AVX512 void blend_row_avx512_t(uint32_t* row, const double* weight, int32_t width,
                                           const VignetteParams* p, const ExactWeights* exact) {
  const __m512 kr = _mm512_set1_ps(static_cast<float>(p->kr)),
               kg = _mm512_set1_ps(static_cast<float>(p->kg)),
               kb = _mm512_set1_ps(static_cast<float>(p->kb)),
               e = _mm512_set1_ps(blend_width(*p)), one = _mm512_set1_ps(1.0f);
  for (int32_t x = 0; x < width; x += 16) {
    prefetch_ahead(row + x);
    const __mmask16 m = tail_mask16(width - x);
    const __m512d v0 = _mm512_maskz_loadu_pd(static_cast<__mmask8>(m), weight + x);
    const __m512d v1 = _mm512_maskz_loadu_pd(static_cast<__mmask8>(m >> 8), weight + x + 8);
    // A weight of exactly 0 gives ch * 1 + 0 * k = ch: most of a frame, and
    // the lanes of a block across the inner edge, whose exact results no
    // bracket could be sure of.
    const __mmask16 still = static_cast<__mmask16>(
        _mm512_cmpeq_pd_mask(v0, _mm512_setzero_pd()) |
        _mm512_cmpeq_pd_mask(v1, _mm512_setzero_pd()) << 8);
    if (still == 0xFFFF) continue;
    const __m512 v = _mm512_castpd_ps(_mm512_insertf64x4(
        _mm512_castps_pd(_mm512_castps256_ps512(_mm512_cvtpd_ps(v0))),
        _mm256_castps_pd(_mm512_cvtpd_ps(v1)), 1));
    const __m512 keep = _mm512_sub_ps(one, v);
    const __m512i w = _mm512_maskz_loadu_epi32(m, row + x);
    const __m512 rk = _mm512_mul_ps(channel_ps(w, 16), keep),
                 gk = _mm512_mul_ps(channel_ps(w, 8), keep),
                 bk = _mm512_mul_ps(channel_ps(w, 0), keep);
    const __m512 minus_e = _mm512_sub_ps(_mm512_setzero_ps(), e);
    const __m512 vr = kBlack ? _mm512_setzero_ps() : _mm512_mul_ps(v, kr),
                 vg = kBlack ? _mm512_setzero_ps() : _mm512_mul_ps(v, kg),
                 vb = kBlack ? _mm512_setzero_ps() : _mm512_mul_ps(v, kb);
    const __m512 lr = kBlack ? minus_e : _mm512_sub_ps(vr, e), hr = kBlack ? e : _mm512_add_ps(vr, e),
                 lg = kBlack ? minus_e : _mm512_sub_ps(vg, e), hg = kBlack ? e : _mm512_add_ps(vg, e),
                 lb = kBlack ? minus_e : _mm512_sub_ps(vb, e), hb = kBlack ? e : _mm512_add_ps(vb, e);
    const __m512i a = _mm512_srli_epi32(w, 24);
    const __m512i lo = pack_channels16(_mm512_cvttps_epi32(_mm512_add_ps(rk, lr)),
                                       _mm512_cvttps_epi32(_mm512_add_ps(gk, lg)),
                                       _mm512_cvttps_epi32(_mm512_add_ps(bk, lb)), a);
    const __m512i hi = pack_channels16(_mm512_cvttps_epi32(_mm512_add_ps(rk, hr)),
                                       _mm512_cvttps_epi32(_mm512_add_ps(gk, hg)),
                                       _mm512_cvttps_epi32(_mm512_add_ps(bk, hb)), a);
    // Words whose two ends differ, a few in a thousand, go by the formula.
    const __mmask16 moves = static_cast<__mmask16>(m & ~still);
    uint32_t unsure = _mm512_mask_cmpneq_epi32_mask(moves, lo, hi);
    _mm512_mask_storeu_epi32(row + x, static_cast<__mmask16>(moves & ~unsure), lo);
    for (; unsure != 0; unsure &= unsure - 1)
      blend_word_by_formula(row, weight, x + __builtin_ctz(unsure), p, exact);
  }
}

// The same at the AVX2 level, eight words at a time.
KVFX_TARGET_AVX2 inline __m256 channel_ps8(__m256i w, int shift) {
  return _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srl_epi32(w, _mm_cvtsi32_si128(shift)),
                                             _mm256_set1_epi32(0xFF)));
}

template <bool kBlack>
KVFX_TARGET_AVX2 void blend_row_avx2_t(uint32_t* row, const double* weight, int32_t width,
                                       const VignetteParams* p, const ExactWeights* exact) {
  const __m256 kr = _mm256_set1_ps(static_cast<float>(p->kr)),
               kg = _mm256_set1_ps(static_cast<float>(p->kg)),
               kb = _mm256_set1_ps(static_cast<float>(p->kb)),
               e = _mm256_set1_ps(blend_width(*p)), one = _mm256_set1_ps(1.0f);
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    prefetch_ahead(row + x);
    const __m256d v0 = _mm256_loadu_pd(weight + x), v1 = _mm256_loadu_pd(weight + x + 4);
    const __m256d zero = _mm256_setzero_pd();
    const uint32_t still = static_cast<uint32_t>(_mm256_movemask_pd(_mm256_cmp_pd(v0, zero, _CMP_EQ_OQ)) |
                                                 _mm256_movemask_pd(_mm256_cmp_pd(v1, zero, _CMP_EQ_OQ)) << 4);
    if (still == 0xFF) continue;
    const __m256 v = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(v0)),
                                          _mm256_cvtpd_ps(v1), 1);
    const __m256 keep = _mm256_sub_ps(one, v);
    __m256i* at = reinterpret_cast<__m256i*>(row + x);
    const __m256i w = _mm256_loadu_si256(at);
    const __m256 rk = _mm256_mul_ps(channel_ps8(w, 16), keep),
                 gk = _mm256_mul_ps(channel_ps8(w, 8), keep),
                 bk = _mm256_mul_ps(channel_ps8(w, 0), keep);
    const __m256 minus_e = _mm256_sub_ps(_mm256_setzero_ps(), e);
    const __m256 vr = kBlack ? _mm256_setzero_ps() : _mm256_mul_ps(v, kr),
                 vg = kBlack ? _mm256_setzero_ps() : _mm256_mul_ps(v, kg),
                 vb = kBlack ? _mm256_setzero_ps() : _mm256_mul_ps(v, kb);
    const __m256 lr = kBlack ? minus_e : _mm256_sub_ps(vr, e), hr = kBlack ? e : _mm256_add_ps(vr, e),
                 lg = kBlack ? minus_e : _mm256_sub_ps(vg, e), hg = kBlack ? e : _mm256_add_ps(vg, e),
                 lb = kBlack ? minus_e : _mm256_sub_ps(vb, e), hb = kBlack ? e : _mm256_add_ps(vb, e);
    const __m256i a = _mm256_srli_epi32(w, 24);
    const __m256i lo = pack_channels8(_mm256_cvttps_epi32(_mm256_add_ps(rk, lr)),
                                      _mm256_cvttps_epi32(_mm256_add_ps(gk, lg)),
                                      _mm256_cvttps_epi32(_mm256_add_ps(bk, lb)), a);
    const __m256i hi = pack_channels8(_mm256_cvttps_epi32(_mm256_add_ps(rk, hr)),
                                      _mm256_cvttps_epi32(_mm256_add_ps(gk, hg)),
                                      _mm256_cvttps_epi32(_mm256_add_ps(bk, hb)), a);
    // Words whose two ends differ keep their input for the formula. (A lane
    // of weight 0, whose exact result c gives the ends c - 1 and c, or 0 and
    // 0, keeps its input either way, which is its result.)
    const __m256i differ = _mm256_xor_si256(_mm256_cmpeq_epi32(lo, hi), _mm256_set1_epi32(-1));
    _mm256_storeu_si256(at, _mm256_blendv_epi8(lo, w, differ));
    uint32_t unsure =
        static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(differ))) & ~still;
    for (; unsure != 0; unsure &= unsure - 1)
      blend_word_by_formula(row, weight, x + __builtin_ctz(unsure), p, exact);
  }
  for (; x < width; ++x) blend_word_by_formula(row, weight, x, p, exact);
}

using BlendRow = void (*)(uint32_t* row, const double* weight, int32_t width,
                         const VignetteParams* p, const ExactWeights* exact);
using FormulaRow = void (*)(uint32_t* row, const double* weight, int32_t width,
                            const VignetteParams* p);

// A level's blend: its bracket kernel, toward black (kBlack) or another
// colour, or the formula where the bracket does not hold.
template <BlendRow kBlack, BlendRow kColour, FormulaRow kFormula>
void bracket_blend(uint32_t* row, const double* weight, int32_t width, const VignetteParams* p,
                   const ExactWeights* exact) {
  if (!blend_estimable(*p)) return kFormula(row, weight, width, p);
  const bool black = p->kr == 0.0 && p->kg == 0.0 && p->kb == 0.0;
  (black ? kBlack : kColour)(row, weight, width, p, exact);
}

#endif

using Weights = AtEachLevel<weights_in_place>;
using Estimates = AtEachLevel<estimated_weights>;
using Mirror = AtEachLevel<mirror_weights>;
const VignetteKernels kPortable = {AtEachLevel<blend_row_estimated>::portable, Weights::portable,
                                   Estimates::portable, Mirror::portable, true};
#if KVFX_X86
const BlendRow kBlendAvx2 =
    bracket_blend<blend_row_avx2_t<true>, blend_row_avx2_t<false>, AtEachLevel<blend_row>::avx2>;
const BlendRow kBlendAvx512 = bracket_blend<blend_row_avx512_t<true>, blend_row_avx512_t<false>,
                                            AtEachLevel<blend_row>::avx512>;
const VignetteKernels kAvx2 = {kBlendAvx2, Weights::avx2, Estimates::avx2, Mirror::avx2, true},
                      kAvx512 = {kBlendAvx512, Weights::avx512, Estimates::avx512,
                                 Mirror::avx512, true};
#else
const VignetteKernels kAvx2 = kPortable, kAvx512 = kPortable;
#endif
const KernelTable<VignetteKernels> kVignetteKernels = {&kPortable, &kAvx2, &kAvx512, nullptr,
                                                       nullptr};

// The blend where the weight is flat at its outer value is a map of each
// channel on its own: three tables by the formula, made once per call.
struct OuterTables {
  ChannelTable r, g, b;
  explicit OuterTables(const VignetteParams& p) {
    const double v_outer = vignette_weight_at(1.0, p);
    r = make_channel_table([&](uint32_t c) { return red_of(vignette_blend(c << 16, v_outer, p)); });
    g = make_channel_table([&](uint32_t c) { return green_of(vignette_blend(c << 8, v_outer, p)); });
    b = make_channel_table([&](uint32_t c) { return blue_of(vignette_blend(c, v_outer, p)); });
  }
};

// Rows y of the row pairs [first, end): pair y is row y and row height - y,
// which share their weights (row 0 has no partner). Overlapping rows (a
// stride below 4 * width) share words and must be visited in order, 0 to
// height - 1, each reading what the previous rows left: `in_order` then
// takes rows [first, end) one by one.
void vignette_rows(uint32_t* pixels, int32_t width, int32_t height, int64_t row_pixels,
                   const VignetteParams& p, const VignetteKernels& k, const OuterTables& outer,
                   WeightRow& weights, int64_t first, int64_t end, bool in_order) {
  auto row_at = [&](int64_t y) { return pixels + static_cast<ptrdiff_t>(y * row_pixels); };
  auto blend = [&](int64_t y, const double* v) {
    uint32_t* row = row_at(y);
    const int32_t left = weights.left_end(), right = weights.right_begin();
    apply_channel_tables(row, left, outer.r, outer.g, outer.b);
    apply_channel_tables(row + right, width - right, outer.r, outer.g, outer.b);
    const ExactWeights exact = {static_cast<double>(y) - p.cy, left};
    k.blend_row(row + left, v + left, right - left, &p, weights.estimated() ? &exact : nullptr);
  };
  if (in_order) {
    for (int64_t y = first; y < end; ++y) blend(y, weights.row(static_cast<int32_t>(y)));
    return;
  }
  for (int64_t y = first; y < end; ++y) {
    const double* v = weights.row(static_cast<int32_t>(y));
    blend(y, v);
    const int64_t mirror = height - y;
    if (mirror > y && mirror < height) blend(mirror, v);
  }
}

}  // namespace

// Split: the row pairs cut into equal spans, each weighed by absolute row
// with a weight row of its own.
int32_t vignette(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                 double strength, double radius, double softness, uint32_t color,
                 Runner& runner) {
  return run_effect(entry::kVignette, pixels, width, height, stride, [&](const Buffer& b) {
    const VignetteParams p = vignette_params(width, height, strength, radius, softness, color);
    const VignetteKernels& k = pick(kVignetteKernels);
    const OuterTables outer(p);
    const bool in_order = !rows_apart(width, b.row_pixels);
    const int64_t pairs = in_order ? 1 : height / 2 + 1;
    const int pieces = pieces_for(runner, int64_t{width} * height, pairs);
    std::vector<WeightRow> weights;
    weights.reserve(static_cast<size_t>(pieces));
    for (int i = 0; i < pieces; ++i) weights.emplace_back(p, width, height, k);
    runner.run(pieces, [&](int i) {
      const Span span = in_order ? Span{0, height} : span_of(pairs, pieces, i);
      vignette_rows(pixels, width, height, b.row_pixels, p, k, outer, weights[i], span.begin,
                    span.end, in_order);
    });
  });
}

}  // namespace kvfx
