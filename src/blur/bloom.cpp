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
#include <vector>

#include "blur/bloom_tables.h"
#include "blur/blur_effects.h"
#include "blur/gaussian_blur.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/scratch.h"
#include "core/split.h"
#include "kelvo_fx.h"

namespace kvfx {
namespace {

// A band's view of the caller's rows: its own, and copies (taken before any
// band wrote) of the rows beyond it that it reads but its neighbours write.
struct CallerRows {
  uint32_t* pixels;
  int64_t row_pixels;
  const BandHalo* halo;
  const uint32_t* input(int64_t y) const {
    const uint32_t* copy = halo->copy_of(y);
    return copy ? copy : pixels + y * row_pixels;
  }
  uint32_t* output(int64_t y) const { return pixels + y * row_pixels; }
};

// Glow softened at full size. The bright image has the caller's geometry;
// it is made and blurred a row at a time and never stored whole: the blur
// asks for bright row y when it needs it, and hands back blurred row j once
// every row it depends on has been read, so the blend can rewrite caller row
// j in place. The blur covers the first width words of a row; padding words
// are blended with their own unblurred bright words.
class FullSizeGlow final : public BlurRows {
 public:
  FullSizeGlow(const CallerRows& caller, int32_t width, const BrightPass& bright,
               const ScreenBlend& screen)
      : caller_(caller), width_(width), bright_(bright), screen_(screen),
        rows_(ScratchImage::uninitialised(2 * int64_t{width})) {}

  const uint32_t* input_row(int32_t y) override { return input_row_into(y, rows_.data()); }
  const uint32_t* input_row_into(int32_t y, uint32_t* room) override {
    bright_.row(caller_.input(y), room, width_);
    return room;
  }
  uint32_t* output_row(int32_t) override { return rows_.data() + width_; }
  void row_done(int32_t j) override {
    uint32_t* row = caller_.output(j);
    screen_.blend_row(row, rows_.data() + width_, width_);
    for (int64_t x = width_; x < caller_.row_pixels; ++x) row[x] = screen_(row[x], bright_(row[x]));
  }

 private:
  CallerRows caller_;
  int32_t width_;
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
  HalfSizeGlow(const CallerRows& caller, int32_t width, int32_t height,
               const BrightPass& bright, const ScreenBlend& screen)
      : caller_(caller), width_(width), height_(height), hw_(width / 2), hh_(height / 2),
        bright_(bright), screen_(screen),
        // Two half rows (in, out) and two full rows (bright rows, enlarged glow).
        rows_(ScratchImage::uninitialised(2 * int64_t{width / 2} + 2 * int64_t{width})) {}

  const uint32_t* input_row(int32_t y) override { return input_row_into(y, rows_.data()); }
  const uint32_t* input_row_into(int32_t y, uint32_t* room) override {
    uint32_t* b0 = rows_.data() + 2 * hw_;
    uint32_t* b1 = b0 + width_;
    bright_.row(caller_.input(2 * int64_t{y}), b0, 2 * hw_);
    bright_.row(caller_.input(2 * int64_t{y} + 1), b1, 2 * hw_);
    bloom_downsample_row(b0, b1, room, hw_);
    return room;
  }
  uint32_t* output_row(int32_t) override { return rows_.data() + hw_; }
  void row_done(int32_t j) override {
    const int64_t last_row = (j == hh_ - 1) ? height_ - 1 : 2 * int64_t{j} + 1;
    for (int64_t y = 2 * int64_t{j}; y <= last_row; ++y) blend_row(caller_.output(y));
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

  CallerRows caller_;
  int32_t width_, height_;
  int32_t hw_, hh_;
  const BrightPass& bright_;
  const ScreenBlend& screen_;
  ScratchImage rows_;
};

}  // namespace

// Split: row bands of the blurred image (the caller's rows, or half rows),
// each its own glow pipeline. A band reads caller rows beyond its own (the
// blur's reach, two caller rows per half row) that its neighbours rewrite:
// those are copied before any band runs.
int32_t bloom(uint32_t* pixels, int32_t width, int32_t height, int32_t stride, double threshold,
              double intensity, double sigma, uint32_t tint, Runner& runner) {
  return run_effect(entry::kBloom, pixels, width, height, stride, [&](const Buffer& b) {
    const BrightPass bright(threshold, tint, b.run_count);
    const ScreenBlend screen(intensity, b.run_count);
    const bool half = width >= 10 && height >= 10 && sigma > 4.0;
    // The blurred image and the caller rows of each of its rows.
    const int32_t bw = half ? width / 2 : width, bh = half ? height / 2 : height;
    const double bsigma = half ? sigma * 0.5 : sigma;
    const int scale = half ? 2 : 1;
    const int bands = blur_band_count(runner, b.run_count, bh, bsigma);
    struct Band {
      BlurBand blur;
      BandHalo halo;
    };
    std::vector<Band> parts;
    parts.reserve(static_cast<size_t>(bands));
    for (int i = 0; i < bands; ++i) {
      const Span rows = span_of(bh, bands, i);
      BlurBand blur(bw, bh, bsigma, static_cast<int32_t>(rows.begin),
                    static_cast<int32_t>(rows.end), 0, false);
      BandHalo halo(scale * int64_t{blur.input_begin()}, scale * rows.begin, scale * rows.end,
                    scale * int64_t{blur.input_end()}, width);
      parts.push_back(Band{std::move(blur), std::move(halo)});
    }
    const ScratchImage shared =
        share_scratch(bands, [&](int i) -> BlurBand& { return parts[i].blur; });
    auto row_at = [&](int64_t y) { return pixels + y * b.row_pixels; };
    fill_halos(runner, bands, [&](int i) { return parts[i].halo.words(); },
               [&](int i) { parts[i].halo.fill(row_at); });
    // The glows' own scratch rows, also made before any band runs.
    std::vector<FullSizeGlow> full;
    std::vector<HalfSizeGlow> halves;
    if (half) halves.reserve(static_cast<size_t>(bands));
    else full.reserve(static_cast<size_t>(bands));
    for (int i = 0; i < bands; ++i) {
      const CallerRows caller{pixels, b.row_pixels, &parts[i].halo};
      if (half) halves.emplace_back(caller, width, height, bright, screen);
      else full.emplace_back(caller, width, bright, screen);
    }
    runner.run(bands, [&](int i) {
      if (half) parts[i].blur.run(halves[i]);
      else parts[i].blur.run(full[i]);
    });
  });
}

}  // namespace kvfx
