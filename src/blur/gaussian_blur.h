// The Gaussian blur engine, shared by the blur itself, bloom and drop shadow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/scratch.h"
#include "core/split.h"

namespace kvfx {

// Three boxes, in pass order. A radius of 0 means that pass does not run.
struct BoxPlan {
  int32_t width[3];
  int32_t radius[3];
};

// Box widths whose combined variance approximates sigma^2. NaN, +infinity and
// sigmas of 2^30 or more (where the width arithmetic would leave 32 bits)
// give three boxes of width 1.
BoxPlan box_sizes_for_gaussian(double sigma);

// Blurs the first `width` words of each row in place; a sigma that is not
// above 0 (or NaN) changes nothing. Requires row_pixels >= width. Throws
// std::bad_alloc (pixels unchanged) when its scratch memory cannot be made.
// With a runner: in row bands, each with copies of the rows beyond it that
// it reads. Wide bands run in column stripes, `stripes` of them where that
// is above 0 (as many as fit, for tests), otherwise as many as keep a
// band's scratch in cache; the bits are the same for every count.
void gaussian_blur_in_place(uint32_t* pixels, int32_t width, int32_t height,
                            int64_t row_pixels, double sigma, Runner& runner,
                            int stripes = 0);
void gaussian_blur_in_place(uint32_t* pixels, int32_t width, int32_t height,
                            int64_t row_pixels, double sigma);

// Where a streamed blur takes its rows from and where it puts them, so that
// an effect can blur an image it never stores whole (computing input rows on
// the fly, consuming output rows at once).
//
// input_row(y) is called for y = 0 .. height - 1 in order, once each; the
// row (width words) is read before the next call. output_row(j) and then
// row_done(j) are called for j = 0 .. height - 1 in order, once each, and
// row_done(j) comes only after input_row(y) for every y <= j: a sink may
// therefore overwrite memory that input rows 0 .. j were read from.
//
// Two optional forms of input_row save the blur its copy of each input row
// into its own rows. input_row_into(y, room) is input_row(y) for a source
// that makes its rows: it may make row y in `room` (width words) and return
// it. stored_rows(y, n, &stride), in the place of input_row for rows
// y .. y + n - 1, is for a source whose rows are stored: their first where
// they lie `stride` words apart, to be read before the next input_row or
// row_done call, or nullptr (the blur then asks for them one by one).
class BlurRows {
 public:
  virtual const uint32_t* input_row(int32_t y) = 0;
  virtual uint32_t* output_row(int32_t j) = 0;
  virtual void row_done(int32_t j) = 0;
  virtual const uint32_t* input_row_into(int32_t y, uint32_t* /*room*/) { return input_row(y); }
  virtual const uint32_t* stored_rows(int32_t /*y*/, int32_t /*n*/, int64_t* /*stride*/) {
    return nullptr;
  }

 protected:
  ~BlurRows() = default;
};

// The blur of a width x height image given through `rows`; a sigma that is
// not above 0 (or NaN) passes the rows through unchanged. All scratch memory
// is made before the first call into `rows`; if that fails it throws
// std::bad_alloc and no call is made.
void gaussian_blur_rows(int32_t width, int32_t height, double sigma, BlurRows& rows);

// Output rows [begin, end) of that blur: the same rows, bit for bit, as the
// whole image's. Its scratch memory is made by the constructor (which throws
// std::bad_alloc); run() allocates nothing and throws nothing. run() asks
// for input rows [input_begin(), input_end()) in order, at most reach rows
// beyond the band on either side, and hands out rows begin .. end - 1 under
// the BlurRows rules (row_done(j) after every input row up to j). Sigmas so
// large that the 64-bit form runs make the whole image whatever the band.
class BlurBand {
 public:
  // extra_per_row: words of the caller's own for each input row, in the
  // same block, at extra(). Without own_scratch the block is left for
  // share_scratch below to make, one for all the bands of a call.
  BlurBand(int32_t width, int32_t height, double sigma, int32_t begin, int32_t end,
           int64_t extra_per_row = 0, bool own_scratch = true);
  ~BlurBand();
  BlurBand(BlurBand&&) noexcept;
  BlurBand& operator=(BlurBand&&) = delete;
  int32_t input_begin() const;
  int32_t input_end() const;
  uint32_t* extra();
  // The words of the block left unmade (0 where there is none), and where
  // it is to be.
  int64_t shared_words() const;
  void place(uint32_t* block);
  void run(BlurRows& rows);
  // The same band of an image `width` words wide, at most the width it was
  // made for, in the same scratch memory: one blur serves column stripes.
  void run(BlurRows& rows, int32_t width);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One scratch block for the bands band_at(0 .. bands - 1), made without
// their own, placed into them. A call's scratch then goes back to the C
// library as one piece, which it keeps for the next call: one block a band
// left the library more free memory than it keeps, handed back to the
// system and faulted in again on every call (some 330 page faults a 1080p
// frame at two threads).
template <class BandAt>
ScratchImage share_scratch(int bands, BandAt band_at) {
  int64_t words = 0;
  for (int i = 0; i < bands; ++i) words += band_at(i).shared_words();
  ScratchImage block = ScratchImage::uninitialised(words);
  uint32_t* at = block.data();
  for (int i = 0; i < bands; ++i) {
    BlurBand& band = band_at(i);
    const int64_t n = band.shared_words();
    if (n > 0) band.place(at);
    at += n;
  }
  return block;
}

// How far a band's input reaches beyond it, in rows: the sum of the plan's
// radii (INT32_MAX where only the whole image can be blurred).
int32_t blur_reach(double sigma);

// How many row bands a blur of `height` rows is worth cutting into, for
// `words` words of work in all.
int blur_band_count(const Runner& runner, int64_t words, int32_t height, double sigma);

// The export's body: entry checks, then the blur in place.
int32_t gaussian_blur(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                      double sigma, Runner& runner);

}  // namespace kvfx
