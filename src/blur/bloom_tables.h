// Bloom's per-call tables: the bright pass and the screen blend, each the
// one-word formula evaluated once per possible pair of bytes and then looked
// up, with vector rows over the tables where the CPU has them. Used by the
// streaming glows of bloom.cpp.
#pragma once

#include <cstdint>

#include "core/cpu.h"
#include "core/scratch.h"

namespace kvfx {

struct BloomKernels;

// The half-size path's two per-word passes, at the active level: half row
// h[x] = bloom_downsample_word of bright rows b0 and b1 at columns 2x, 2x + 1
// (x < hw); and the glow enlarged again, wide[x] = glow[min(x / 2, hw - 1)]
// (x < width).
void bloom_downsample_row(const uint32_t* b0, const uint32_t* b1, uint32_t* h, int32_t hw);
void bloom_enlarge_row(const uint32_t* glow, uint32_t* wide, int32_t width, int32_t hw);

// A 256 x 256 byte table pays for itself once the frame has as many words as
// it has entries; smaller frames use the formulas word by word.
constexpr int64_t kTableEntries = 256 * 256;
constexpr bool worth_tables(int64_t words) { return words >= kTableEntries; }

// The bright pass of one call: bloom_bright_word. On large frames each scaled
// channel comes from a table indexed by (luma, channel), filled by
// bloom_bright_channel for the lumas that pass: the pass factor depends on the
// luma alone.
class BrightPass {
 public:
  BrightPass(double threshold, uint32_t tint, int64_t words);
  uint32_t operator()(uint32_t w) const;
  // out[x] = the bright word of in[x] for x < n.
  void row(const uint32_t* in, uint32_t* out, int32_t n) const;

 private:
  int32_t thr_;
  double denom_;
  double tint_[3];
  ScratchArray<uint8_t> storage_;
  const uint8_t* table_[3] = {nullptr, nullptr, nullptr};
  const BloomKernels* kernels_;
};

// The screen blend of one call: screen_word. For one call each channel's
// result is a function of the two channel bytes alone, so on large frames it
// comes from a table of every answer.
class ScreenBlend {
 public:
  ScreenBlend(double intensity, int64_t words);
  uint32_t operator()(uint32_t s, uint32_t b) const;
  // row[x] = screen(row[x], glow[x]) for x < n.
  void blend_row(uint32_t* row, const uint32_t* glow, int32_t n) const;

 private:
  double intensity_;
  ScratchArray<uint8_t> storage_;
  const uint8_t* table_ = nullptr;
  const BloomKernels* kernels_;
};

}  // namespace kvfx
