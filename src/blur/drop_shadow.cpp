// Drop shadow: the source's alpha, tinted, moved and blurred, composited under
// the source into the destination.
//
// dst is written only by the final composite, after the shadow image and the
// blur's scratch exist, so a failure leaves it as it was. dst may alias src:
// the composite reads src[k] before it writes dst[k], in increasing k, and the
// shadow is built from src before any of that.
#include <algorithm>
#include <cstdint>

#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "core/kernels.h"
#include "core/simd.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "kelvo_fx.h"

namespace kvfx {

uint32_t shadow_coverage_word(uint32_t s, uint32_t color) {
  const uint32_t coverage = (alpha_of(s) * alpha_of(color)) / 255;
  return coverage << 24 | (color & 0xFFFFFFu);
}

uint32_t composite_word(uint32_t s, uint32_t h) {
  return composite_with_inverse(s, h, inverse_alpha(alpha_of(s)));
}

namespace {

// 1 - alpha / 255 for every alpha: the one division of composite_word, done
// 256 times per call instead of once per word.
struct InverseAlphaTable {
  double inv[256];
  InverseAlphaTable() {
    for (uint32_t a = 0; a < 256; ++a) inv[a] = inverse_alpha(a);
  }
};

// The shadow word for every source alpha, by shadow_coverage_word.
struct ShadowWordTable {
  uint32_t word[256];
  explicit ShadowWordTable(uint32_t color) {
    for (uint32_t a = 0; a < 256; ++a) word[a] = shadow_coverage_word(a << 24, color);
  }
};

// Generic forms of the two per-word passes, for the compiler to vectorize.
// A shadow word by its table (shadow_coverage_word of each alpha).
KVFX_INLINE void coverage_span(const uint32_t* from, uint32_t* to, int64_t n, uint32_t,
                               const uint32_t* word) {
  for (int64_t x = 0; x < n; ++x) to[x] = word[alpha_of(from[x])];
}

// d[k] = composite of s[k] over h[k], d apart from s and h.
KVFX_INLINE void composite_run(const uint32_t* s, const uint32_t* h, uint32_t* d, int64_t n,
                               const double* inverse) {
  for (int64_t k = 0; k < n; ++k) d[k] = composite_with_inverse(s[k], h[k], inverse[alpha_of(s[k])]);
}

#if KVFX_X86
// shadow_coverage_word on sixteen words at once: (a * cA) / 255 is
// (a * cA * 32897) >> 23 for every pair of bytes.
KVFX_TARGET_AVX512 void coverage_span_avx512(const uint32_t* from, uint32_t* to, int64_t n,
                                             uint32_t color, const uint32_t*) {
  const __m512i ca = _mm512_set1_epi32(static_cast<int>(color >> 24));
  const __m512i rgb = _mm512_set1_epi32(static_cast<int>(color & 0xFFFFFFu));
  for (int64_t x = 0; x < n; x += 16) {
    const __mmask16 m = tail_mask16(n - x);
    const __m512i a = _mm512_srli_epi32(_mm512_maskz_loadu_epi32(m, from + x), 24);
    const __m512i product = _mm512_mullo_epi32(a, ca);
    const __m512i cover = _mm512_srli_epi32(_mm512_mullo_epi32(product, _mm512_set1_epi32(32897)), 23);
    _mm512_mask_storeu_epi32(to + x, m, _mm512_or_si512(_mm512_slli_epi32(cover, 24), rgb));
  }
}
#endif

// The word by word composite, in increasing k: the only form that may run
// with dst overlapping src.
void composite_run_in_order(const uint32_t* s, const uint32_t* h, uint32_t* d, int64_t n,
                            const double* inverse) {
  for (int64_t k = 0; k < n; ++k) {
    const uint32_t sw = s[k];
    d[k] = composite_with_inverse(sw, h[k], inverse[alpha_of(sw)]);
  }
}

#if KVFX_X86
// composite_with_inverse on eight words: h_c * inv + s_c per channel in
// doubles (product rounded first), then channel_to_byte. Words whose shadow is 0 or whose source is opaque come out as
// the source word, so a block of only those is copied.
KVFX_TARGET_AVX512 inline __m256i composite_channel8(__m256i hc, __m256i sc, __m512d inv) {
  const __m512d v = _mm512_add_pd(_mm512_mul_pd(_mm512_cvtepi32_pd(hc), inv), _mm512_cvtepi32_pd(sc));
  return channel_to_byte8(v);
}

KVFX_TARGET_AVX512 void composite_run_avx512(const uint32_t* s, const uint32_t* h, uint32_t* d,
                                             int64_t n, const double* inverse) {
  const __m256i ff = _mm256_set1_epi32(0xFF);
  for (int64_t k = 0; k < n; k += 8) {
    const __mmask8 m = tail_mask8(n - k);
    const __m256i sw = _mm256_maskz_loadu_epi32(m, s + k);
    const __m256i hw = _mm256_maskz_loadu_epi32(m, h + k);
    const __m256i sa = _mm256_srli_epi32(sw, 24);
    const __mmask8 busy = _mm256_mask_test_epi32_mask(m, hw, hw) &
                          _mm256_cmpneq_epi32_mask(sa, ff);
    if (busy == 0) {
      _mm256_mask_storeu_epi32(d + k, m, sw);
      continue;
    }
    const __m512d inv = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), m, sa, inverse, 8);
    const __m256i a = composite_channel8(_mm256_srli_epi32(hw, 24), sa, inv);
    const __m256i r = composite_channel8(channel8<16>(hw), channel8<16>(sw), inv);
    const __m256i g = composite_channel8(channel8<8>(hw), channel8<8>(sw), inv);
    const __m256i b = composite_channel8(channel8<0>(hw), channel8<0>(sw), inv);
    const __m256i out = _mm256_or_si256(
        _mm256_or_si256(_mm256_slli_epi32(a, 24), _mm256_slli_epi32(r, 16)),
        _mm256_or_si256(_mm256_slli_epi32(g, 8), b));
    _mm256_mask_storeu_epi32(d + k, m, out);
  }
}
#endif

struct ShadowKernels {
  // to[x] = the shadow word of from[x]'s alpha (word: that for every alpha).
  void (*coverage_span)(const uint32_t* from, uint32_t* to, int64_t n, uint32_t color,
                        const uint32_t* word);
  // d[k] = composite of s[k] over h[k] for k < n; d apart from s and h.
  void (*composite_run)(const uint32_t* s, const uint32_t* h, uint32_t* d, int64_t n,
                        const double* inverse);
};

using Coverage = AtEachLevel<coverage_span>;
using Composite = AtEachLevel<composite_run>;
const ShadowKernels kPortable = {Coverage::portable, Composite::portable};
const ShadowKernels kAvx2 = {Coverage::avx2, Composite::avx2};
#if KVFX_X86
const ShadowKernels kAvx512 = {coverage_span_avx512, composite_run_avx512};
#else
const ShadowKernels kAvx512 = {Coverage::avx512, Composite::avx512};
#endif
const KernelTable<ShadowKernels> kShadowKernels = {&kPortable, &kAvx2, &kAvx512, nullptr, nullptr};

// Row y of the shadow image: word x takes the source's alpha at
// (x - dx, y - dy) where that lies inside width x height, and is 0 elsewhere.
// The in-range columns are the same for every row, worked out in 64 bits (dx
// may be INT32_MIN).
void shadow_row(const uint32_t* src, uint32_t* to, int32_t width, int32_t height,
                int64_t row_pixels, int32_t dx, int32_t dy, const ShadowWordTable& shadow_words,
                uint32_t color, int64_t y, const ShadowKernels& kernels) {
  std::fill(to, to + width, 0u);
  const int64_t sy = y - dy;
  if (sy < 0 || sy >= height) return;
  const int64_t x_begin = std::max<int64_t>(0, dx);
  const int64_t x_end = std::min<int64_t>(width, static_cast<int64_t>(width) + dx);
  if (x_begin >= x_end) return;
  const uint32_t* from = src + sy * row_pixels + (x_begin - dx);
  kernels.coverage_span(from, to + x_begin, x_end - x_begin, color, shadow_words.word);
}

// dst is a separate block: the shadow is built, blurred and composited one
// row at a time and never stored whole. Row j of dst is written only after
// the blur has taken every shadow row it needs, and the shadow rows are
// built from src, which dst does not touch.
class StreamedShadow final : public BlurRows {
 public:
  StreamedShadow(const uint32_t* src, uint32_t* dst, int32_t width, int32_t height,
                 int64_t row_pixels, int32_t dx, int32_t dy, uint32_t color)
      : src_(src), dst_(dst), width_(width), height_(height), row_pixels_(row_pixels),
        dx_(dx), dy_(dy), color_(color), shadow_words_(color),
        rows_(ScratchImage::uninitialised(2 * int64_t{width})),
        kernels_(pick(kShadowKernels)) {}

  const uint32_t* input_row(int32_t y) override {
    shadow_row(src_, rows_.data(), width_, height_, row_pixels_, dx_, dy_, shadow_words_, color_, y,
               kernels_);
    return rows_.data();
  }
  uint32_t* output_row(int32_t) override { return rows_.data() + width_; }
  void row_done(int32_t j) override {
    const uint32_t* s = src_ + j * row_pixels_;
    uint32_t* d = dst_ + j * row_pixels_;
    kernels_.composite_run(s, rows_.data() + width_, d, width_, inverse_.inv);
    // Padding has no shadow, and the composite over 0 is the source word.
    std::copy(s + width_, s + row_pixels_, d + width_);
  }

 private:
  const uint32_t* src_;
  uint32_t* dst_;
  int32_t width_, height_;
  int64_t row_pixels_;
  int32_t dx_, dy_;
  uint32_t color_;
  ShadowWordTable shadow_words_;
  ScratchImage rows_;
  InverseAlphaTable inverse_;
  const ShadowKernels& kernels_;
};

bool runs_overlap(const uint32_t* a, const uint32_t* b, int64_t count) {
  const auto pa = reinterpret_cast<uintptr_t>(a), pb = reinterpret_cast<uintptr_t>(b);
  const auto bytes = static_cast<uintptr_t>(count) * sizeof(uint32_t);
  return pa < pb + bytes && pb < pa + bytes;
}

}  // namespace
}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_drop_shadow(const uint32_t* src, uint32_t* dst,
                                               int32_t width, int32_t height,
                                               int32_t stride, double offset_x,
                                               double offset_y, double sigma,
                                               uint32_t color) {
  // The shadow build writes width words per row of an image with the
  // caller's rows, so the policy refuses rows that overlap.
  return kvfx::run_effect(kvfx::entry::kDropShadow, src && dst ? src : nullptr, width,
                          height, stride, [&](const kvfx::Buffer& b) {
    const int32_t dx = kvfx::round_to_int32(offset_x);
    const int32_t dy = kvfx::round_to_int32(offset_y);
    if (!kvfx::runs_overlap(src, dst, b.run_count)) {
      kvfx::StreamedShadow rows(src, dst, width, height, b.row_pixels, dx, dy, color);
      kvfx::gaussian_blur_rows(width, height, sigma, rows);
      return;
    }
    // dst is src, or overlaps it: the whole shadow first, then the composite
    // word by word in increasing order, each source word read just before
    // its destination word is written.
    kvfx::ScratchImage shadow = kvfx::ScratchImage::zeroed(b.run_count);
    uint32_t* h = shadow.data();
    const kvfx::ShadowWordTable shadow_words(color);
    for (int64_t y = 0; y < height; ++y)
      kvfx::shadow_row(src, h + y * b.row_pixels, width, height, b.row_pixels, dx, dy,
                       shadow_words, color, y, kvfx::kPortable);
    kvfx::gaussian_blur_in_place(h, width, height, b.row_pixels, sigma);
    const kvfx::InverseAlphaTable inverse;
    kvfx::composite_run_in_order(src, h, dst, b.run_count, inverse.inv);
  });
}
