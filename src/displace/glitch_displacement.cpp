// Glitch displacement: seeded bands of rows shifted sideways, the edge word
// repeated where a shift uncovers the border. Every band reads the input as
// it was before the call, so overlapping bands do not compound; the later band
// simply overwrites the rows they share. That makes a copy of the frame
// unnecessary: only the last band over a row matters, and it reads that row
// alone. It also bounds the work by the image, not by the band count: the
// bands are drawn from the last one back, each row is settled by the first
// band met that covers it, and the walk stops once every row is settled.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "core/boundary.h"
#include "core/geometry.h"
#include "core/scratch.h"
#include "displace/displace_effects.h"
#include "kelvo_fx.h"

namespace kvfx {

GlitchBand glitch_band(uint32_t state, int32_t height, int32_t max_shift) {
  GlitchBand b;
  b.s1 = glitch_step(state);
  b.s2 = glitch_step(b.s1);
  b.s3 = glitch_step(b.s2);
  const uint32_t h = static_cast<uint32_t>(height);
  const uint32_t start = b.s1 % h;
  // start < height <= INT32_MAX, so start + 5 + 24 cannot wrap in uint32.
  uint32_t end = start + 5u + b.s2 % 25u;
  if (end > h) end = h;
  b.start = static_cast<int32_t>(start);
  b.end = static_cast<int32_t>(end);
  const uint32_t m = static_cast<uint32_t>(max_shift);
  b.shift = static_cast<int32_t>(b.s3 % (2u * m) - m);
  return b;
}

uint32_t glitch_jump(uint32_t state, uint64_t n) {
  // x -> mul * x + add is the step applied `done` times; square it up.
  uint32_t mul = 1664525u, add = 1013904223u;
  for (; n != 0; n >>= 1) {
    if (n & 1) state = state * mul + add;
    add = add * mul + add;
    mul = mul * mul;
  }
  return state;
}

namespace {

// No shift range at all: 2 * max_shift is 0 in 32-bit arithmetic.
bool shift_range_empty(int32_t max_shift) {
  return 2u * static_cast<uint32_t>(max_shift) == 0u;
}

// Row y of the output is row y of the input as shifted by the last band that
// covers it (each band reads the input as it was), or the input row itself.
// So each row is rewritten at most once, in place, from its own words: the
// words it needs are a contiguous middle piece (a move within the row) plus
// copies of the row's first and last word.
void shift_row(uint32_t* row, int32_t width, int32_t shift) {
  const int64_t s = shift, w = width;
  // Output column x reads x + s, wrapped to int32 and clamped to 0 .. w - 1:
  // [0, a) read column 0 (x + s <= 0), [a, b) read x + s, [b, c) read column
  // w - 1, and [c, w) wrapped past INT32_MAX and read column 0 again.
  const int64_t a = std::clamp<int64_t>(1 - s, 0, w);
  const int64_t b = std::clamp<int64_t>(w - 1 - s, a, w);
  const int64_t c = std::clamp<int64_t>(int64_t{INT32_MAX} - s + 1, b, w);
  const uint32_t first = row[0], last = row[w - 1];
  if (b > a) std::memmove(row + a, row + a + s, static_cast<size_t>(b - a) * 4);
  std::fill(row, row + a, first);
  std::fill(row + b, row + c, last);
  std::fill(row + c, row + w, first);
}

}  // namespace

// Split: each row is rewritten from its own words alone, so once every
// row's shift is known the rows are cut into equal spans.
int32_t glitch_displacement(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                            int32_t band_count, int32_t max_shift, int32_t seed,
                            Runner& runner) {
  return run_effect(entry::kGlitchDisplacement, pixels, width, height, stride,
                    [&](const Buffer& b) {
    if (band_count <= 0 || shift_range_empty(max_shift)) return;
    // The shift each row ends up with (0 leaves it as it is), from the last
    // band that covers it. The state before band b is the start state
    // advanced 3b steps; the walk starts at the last band and steps back.
    ScratchArray<int32_t> row_shift = ScratchArray<int32_t>::zeroed(height);
    ScratchArray<uint8_t> settled = ScratchArray<uint8_t>::zeroed(height);
    int32_t* shifts = row_shift.data();
    uint8_t* done = settled.data();
    uint32_t state = glitch_jump(glitch_start_state(seed), 3 * (static_cast<uint64_t>(band_count) - 1));
    int32_t open = height;
    for (int64_t i = band_count - 1; i >= 0 && open > 0; --i) {
      const GlitchBand band = glitch_band(state, height, max_shift);
      for (int32_t y = band.start; y < band.end; ++y)
        if (!done[y]) {
          done[y] = 1;
          shifts[y] = band.shift;
          --open;
        }
      state = glitch_step_back(glitch_step_back(glitch_step_back(state)));
    }
    // The rows that move, in order: the work is theirs alone, however few.
    int64_t count = 0;
    ScratchArray<int32_t> moving = ScratchArray<int32_t>::uninitialised(height);
    for (int32_t y = 0; y < height; ++y)
      if (shifts[y] != 0) moving.data()[count++] = y;
    // A row's move costs about a quarter of what a colour effect's words do.
    const int pieces = pieces_for(runner, count * width / 4, count);
    runner.run(pieces, [&](int i) {
      const Span rows = span_of(count, pieces, i);
      for (int64_t k = rows.begin; k < rows.end; ++k) {
        const int32_t y = moving.data()[k];
        shift_row(pixels + static_cast<ptrdiff_t>(y * b.row_pixels), width, shifts[y]);
      }
    });
  });
}

}  // namespace kvfx
