#include "blur/bloom_tables.h"

#include "blur/blur_effects.h"
#include "core/pixel.h"
#include "core/kernels.h"
#include "core/simd.h"

namespace kvfx {
namespace {

#if KVFX_X86
// One byte per lane from a byte table at 32-bit indices; only the lanes in
// `m` are read. The tables carry three bytes of slack after their end, since
// a lane reads four bytes.
KVFX_TARGET_AVX512 inline __m512i gather_bytes(__mmask16 m, __m512i index, const uint8_t* table) {
  return _mm512_and_si512(_mm512_mask_i32gather_epi32(_mm512_setzero_si512(), m, index, table, 1),
                          _mm512_set1_epi32(0xFF));
}

// Bright words of sixteen words at a time: the integer luma in vector
// lanes, then one gather per channel, only for the lanes that pass.
KVFX_TARGET_AVX512 void bright_row_avx512(const uint32_t* in, uint32_t* out, int32_t n,
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
    if (pass == 0) {  // most words of a frame: no gather, even a masked one, is cheap
      _mm512_mask_storeu_epi32(out + x, m, _mm512_setzero_si512());
      continue;
    }
    const __m512i base = _mm512_slli_epi32(luma, 8);
    const __m512i out_r = gather_bytes(pass, _mm512_or_si512(base, r), table[0]);
    const __m512i out_g = gather_bytes(pass, _mm512_or_si512(base, g), table[1]);
    const __m512i out_b = gather_bytes(pass, _mm512_or_si512(base, b), table[2]);
    const __m512i word = with_rgb16(w, out_r, out_g, out_b);
    _mm512_mask_storeu_epi32(out + x, m, _mm512_maskz_mov_epi32(pass, word));
  }
}

// Sixteen screened words, one gather per channel.
KVFX_TARGET_AVX512 inline __m512i screen_gather16(__mmask16 m, __m512i s, __m512i b,
                                                  const uint8_t* table) {
  // Index (b_c << 8) | s_c for each channel at bits 16, 8 and 0.
  const __m512i ir = _mm512_or_si512(_mm512_slli_epi32(channel16<16>(b), 8), channel16<16>(s));
  const __m512i ig = _mm512_or_si512(_mm512_slli_epi32(channel16<8>(b), 8), channel16<8>(s));
  const __m512i ib = _mm512_or_si512(_mm512_slli_epi32(channel16<0>(b), 8), channel16<0>(s));
  return with_rgb16(s, gather_bytes(m, ir, table), gather_bytes(m, ig, table),
                    gather_bytes(m, ib, table));
}

KVFX_TARGET_AVX512 void screen_row_avx512(uint32_t* row, const uint32_t* glow, int32_t n,
                                          const uint8_t* table) {
  for (int32_t x = 0; x < n; x += 16) {
    const __mmask16 m = tail_mask16(n - x);
    const __m512i s = _mm512_maskz_loadu_epi32(m, row + x);
    const __m512i b = _mm512_maskz_loadu_epi32(m, glow + x);
    _mm512_mask_storeu_epi32(row + x, m, screen_gather16(m, s, b, table));
  }
}

// With VBMI, a block whose glow is 0 in every colour byte (most of a frame,
// away from the bright parts) looks up table row 0 by byte permutations
// instead, as the channel tables do, keeping alpha from the image words.
KVFX_TARGET_AVX512_VBMI void screen_row_vbmi(uint32_t* row, const uint32_t* glow, int32_t n,
                                             const uint8_t* table) {
  const ByteTable512 zero_glow = load_byte_table(table);  // row 0: the glow's byte is 0
  const __m512i colour = _mm512_set1_epi32(0x00FFFFFF);
  for (int32_t x = 0; x < n; x += 16) {
    const __mmask16 m = tail_mask16(n - x);
    const __m512i s = _mm512_maskz_loadu_epi32(m, row + x);
    const __m512i b = _mm512_maskz_loadu_epi32(m, glow + x);
    const __m512i out = _mm512_test_epi32_mask(b, colour) == 0
                            ? rgb_through_table16(s, zero_glow)
                            : screen_gather16(m, s, b, table);
    _mm512_mask_storeu_epi32(row + x, m, out);
  }
}
#endif

// Rows through the tables, generic: the luma and the pass test vectorize, the
// lookups are scalar loads.
KVFX_INLINE void bright_row(const uint32_t* in, uint32_t* out, int32_t n, int32_t thr,
                            const uint8_t* const* table) {
  for (int32_t x = 0; x < n; ++x) {
    const uint32_t w = in[x], r = red_of(w), g = green_of(w), b = blue_of(w);
    const uint32_t luma = bloom_luma(r, g, b);
    const uint32_t word = (w & 0xFF000000u) | uint32_t{table[0][luma << 8 | r]} << 16 |
                          uint32_t{table[1][luma << 8 | g]} << 8 | table[2][luma << 8 | b];
    out[x] = bloom_passes(luma, thr) ? word : 0;
  }
}

KVFX_INLINE void screen_row(uint32_t* row, const uint32_t* glow, int32_t n, const uint8_t* table) {
  for (int32_t x = 0; x < n; ++x) {
    const uint32_t s = row[x], b = glow[x];
    row[x] = with_rgb(s, table[red_of(b) << 8 | red_of(s)], table[green_of(b) << 8 | green_of(s)],
                      table[blue_of(b) << 8 | blue_of(s)]);
  }
}

KVFX_INLINE void downsample_row(const uint32_t* b0, const uint32_t* b1, uint32_t* h, int32_t hw) {
  for (int32_t x = 0; x < hw; ++x)
    h[x] = bloom_downsample_word(b0[2 * x], b0[2 * x + 1], b1[2 * x], b1[2 * x + 1]);
}

KVFX_INLINE void enlarge_row(const uint32_t* glow, uint32_t* wide, int32_t width, int32_t hw) {
  for (int32_t x = 0; x < hw; ++x) wide[2 * x] = wide[2 * x + 1] = glow[x];
  for (int32_t x = 2 * hw; x < width; ++x) wide[x] = glow[hw - 1];  // an odd last column
}

}  // namespace

struct BloomKernels {
  // out[x] = the bright word of in[x] through the (luma, channel) tables;
  // thr is not INT32_MIN.
  void (*bright_row)(const uint32_t* in, uint32_t* out, int32_t n, int32_t thr,
                     const uint8_t* const* table);
  // row[x] = screen(row[x], glow[x]) through the (bloom, channel) table.
  void (*screen_row)(uint32_t* row, const uint32_t* glow, int32_t n, const uint8_t* table);
  void (*downsample_row)(const uint32_t* b0, const uint32_t* b1, uint32_t* h, int32_t hw);
  void (*enlarge_row)(const uint32_t* glow, uint32_t* wide, int32_t width, int32_t hw);
};

namespace {

using Bright = AtEachLevel<bright_row>;
using Screen = AtEachLevel<screen_row>;
using Down = AtEachLevel<downsample_row>;
using Up = AtEachLevel<enlarge_row>;
const BloomKernels kPortable = {Bright::portable, Screen::portable, Down::portable, Up::portable};
const BloomKernels kAvx2 = {Bright::avx2, Screen::avx2, Down::avx2, Up::avx2};
#if KVFX_X86
const BloomKernels kAvx512 = {bright_row_avx512, screen_row_avx512, Down::avx512, Up::avx512};
const BloomKernels kAvx512Vbmi = {bright_row_avx512, screen_row_vbmi, Down::avx512, Up::avx512};
#endif

// The zero-glow shortcut of the screen blend needs VBMI on top of AVX-512.
const KernelTable<BloomKernels>& bloom_kernels() {
  static const KernelTable<BloomKernels> table = {
      &kPortable, &kAvx2,
#if KVFX_X86
      cpu_has_avx512_vbmi() ? &kAvx512Vbmi : &kAvx512,
#else
      nullptr,
#endif
      nullptr, nullptr};
  return table;
}

}  // namespace

void bloom_downsample_row(const uint32_t* b0, const uint32_t* b1, uint32_t* h, int32_t hw) {
  pick(bloom_kernels()).downsample_row(b0, b1, h, hw);
}

void bloom_enlarge_row(const uint32_t* glow, uint32_t* wide, int32_t width, int32_t hw) {
  pick(bloom_kernels()).enlarge_row(glow, wide, width, hw);
}

BrightPass::BrightPass(double threshold, uint32_t tint, int64_t words)
    : thr_(bloom_threshold(threshold)), denom_(bloom_denominator(thr_)),
      tint_{red_of(tint) / 255.0, green_of(tint) / 255.0, blue_of(tint) / 255.0},
      kernels_(&pick(bloom_kernels())) {
  const bool one_tint = tint_[0] == tint_[1] && tint_[1] == tint_[2];
  const int tables = one_tint ? 1 : 3;
  if (!worth_tables(words)) return;
  // Three bytes of slack: a gather lane reads four bytes.
  storage_ = ScratchArray<uint8_t>::uninitialised(tables * kTableEntries + 3);
  uint8_t* t = storage_.data();
  for (int c = 0; c < 3; ++c) table_[c] = t + (one_tint ? 0 : c) * kTableEntries;
  for (int c = 0; c < tables; ++c)
    for (uint32_t luma = 0; luma < 256; ++luma) {
      if (!bloom_passes(luma, thr_)) continue;
      const double f = bloom_pass_factor(luma, thr_, denom_);
      uint8_t* row = t + c * kTableEntries + luma * 256;
      for (uint32_t v = 0; v < 256; ++v)
        row[v] = static_cast<uint8_t>(bloom_bright_channel(v, f, tint_[c]));
    }
}

uint32_t BrightPass::operator()(uint32_t w) const {
  if (!table_[0]) return bloom_bright_word(w, thr_, denom_, tint_[0], tint_[1], tint_[2]);
  const uint32_t r = red_of(w), g = green_of(w), b = blue_of(w);
  const uint32_t luma = bloom_luma(r, g, b);
  if (!bloom_passes(luma, thr_)) return 0;
  return (w & 0xFF000000u) | uint32_t{table_[0][luma << 8 | r]} << 16 |
         uint32_t{table_[1][luma << 8 | g]} << 8 | table_[2][luma << 8 | b];
}

void BrightPass::row(const uint32_t* in, uint32_t* out, int32_t n) const {
  if (table_[0] && thr_ != INT32_MIN) return kernels_->bright_row(in, out, n, thr_, table_);
  for (int32_t x = 0; x < n; ++x) out[x] = (*this)(in[x]);
}

ScreenBlend::ScreenBlend(double intensity, int64_t words)
    : intensity_(intensity), kernels_(&pick(bloom_kernels())) {
  if (!worth_tables(words)) return;
  storage_ = ScratchArray<uint8_t>::uninitialised(kTableEntries + 3);
  uint8_t* t = storage_.data();
  for (uint32_t b = 0; b < 256; ++b)
    for (uint32_t c = 0; c < 256; ++c)
      t[b * 256 + c] = static_cast<uint8_t>(screen_channel(c, b, intensity));
  table_ = t;
}

uint32_t ScreenBlend::operator()(uint32_t s, uint32_t b) const {
  if (!table_) return screen_word(s, b, intensity_);
  return with_rgb(s, table_[red_of(b) << 8 | red_of(s)], table_[green_of(b) << 8 | green_of(s)],
                  table_[blue_of(b) << 8 | blue_of(s)]);
}

void ScreenBlend::blend_row(uint32_t* row, const uint32_t* glow, int32_t n) const {
  if (table_) return kernels_->screen_row(row, glow, n, table_);
  for (int32_t x = 0; x < n; ++x) row[x] = (*this)(row[x], glow[x]);
}

}  // namespace kvfx
