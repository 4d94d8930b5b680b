// Chromatic aberration: red and blue are fetched from opposite sides of each
// pixel along one direction. Every fetch reads the input as it was before the
// call, so the order of the row walk cannot leak into the result; rows that
// were already rewritten are read from a small ring of saved input rows
// rather than from a copy of the whole frame.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "core/split.h"
#include "displace/displace_effects.h"
#include "kelvo_fx.h"

namespace kvfx {

ChromaticShift chromatic_shift(double strength_x, double strength_y,
                               double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  const double hx = c * strength_x;
  const double hy = s * strength_y;
  // Blue rounds -hx itself rather than negating rx: an hx just beyond the
  // int32 range gives rx = INT32_MIN, whose negation does not exist.
  return ChromaticShift{round_to_int32(hx), round_to_int32(hy),
                        round_to_int32(-hx), round_to_int32(-hy)};
}

namespace {

// One output row from the caller's row (alpha and green, read at x before x
// is written) and the input rows holding red and blue. Where both fetches
// land inside the row, the sources are plain shifted reads; only the ends
// clamp.
void chromatic_row(uint32_t* row, const uint32_t* red, const uint32_t* blue,
                   int32_t width, int64_t rx, int64_t bx) {
  const int64_t w = width;
  const int64_t mid_lo = std::min(w, std::max({int64_t{0}, -rx, -bx}));
  const int64_t mid_hi = std::max(mid_lo, std::min({w, w - rx, w - bx}));
  auto edge = [&](int64_t x) {
    row[x] = chromatic_word(row[x], red[clamp_coordinate(x + rx, width)],
                            blue[clamp_coordinate(x + bx, width)]);
  };
  for (int64_t x = 0; x < mid_lo; ++x) edge(x);
  if (mid_lo < mid_hi) {  // then |rx|, |bx| < width: the shifted bases exist
    const uint32_t* r = red + rx;
    const uint32_t* b = blue + bx;
    for (int64_t x = mid_lo; x < mid_hi; ++x)
      row[x] = (row[x] & 0xFF00FF00u) | (r[x] & 0x00FF0000u) | (b[x] & 0x000000FFu);
  }
  for (int64_t x = mid_hi; x < w; ++x) edge(x);
}

// Rows [begin, end) are rewritten top to bottom. A fetch from a row below
// the current one reads the caller's buffer (not yet rewritten); a fetch from
// the current row or one above reads the ring, which holds the input of the
// last `ring_rows` rows, enough for the largest vertical offset after
// clamping. A fetch from a row outside [begin, end), which another band
// rewrites, reads the copies made before any band ran.
void chromatic_rows(uint32_t* pixels, int32_t width, int32_t height, int64_t row_pixels,
                    const ChromaticShift& shift, uint32_t* ring, int64_t ring_rows,
                    int64_t begin, int64_t end, const BandHalo& halo) {
  auto row_at = [&](int64_t y) { return pixels + static_cast<ptrdiff_t>(y * row_pixels); };
  for (int64_t y = begin; y < end; ++y) {
    uint32_t* row = row_at(y);
    uint32_t* saved = ring + (y % ring_rows) * width;
    std::memcpy(saved, row, static_cast<size_t>(width) * 4);
    auto source = [&](int64_t dy) -> const uint32_t* {
      const int64_t sy = clamp_coordinate(y + dy, height);
      if (const uint32_t* copy = halo.copy_of(sy)) return copy;
      return sy > y ? row_at(sy) : ring + (sy % ring_rows) * width;
    };
    chromatic_row(row, source(shift.ry), source(shift.by), width, shift.rx, shift.bx);
  }
}

int64_t reach_of(const ChromaticShift& shift, int32_t height) {
  // Magnitudes in 64 bits: an offset may be INT32_MIN.
  const int64_t reach = std::max(std::abs(int64_t{shift.ry}), std::abs(int64_t{shift.by}));
  return std::min<int64_t>(reach, height - 1);
}

}  // namespace

// Split: row bands, each reading the rows within the vertical reach beyond
// it from copies taken before any band ran (its neighbours rewrite them).
int32_t chromatic_aberration(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                             double strength_x, double strength_y, double angle,
                             Runner& runner) {
  // Rows that overlap would make "the input as it was" ill-defined, so the
  // policy refuses them.
  return run_effect(entry::kChromaticAberration, pixels, width, height, stride,
                    [&](const Buffer& b) {
    const ChromaticShift shift = chromatic_shift(strength_x, strength_y, angle);
    const int64_t reach = reach_of(shift, height);
    const int64_t ring_rows = reach + 1;
    // A band shorter than its reach would copy more than it rewrites.
    // Masks and shifted reads: half of what a colour effect's words cost.
    const int pieces = pieces_for(runner, int64_t{width} * height / 2,
                                  height / std::max<int64_t>(1, std::min(reach, runner.piece_words())));
    struct Band {
      ScratchImage ring;
      BandHalo halo;
    };
    std::vector<Band> bands;
    bands.reserve(static_cast<size_t>(pieces));
    for (int i = 0; i < pieces; ++i) {
      const Span rows = span_of(height, pieces, i);
      bands.push_back(Band{ScratchImage::uninitialised(ring_rows * width),
                           BandHalo(std::max<int64_t>(0, rows.begin - reach), rows.begin, rows.end,
                                    std::min<int64_t>(height, rows.end + reach), width)});
    }
    auto row_at = [&](int64_t y) { return pixels + static_cast<ptrdiff_t>(y * b.row_pixels); };
    fill_halos(runner, pieces, [&](int i) { return bands[i].halo.words(); },
               [&](int i) { bands[i].halo.fill(row_at); });
    runner.run(pieces, [&](int i) {
      const Span rows = span_of(height, pieces, i);
      chromatic_rows(pixels, width, height, b.row_pixels, shift, bands[i].ring.data(), ring_rows,
                     rows.begin, rows.end, bands[i].halo);
    });
  });
}

}  // namespace kvfx
