// Colour grade: brightness, contrast and gamma are per-channel maps, folded
// into one table per call so pow runs at most 256 times; saturation couples
// the channels and is done per word from the table's outputs.
#include <algorithm>
#include <cmath>

#include "color/color_effects.h"
#include "core/boundary.h"
#include "core/channel_table.h"
#include "core/geometry.h"
#include "core/kernels.h"
#include "core/pixel.h"
#include "core/simd.h"
#include "kelvo_fx.h"


namespace kvfx {
namespace {

double grade_exponent(double gamma) { return gamma > 0.0 ? 1.0 / gamma : 1.0; }

uint32_t grade_entry(uint32_t i, double brightness, double contrast,
                     double gamma, double e) {
  // This order (rather than one folded expression) is what makes the neutral
  // table lose one level on a few entries; it is kept as is.
  double t = static_cast<double>(i) / 255.0;
  t = t - 0.5;
  t = t * contrast;
  t = t + 0.5;
  t = t + brightness;
  t = clamp_upper_first(t, 0.0, 1.0);
  if (gamma != 1.0) t = std::pow(t, e);
  return channel_to_byte(t * 255.0);
}

}  // namespace

uint32_t color_grade_entry(uint32_t i, double brightness, double contrast,
                           double gamma) {
  return grade_entry(i, brightness, contrast, gamma, grade_exponent(gamma));
}

ChannelTable color_grade_table(double brightness, double contrast, double gamma) {
  const double e = grade_exponent(gamma);
  return make_channel_table(
      [&](uint32_t i) { return grade_entry(i, brightness, contrast, gamma, e); });
}

uint32_t color_grade_word(uint32_t w, const ChannelTable& table,
                          double saturation) {
  const uint32_t graded = apply_channel_table_word(w, table);
  return saturation == 1.0 ? graded : color_grade_saturate(graded, saturation);
}

namespace {

// The saturation step on words already through the table, for the compiler
// to vectorize, one word per lane.
KVFX_INLINE void saturate_graded(uint32_t* words, int64_t count, double saturation) {
  for (int64_t k = 0; k < count; ++k) words[k] = color_grade_saturate(words[k], saturation);
}

// The saturation step estimated in floats, with the result taken only where
// the estimate is sure of it.
//
// (c - l) s + l is c s + l (1 - s), and l (1 - s) is r kr + g kg + b kb with
// kr = 0.299 (1 - s) and so on. Computed in floats, each product and sum
// rounded on its own (by at most u = 2^-24 relative, the constants rounded
// too), c s + that sum + or - a width E lands within 255 u (6 |1 - s| +
// 3 |s|) (plus terms in u^2 and E u) of the exact value + or - E; the double
// formula is within 2^-40 (1 + |s|) of the exact value. So with E twice the
// first bound plus 2^-30 (1 + |s|), the two estimates lo and hi bracket the
// double value, and channel_to_byte, which never decreases, gives the
// formula's byte wherever it gives the same byte at both ends. Blocks where
// lo and hi give different bytes anywhere (one in seventy at saturation 1.2
// on noise) are done by the formula.
struct SaturationEstimate {
  float s, kr, kg, kb, width;
};

// Saturations the estimate covers: its values stay well inside the 16 bits
// the packing saturates through, and its bracket narrow.
inline bool saturation_estimable(double saturation) {
  if (!rounding_to_nearest()) return false;
  return std::fabs(saturation) <= 16.0;
}

inline SaturationEstimate saturation_estimate(double saturation) {
  const double k = 1.0 - saturation;
  const double width = 2.0 * 0x1p-24 * 255.0 * (6.0 * std::fabs(k) + 3.0 * std::fabs(saturation)) +
                       0x1p-30 * (1.0 + std::fabs(saturation));
  return {static_cast<float>(saturation), static_cast<float>(0.299 * k),
          static_cast<float>(0.587 * k), static_cast<float>(0.114 * k), static_cast<float>(width)};
}

// The table, then saturation, a cache-sized block at a time.
template <void (*Saturate)(uint32_t*, int64_t, double)>
void grade_in_blocks(uint32_t* words, int64_t count, const ChannelTable& table,
                     double saturation) {
  constexpr int64_t kBlock = 2048;
  for (int64_t k = 0; k < count; k += kBlock) {
    const int64_t n = std::min(kBlock, count - k);
    apply_channel_table(words + k, n, table);
    Saturate(words + k, n, saturation);
  }
}

#if KVFX_X86

// The estimate at the AVX2 level, eight words a step, as estimate16 below;
// blocks with an unsure word go by the formula.
KVFX_TARGET_AVX2 void saturate_graded_avx2(uint32_t* words, int64_t count, double saturation) {
  if (!saturation_estimable(saturation)) {
    AtEachLevel<saturate_graded>::avx2(words, count, saturation);
    return;
  }
  const SaturationEstimate e = saturation_estimate(saturation);
  const __m256 s = _mm256_set1_ps(e.s), kr = _mm256_set1_ps(e.kr), kg = _mm256_set1_ps(e.kg),
               kb = _mm256_set1_ps(e.kb), width = _mm256_set1_ps(e.width);
  const __m256i byte = _mm256_set1_epi32(0xFF);
  int64_t k = 0;
  for (; k + 8 <= count; k += 8) {
    __m256i* p = reinterpret_cast<__m256i*>(words + k);
    const __m256i w = _mm256_loadu_si256(p);
    const __m256 r = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(w, 16), byte));
    const __m256 g = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(w, 8), byte));
    const __m256 b = _mm256_cvtepi32_ps(_mm256_and_si256(w, byte));
    const __m256 shared = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(r, kr), _mm256_mul_ps(g, kg)),
                                        _mm256_mul_ps(b, kb));
    const __m256 lo = _mm256_sub_ps(shared, width), hi = _mm256_add_ps(shared, width);
    const __m256 rs = _mm256_mul_ps(r, s), gs = _mm256_mul_ps(g, s), bs = _mm256_mul_ps(b, s);
    const __m256i a = _mm256_srli_epi32(w, 24);
    const __m256i out0 = pack_channels8(
        _mm256_cvttps_epi32(_mm256_add_ps(rs, lo)), _mm256_cvttps_epi32(_mm256_add_ps(gs, lo)),
        _mm256_cvttps_epi32(_mm256_add_ps(bs, lo)), a);
    const __m256i out1 = pack_channels8(
        _mm256_cvttps_epi32(_mm256_add_ps(rs, hi)), _mm256_cvttps_epi32(_mm256_add_ps(gs, hi)),
        _mm256_cvttps_epi32(_mm256_add_ps(bs, hi)), a);
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(out0, out1)) == -1) {
      _mm256_storeu_si256(p, out0);
    } else {
      AtEachLevel<saturate_graded>::avx2(words + k, 8, saturation);
    }
  }
  AtEachLevel<saturate_graded>::avx2(words + k, count - k, saturation);
}

struct Estimate16 {
  __m512 s, kr, kg, kb, width;
  double saturation;
};

KVFX_TARGET_AVX512 inline Estimate16 estimate16(double saturation) {
  const SaturationEstimate e = saturation_estimate(saturation);
  return {_mm512_set1_ps(e.s),  _mm512_set1_ps(e.kr),    _mm512_set1_ps(e.kg),
          _mm512_set1_ps(e.kb), _mm512_set1_ps(e.width), saturation};
}

// The saturation step on sixteen graded words by the estimate: the bytes of
// its lower end, and the words where the two ends differ.
struct Estimated16 {
  __m512i out;
  __mmask16 unsure;
};

KVFX_TARGET_AVX512 inline Estimated16 estimate16(__m512i w, const Estimate16& e) {
  const __m512i byte = _mm512_set1_epi32(0xFF);
  const __m512 r = _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srli_epi32(w, 16), byte));
  const __m512 g = _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srli_epi32(w, 8), byte));
  const __m512 b = _mm512_cvtepi32_ps(_mm512_and_si512(w, byte));
  // Fused here: a product and a sum rounded once instead of twice stays
  // inside the same bound.
  const __m512 shared =
      _mm512_fmadd_ps(b, e.kb, _mm512_fmadd_ps(g, e.kg, _mm512_mul_ps(r, e.kr)));
  const __m512 lo = _mm512_sub_ps(shared, e.width), hi = _mm512_add_ps(shared, e.width);
  const __m512i a = _mm512_srli_epi32(w, 24);
  const __m512i out0 = pack_channels16(_mm512_cvttps_epi32(_mm512_fmadd_ps(r, e.s, lo)),
                                    _mm512_cvttps_epi32(_mm512_fmadd_ps(g, e.s, lo)),
                                    _mm512_cvttps_epi32(_mm512_fmadd_ps(b, e.s, lo)), a);
  const __m512i out1 = pack_channels16(_mm512_cvttps_epi32(_mm512_fmadd_ps(r, e.s, hi)),
                                    _mm512_cvttps_epi32(_mm512_fmadd_ps(g, e.s, hi)),
                                    _mm512_cvttps_epi32(_mm512_fmadd_ps(b, e.s, hi)), a);
  return {out0, _mm512_cmpneq_epi32_mask(out0, out1)};
}

// Stores the block, the unsure words (of those in m) by the formula.
KVFX_TARGET_AVX512 inline void store_saturated16(uint32_t* words, __m512i graded, __mmask16 m,
                                                 const Estimated16& est, double saturation) {
  _mm512_mask_storeu_epi32(words, m, est.out);
  uint32_t unsure = est.unsure & m;
  if (unsure == 0) return;
  alignas(64) uint32_t g[16];
  _mm512_store_si512(g, graded);
  for (; unsure != 0; unsure &= unsure - 1) {
    const int i = __builtin_ctz(unsure);
    words[i] = color_grade_saturate(g[i], saturation);
  }
}

// With VBMI the table lookup joins the same pass, and grey words (red,
// green and blue equal), whose formula comes to within a unit in the last
// place of the channel itself and so defeats any bracket, take a table of
// the formula on every grey.
KVFX_TARGET_AVX512_VBMI void grade_vbmi(uint32_t* words, int64_t count, const ChannelTable& table,
                                        double saturation) {
  if (!saturation_estimable(saturation)) {
    grade_in_blocks<AtEachLevel<saturate_graded>::avx512>(words, count, table, saturation);
    return;
  }
  const ChannelTable grey_table = make_channel_table(
      [&](uint32_t c) { return color_grade_saturate(c * 0x010101u, saturation) & 0xFFu; });
  const ByteTable512 t = load_byte_table(table.data()), grey = load_byte_table(grey_table.data());
  const Estimate16 e = estimate16(saturation);
  const __m512i byte = _mm512_set1_epi32(0xFF);
  for (int64_t k = 0; k < count; k += 16) {
    // The arithmetic between loads is long enough for the hardware
    // prefetcher to fall behind.
    prefetch_ahead(words + k);
    const __mmask16 m = tail_mask16(count - k);
    const __m512i graded = rgb_through_table16(_mm512_maskz_loadu_epi32(m, words + k), t);
    Estimated16 est = estimate16(graded, e);
    const __m512i g = _mm512_and_si512(_mm512_srli_epi32(graded, 8), byte);
    const __mmask16 is_grey =
        _mm512_cmpeq_epi32_mask(_mm512_and_si512(_mm512_srli_epi32(graded, 16), byte), g) &
        _mm512_cmpeq_epi32_mask(_mm512_and_si512(graded, byte), g);
    if (is_grey != 0) {
      est.out = _mm512_mask_mov_epi32(est.out, is_grey, rgb_through_table16(graded, grey));
      est.unsure &= static_cast<__mmask16>(~is_grey);
    }
    store_saturated16(words + k, graded, m, est, saturation);
  }
}

#endif

struct GradeKernels {
  // words[0 .. count - 1] through the table, then the saturation step.
  void (*grade)(uint32_t* words, int64_t count, const ChannelTable& table, double saturation);
};

using Saturate = AtEachLevel<saturate_graded>;
const GradeKernels kPortable = {grade_in_blocks<Saturate::portable>};
#if KVFX_X86
const GradeKernels kAvx2 = {grade_in_blocks<saturate_graded_avx2>}, kVbmi = {grade_vbmi};
#else
const GradeKernels kAvx2 = kPortable, kVbmi = kPortable;
#endif

// The AVX-512 kernel needs VBMI for its table lookups; without it the level
// below runs.
const KernelTable<GradeKernels>& grade_kernels() {
  static const KernelTable<GradeKernels> table = {
      &kPortable, &kAvx2, cpu_has_avx512_vbmi() ? &kVbmi : nullptr, nullptr, nullptr};
  return table;
}

}  // namespace

// Split: the run cut into equal spans of words, all graded by one table.
int32_t color_grade(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                    double brightness, double contrast, double saturation, double gamma,
                    Runner& runner) {
  return run_effect(entry::kColorGrade, pixels, width, height, stride, [&](const Buffer& b) {
    const ChannelTable table = color_grade_table(brightness, contrast, gamma);
    const GradeKernels& kernels = pick(grade_kernels());
    const int pieces = pieces_for(runner, b.run_count, b.run_count);
    runner.run(pieces, [&](int i) {
      const Span words = span_of(b.run_count, pieces, i);
      if (saturation == 1.0) {
        // color_grade_word reduces to a plain table lookup here.
        apply_channel_table(pixels + words.begin, words.end - words.begin, table);
      } else {
        kernels.grade(pixels + words.begin, words.end - words.begin, table, saturation);
      }
    });
  });
}

}  // namespace kvfx
