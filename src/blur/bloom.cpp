// Bloom: the bright parts of the image, tinted and blurred, screened back over
// it. Large glows are blurred on a half-size copy with half the sigma, which
// costs a quarter of the work and looks the same once enlarged.
//
// The caller's pixels are written only by the final blend, after every
// allocation and the blur, so a failure anywhere leaves them as they were.
#include <algorithm>
#include <cstdint>

#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "core/simd.h"
#include "kelvo_fx.h"

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

uint32_t bloom_downsample_word(uint32_t w00, uint32_t w01, uint32_t w10,
                               uint32_t w11) {
  const uint32_t r = (red_of(w00) + red_of(w01) + red_of(w10) + red_of(w11)) / 4;
  const uint32_t g =
      (green_of(w00) + green_of(w01) + green_of(w10) + green_of(w11)) / 4;
  const uint32_t b = (blue_of(w00) + blue_of(w01) + blue_of(w10) + blue_of(w11)) / 4;
  return pack_argb(255, r, g, b);
}

namespace {

uint32_t screen_channel(uint32_t s_c, uint32_t b_c, double intensity) {
  double bt = (b_c / 255.0) * intensity;
  if (!(bt < 0.99)) bt = 0.99;
  const double st = s_c / 255.0;
  const double v = (1.0 - (1.0 - bt) * (1.0 - st)) * 255.0;
  return channel_to_byte(v);
}

}  // namespace

uint32_t screen_word(uint32_t s, uint32_t b, double intensity) {
  return with_rgb(s, screen_channel(red_of(s), red_of(b), intensity),
                  screen_channel(green_of(s), green_of(b), intensity),
                  screen_channel(blue_of(s), blue_of(b), intensity));
}

namespace {

#if KVFX_X86
// One byte per lane from a byte table at 32-bit indices; only the lanes in
// `m` are read. The tables carry three bytes of slack after their end, since
// a lane reads four bytes.
KVFX_TARGET_AVX512 inline __m512i gather_bytes(__mmask16 m, __m512i index, const uint8_t* table) {
  return _mm512_and_si512(_mm512_mask_i32gather_epi32(_mm512_setzero_si512(), m, index, table, 1),
                          _mm512_set1_epi32(0xFF));
}
#endif

// The screen blend through a table: for one call each channel's result is a
// function of the two channel bytes alone, so 256 x 256 evaluations of the
// one-word formula's channel step give every possible answer. Worth it only
// when the frame has many more channel values than the table has entries.
class ScreenBlend {
 public:
  ScreenBlend(double intensity, int64_t words) : intensity_(intensity) {
    if (words < kTableFrom) return;
    storage_ = ScratchImage::uninitialised(256 * 256 / 4 + 1);
    uint8_t* t = reinterpret_cast<uint8_t*>(storage_.data());
    for (uint32_t b = 0; b < 256; ++b)
      for (uint32_t c = 0; c < 256; ++c)
        t[b * 256 + c] = static_cast<uint8_t>(screen_channel(c, b, intensity));
    table_ = t;
  }

  uint32_t operator()(uint32_t s, uint32_t b) const {
    if (!table_) return screen_word(s, b, intensity_);
    return with_rgb(s, table_[red_of(b) << 8 | red_of(s)],
                    table_[green_of(b) << 8 | green_of(s)],
                    table_[blue_of(b) << 8 | blue_of(s)]);
  }

  // row[x] = screen(row[x], glow[x]) for x < n.
  void blend_row(uint32_t* row, const uint32_t* glow, int32_t n, Isa isa) const {
#if KVFX_X86
    if (table_ && isa == Isa::kAvx512) return blend_row_avx512(row, glow, n, table_);
#endif
    (void)isa;
    for (int32_t x = 0; x < n; ++x) row[x] = (*this)(row[x], glow[x]);
  }

 private:
#if KVFX_X86
  KVFX_TARGET_AVX512 static void blend_row_avx512(uint32_t* row, const uint32_t* glow, int32_t n,
                                                  const uint8_t* table) {
    for (int32_t x = 0; x < n; x += 16) {
      const __mmask16 m = tail_mask16(n - x);
      const __m512i s = _mm512_maskz_loadu_epi32(m, row + x);
      const __m512i b = _mm512_maskz_loadu_epi32(m, glow + x);
      // Index (b_c << 8) | s_c for each channel at bits 16, 8 and 0.
      const __m512i ir = _mm512_or_si512(_mm512_slli_epi32(channel16<16>(b), 8), channel16<16>(s));
      const __m512i ig = _mm512_or_si512(_mm512_slli_epi32(channel16<8>(b), 8), channel16<8>(s));
      const __m512i ib = _mm512_or_si512(_mm512_slli_epi32(channel16<0>(b), 8), channel16<0>(s));
      const __m512i out = with_rgb16(s, gather_bytes(m, ir, table), gather_bytes(m, ig, table),
                                     gather_bytes(m, ib, table));
      _mm512_mask_storeu_epi32(row + x, m, out);
    }
  }
#endif

  static constexpr int64_t kTableFrom = 32768;
  double intensity_;
  ScratchImage storage_;
  const uint8_t* table_ = nullptr;
};

// The bright pass of one call. On large frames each scaled channel comes
// from a table indexed by (luma, channel), filled by bloom_bright_channel for
// the lumas that pass: the pass factor depends on the luma alone.
class BrightPass {
 public:
  BrightPass(double threshold, uint32_t tint, int64_t words)
      : thr_(bloom_threshold(threshold)), denom_(bloom_denominator(thr_)),
        tint_{red_of(tint) / 255.0, green_of(tint) / 255.0, blue_of(tint) / 255.0} {
    if (words < kTableFrom) return;
    const bool one_tint = tint_[0] == tint_[1] && tint_[1] == tint_[2];
    const int tables = one_tint ? 1 : 3;
    storage_ = ScratchImage::uninitialised(int64_t{tables} * 256 * 256 / 4 + 1);
    uint8_t* t = reinterpret_cast<uint8_t*>(storage_.data());
    for (int c = 0; c < 3; ++c) table_[c] = t + (one_tint ? 0 : c) * 256 * 256;
    for (int c = 0; c < tables; ++c)
      for (uint32_t luma = 0; luma < 256; ++luma) {
        if (!bloom_passes(luma, thr_)) continue;
        const double f = bloom_pass_factor(luma, thr_, denom_);
        uint8_t* row = t + c * 256 * 256 + luma * 256;
        for (uint32_t v = 0; v < 256; ++v)
          row[v] = static_cast<uint8_t>(bloom_bright_channel(v, f, tint_[c]));
      }
  }

  uint32_t operator()(uint32_t w) const {
    if (!table_[0]) return bloom_bright_word(w, thr_, denom_, tint_[0], tint_[1], tint_[2]);
    const uint32_t r = red_of(w), g = green_of(w), b = blue_of(w);
    const uint32_t luma = bloom_luma(r, g, b);
    if (!bloom_passes(luma, thr_)) return 0;
    return (w & 0xFF000000u) | uint32_t{table_[0][luma << 8 | r]} << 16 |
           uint32_t{table_[1][luma << 8 | g]} << 8 | table_[2][luma << 8 | b];
  }

  // out[x] = bright word of in[x] for x < n.
  void row(const uint32_t* in, uint32_t* out, int32_t n, Isa isa) const {
#if KVFX_X86
    if (table_[0] && thr_ != INT32_MIN && isa == Isa::kAvx512)
      return row_avx512(in, out, n, thr_, table_);
#endif
    (void)isa;
    for (int32_t x = 0; x < n; ++x) out[x] = (*this)(in[x]);
  }

 private:
#if KVFX_X86
  KVFX_TARGET_AVX512 static void row_avx512(const uint32_t* in, uint32_t* out, int32_t n,
                                            int32_t thr, const uint8_t* const* table) {
    for (int32_t x = 0; x < n; x += 16) {
      const __mmask16 m = tail_mask16(n - x);
      const __m512i w = _mm512_maskz_loadu_epi32(m, in + x);
      const __m512i r = channel16<16>(w), g = channel16<8>(w), b = channel16<0>(w);
      const __m512i sum = _mm512_add_epi32(
          _mm512_add_epi32(_mm512_mullo_epi32(r, _mm512_set1_epi32(299)),
                           _mm512_mullo_epi32(g, _mm512_set1_epi32(587))),
          _mm512_mullo_epi32(b, _mm512_set1_epi32(114)));
      // sum / 1000 = (sum / 8) / 125, and for sum / 8 < 2^15 the quotient
      // by 125 is (v * 33555) >> 22 exactly.
      const __m512i luma =
          _mm512_srli_epi32(_mm512_mullo_epi32(_mm512_srli_epi32(sum, 3), _mm512_set1_epi32(33555)), 22);
      const __mmask16 pass = _mm512_mask_cmpgt_epi32_mask(m, luma, _mm512_set1_epi32(thr));
      const __m512i base = _mm512_slli_epi32(luma, 8);
      const __m512i out_r = gather_bytes(pass, _mm512_or_si512(base, r), table[0]);
      const __m512i out_g = gather_bytes(pass, _mm512_or_si512(base, g), table[1]);
      const __m512i out_b = gather_bytes(pass, _mm512_or_si512(base, b), table[2]);
      const __m512i word = with_rgb16(w, out_r, out_g, out_b);
      _mm512_mask_storeu_epi32(out + x, m, _mm512_maskz_mov_epi32(pass, word));
    }
  }
#endif

  static constexpr int64_t kTableFrom = 65536;
  int32_t thr_;
  double denom_;
  double tint_[3];
  ScratchImage storage_;
  const uint8_t* table_[3] = {nullptr, nullptr, nullptr};
};

// Glow softened at full size. The bright image has the caller's geometry;
// it is made and blurred a row at a time and never stored whole: the blur
// asks for bright row y when it needs it, and hands back blurred row j once
// every row it depends on has been read, so the blend can rewrite caller row
// j in place. The blur covers the first width words of a row; padding words
// are blended with their own unblurred bright words.
class FullSizeGlow final : public BlurRows {
 public:
  FullSizeGlow(uint32_t* pixels, int32_t width, int64_t row_pixels, const BrightPass& bright,
               const ScreenBlend& screen)
      : pixels_(pixels), width_(width), row_pixels_(row_pixels), bright_(bright),
        screen_(screen), rows_(ScratchImage::uninitialised(2 * int64_t{width})),
        isa_(active_isa()) {}

  const uint32_t* input_row(int32_t y) override {
    bright_.row(pixels_ + y * row_pixels_, rows_.data(), width_, isa_);
    return rows_.data();
  }
  uint32_t* output_row(int32_t) override { return rows_.data() + width_; }
  void row_done(int32_t j) override {
    uint32_t* row = pixels_ + j * row_pixels_;
    screen_.blend_row(row, rows_.data() + width_, width_, isa_);
    for (int64_t x = width_; x < row_pixels_; ++x) row[x] = screen_(row[x], bright_(row[x]));
  }

 private:
  uint32_t* pixels_;
  int32_t width_;
  int64_t row_pixels_;
  const BrightPass& bright_;
  const ScreenBlend& screen_;
  ScratchImage rows_;
  Isa isa_;
};

// Glow softened at half size and enlarged again by repetition. Half row y
// is the 2 x 2 average of the bright words of caller rows 2y and 2y + 1
// (an odd last row or column is not read), made when the blur asks for it;
// blurred half row j is screened over caller rows 2j and 2j + 1, and the
// last half row also over an odd last caller row. Padding is not touched.
class HalfSizeGlow final : public BlurRows {
 public:
  HalfSizeGlow(uint32_t* pixels, int32_t width, int32_t height, int64_t row_pixels,
               const BrightPass& bright, const ScreenBlend& screen)
      : pixels_(pixels), width_(width), height_(height), row_pixels_(row_pixels),
        hw_(width / 2), hh_(height / 2), bright_(bright), screen_(screen),
        // Two half rows (in, out) and two full rows (bright rows, enlarged glow).
        rows_(ScratchImage::uninitialised(2 * int64_t{width / 2} + 2 * int64_t{width})),
        isa_(active_isa()) {}

  const uint32_t* input_row(int32_t y) override {
    const uint32_t* r0 = pixels_ + 2 * int64_t{y} * row_pixels_;
    uint32_t* b0 = rows_.data() + 2 * hw_;
    uint32_t* b1 = b0 + width_;
    bright_.row(r0, b0, 2 * hw_, isa_);
    bright_.row(r0 + row_pixels_, b1, 2 * hw_, isa_);
    uint32_t* h = rows_.data();
    for (int64_t x = 0; x < hw_; ++x)
      h[x] = bloom_downsample_word(b0[2 * x], b0[2 * x + 1], b1[2 * x], b1[2 * x + 1]);
    return h;
  }
  uint32_t* output_row(int32_t) override { return rows_.data() + hw_; }
  void row_done(int32_t j) override {
    const int64_t last_row = (j == hh_ - 1) ? height_ - 1 : 2 * int64_t{j} + 1;
    for (int64_t y = 2 * int64_t{j}; y <= last_row; ++y) blend_row(pixels_ + y * row_pixels_);
  }

 private:
  void blend_row(uint32_t* row) {
    // The half row enlarged by repetition once per half row would do; it is
    // cheap enough to redo for each of the two caller rows.
    const uint32_t* glow = rows_.data() + hw_;
    uint32_t* wide = rows_.data() + 2 * hw_ + width_;
    for (int32_t x = 0; x < width_; ++x) wide[x] = glow[std::min(x / 2, hw_ - 1)];
    screen_.blend_row(row, wide, width_, isa_);
  }

  uint32_t* pixels_;
  int32_t width_, height_;
  int64_t row_pixels_;
  int32_t hw_, hh_;
  const BrightPass& bright_;
  const ScreenBlend& screen_;
  ScratchImage rows_;
  Isa isa_;
};

}  // namespace
}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_bloom(uint32_t* pixels, int32_t width,
                                         int32_t height, int32_t stride,
                                         double threshold, double intensity,
                                         double sigma, uint32_t tint) {
  if (!pixels || width <= 0 || height <= 0) return FX_ERR_INVALID_ARGUMENT;
  const int64_t count = kvfx::run_count_of(height, stride);
  if (count < 0) return FX_ERR_INVALID_ARGUMENT;
  // Overlapping rows (or none at all): the glow's rows could not be told
  // apart, so there is nothing to do.
  if (!kvfx::rows_fit(width, stride)) return FX_OK;
  const int64_t row_pixels = kvfx::row_pixels_of(stride);

  return kvfx::guarded([&] {
    const kvfx::BrightPass bright(threshold, tint, count);
    const kvfx::ScreenBlend screen(intensity, count);
    if (width >= 10 && height >= 10 && sigma > 4.0) {
      kvfx::HalfSizeGlow rows(pixels, width, height, row_pixels, bright, screen);
      kvfx::gaussian_blur_rows(width / 2, height / 2, sigma * 0.5, rows);
    } else {
      kvfx::FullSizeGlow rows(pixels, width, row_pixels, bright, screen);
      kvfx::gaussian_blur_rows(width, height, sigma, rows);
    }
    return FX_OK;
  });
}
