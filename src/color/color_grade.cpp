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

struct GradeKernels {
  // The saturation step on graded words[0 .. count - 1].
  void (*saturate)(uint32_t* words, int64_t count, double saturation);
};

using Saturate = AtEachLevel<saturate_graded>;
const GradeKernels kPortable = {Saturate::portable}, kAvx2 = {Saturate::avx2},
                   kAvx512 = {Saturate::avx512};
const KernelTable<GradeKernels> kGradeKernels = {&kPortable, &kAvx2, &kAvx512, nullptr, nullptr};

// The table, then saturation, a cache-sized block at a time (the table
// lookups have kernels of their own).
void grade_with_saturation(uint32_t* words, int64_t count, const ChannelTable& table,
                           double saturation) {
  constexpr int64_t kBlock = 2048;
  const GradeKernels& kernels = pick(kGradeKernels);
  for (int64_t k = 0; k < count; k += kBlock) {
    const int64_t n = std::min(kBlock, count - k);
    apply_channel_table(words + k, n, table);
    kernels.saturate(words + k, n, saturation);
  }
}

}  // namespace
}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_color_grade(uint32_t* pixels, int32_t width,
                                               int32_t height, int32_t stride,
                                               double brightness, double contrast,
                                               double saturation, double gamma) {
  return kvfx::run_effect(kvfx::entry::kColorGrade, pixels, width, height, stride,
                          [&](const kvfx::Buffer& b) {
    const kvfx::ChannelTable table =
        kvfx::color_grade_table(brightness, contrast, gamma);
    if (saturation == 1.0) {
      // color_grade_word reduces to a plain table lookup here.
      kvfx::apply_channel_table(pixels, b.run_count, table);
    } else {
      kvfx::grade_with_saturation(pixels, b.run_count, table, saturation);
    }
  });
}
