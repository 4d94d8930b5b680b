// Bloom: the bright parts of the image, tinted and blurred, screened back over
// it. Large glows are blurred on a half-size copy with half the sigma, which
// costs a quarter of the work and looks the same once enlarged. Neither the
// bright image nor the half image is ever stored whole: the blur streams
// their rows (gaussian_blur_rows), so the bright pass, the downsample and the
// blend run a row at a time as the blur asks for and hands back rows.
//
// The caller's pixels are written only by the final blend, after every
// allocation and the blur's, so a failure anywhere leaves them as they were.
#include <algorithm>
#include <cstdint>

#include "blur/bloom_tables.h"
#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/scratch.h"
#include "kelvo_fx.h"

namespace kvfx {
namespace {

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
        screen_(screen), rows_(ScratchImage::uninitialised(2 * int64_t{width})) {}

  const uint32_t* input_row(int32_t y) override {
    bright_.row(pixels_ + y * row_pixels_, rows_.data(), width_);
    return rows_.data();
  }
  uint32_t* output_row(int32_t) override { return rows_.data() + width_; }
  void row_done(int32_t j) override {
    uint32_t* row = pixels_ + j * row_pixels_;
    screen_.blend_row(row, rows_.data() + width_, width_);
    for (int64_t x = width_; x < row_pixels_; ++x) row[x] = screen_(row[x], bright_(row[x]));
  }

 private:
  uint32_t* pixels_;
  int32_t width_;
  int64_t row_pixels_;
  const BrightPass& bright_;
  const ScreenBlend& screen_;
  ScratchImage rows_;
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
        rows_(ScratchImage::uninitialised(2 * int64_t{width / 2} + 2 * int64_t{width})) {}

  const uint32_t* input_row(int32_t y) override {
    const uint32_t* r0 = pixels_ + 2 * int64_t{y} * row_pixels_;
    uint32_t* b0 = rows_.data() + 2 * hw_;
    uint32_t* b1 = b0 + width_;
    bright_.row(r0, b0, 2 * hw_);
    bright_.row(r0 + row_pixels_, b1, 2 * hw_);
    uint32_t* h = rows_.data();
    bloom_downsample_row(b0, b1, h, hw_);
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
    bloom_enlarge_row(glow, wide, width_, hw_);
    screen_.blend_row(row, wide, width_);
  }

  uint32_t* pixels_;
  int32_t width_, height_;
  int64_t row_pixels_;
  int32_t hw_, hh_;
  const BrightPass& bright_;
  const ScreenBlend& screen_;
  ScratchImage rows_;
};

}  // namespace
}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_bloom(uint32_t* pixels, int32_t width,
                                         int32_t height, int32_t stride,
                                         double threshold, double intensity,
                                         double sigma, uint32_t tint) {
  return kvfx::run_effect(kvfx::entry::kBloom, pixels, width, height, stride,
                          [&](const kvfx::Buffer& b) {
    const kvfx::BrightPass bright(threshold, tint, b.run_count);
    const kvfx::ScreenBlend screen(intensity, b.run_count);
    if (width >= 10 && height >= 10 && sigma > 4.0) {
      kvfx::HalfSizeGlow rows(pixels, width, height, b.row_pixels, bright, screen);
      kvfx::gaussian_blur_rows(width / 2, height / 2, sigma * 0.5, rows);
    } else {
      kvfx::FullSizeGlow rows(pixels, width, b.row_pixels, bright, screen);
      kvfx::gaussian_blur_rows(width, height, sigma, rows);
    }
  });
}
