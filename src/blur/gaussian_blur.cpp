// Gaussian blur as three box blurs, each a horizontal then a vertical running
// sum. Sums are exact integers; every output is trunc(sum * k) with
// k = 1.0 / (2r + 1), so results never drift and cost does not depend on r.
#include "blur/gaussian_blur.h"

#include "blur/box_kernels.h"
#include "core/cpu.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/scratch.h"
#include "kelvo_fx.h"

namespace kvfx {
namespace {

// Keeps wu = wl + 2 within int32.
constexpr double kLargestIdealWidth = 2147483645.0;

// Window sums are at most 255 * (2r + 1); up to this radius they fit the
// int32 lanes of the row kernels. Larger radii only come from enormous sigmas
// and take the 64-bit path.
constexpr int32_t kLargestInt32Radius = (INT32_MAX / 255 - 1) / 2;

double reciprocal(int32_t r) { return 1.0 / static_cast<double>(2 * static_cast<int64_t>(r) + 1); }

// ---- The streaming form --------------------------------------------------
//
// The three passes run as a pipeline over rows. Each pass blurs every row it
// receives horizontally into a ring of rows and keeps one running sum per
// column; as soon as the rows below a row have arrived, that row's vertical
// sum is final and goes on to the next pass, and the last pass hands it to
// the sink. Input row y is read before any output row at or below it is
// handed out, so the blur works in place, and the frame is read and written
// once instead of six times, with O(width * r) scratch.
// The sums are exactly those of the whole-image form: the clamped-window
// running sum S(j) = S(j - 1) + h[min(j + r, last)] - h[max(j - 1 - r, 0)].
//
// Where the level has a strip kernel for a pass's box, the pass gathers
// kStripRows rows before blurring them horizontally together (the last
// strip of a pass may be short), and the vertical sums wait for the strip:
// the ring then holds the rows of the window plus one strip, in whole
// strips, so that a strip's rows lie in consecutive slots.
//
// A band makes output rows [begin, end) only. Each pass then makes the rows
// the next one reads, r beyond its output on either side (within the
// image), and the first pass reads the input rows r0 beyond that: the
// rows of a band are those of the whole image, because every sum of a row
// is the same sum of the same clamped window whichever row it starts from.

struct BoxStage {
  int32_t r = 0;
  BoxScale scale{};
  const BoxKernels* kern = nullptr;
  BoxStripKernel strip = nullptr;  // nullptr: rows go through one at a time
  int32_t strip_rows = 1;
  int32_t slots = 0;   // rows in the ring, a multiple of strip_rows
  uint32_t* ring = nullptr;
  void* sums = nullptr;  // four lanes per column, as the kernels keep them
  uint32_t* staged = nullptr;  // strip_rows rows waiting for their horizontal half
  int32_t staged_count = 0;
  uint32_t* out = nullptr;  // the row handed to the next pass
  int32_t first = 0;     // the first row this pass makes
  int32_t end = 0;       // one past the last
  int32_t in_begin = 0;  // the first input row it takes (first - r, clamped)
  int32_t in_end = 0;    // one past the last (end + r, clamped)
  int32_t received = 0;  // input rows blurred into the ring so far, from in_begin
  int32_t emitted = 0;   // next row to make
};

// How often row i of a line of n rows counts in the clamped window of row
// j of radius r: the positions j - r .. j + r that clamp to i.
int64_t window_count(int64_t i, int64_t j, int64_t r, int64_t n) {
  const int64_t lo = j - r, hi = j + r, last = n - 1;
  if (i == 0 && last == 0) return hi - lo + 1;
  if (i == 0) return std::max<int64_t>(0, std::min<int64_t>(hi, 0) - lo + 1);
  if (i == last) return std::max<int64_t>(0, hi - std::max<int64_t>(lo, last) + 1);
  return (i >= lo && i <= hi) ? 1 : 0;
}

int64_t round_up(int64_t v, int64_t m) { return (v + m - 1) / m * m; }

constexpr int64_t kLineWords = 64 / sizeof(uint32_t);

class StreamingBlur {
 public:
  StreamingBlur(int32_t width, int32_t height, const BoxPlan& plan, int32_t begin, int32_t end,
                int64_t extra_per_row, bool own_scratch)
      : width_(width), height_(height) {
    for (int i = 0; i < 3; ++i)
      if (plan.radius[i] >= 1) stages_[count_++].r = plan.radius[i];
    // Each pass makes what the next reads.
    int64_t lo = begin, hi = end;
    for (int s = count_ - 1; s >= 0; --s) {
      BoxStage& st = stages_[s];
      st.first = static_cast<int32_t>(lo);
      st.end = static_cast<int32_t>(hi);
      lo = std::max<int64_t>(0, lo - st.r);
      hi = std::min<int64_t>(height, hi + st.r);
      st.in_begin = static_cast<int32_t>(lo);
      st.in_end = static_cast<int32_t>(hi);
    }
    input_begin_ = static_cast<int32_t>(lo);
    input_end_ = static_cast<int32_t>(hi);
    for (int s = 0; s < count_; ++s) {
      BoxStage& st = stages_[s];
      st.scale = box_scale_for(st.r);
      st.kern = &box_kernels(st.scale);
      st.strip = box_strip_kernel(st.scale);
      st.strip_rows = st.strip ? kStripRows : 1;
      // The rows of the window and those arriving, or all the pass takes.
      const int64_t live = 2 * int64_t{st.r} + 1 + st.strip_rows;
      st.slots = static_cast<int32_t>(std::min(round_up(live, st.strip_rows),
                                               round_up(st.in_end - st.in_begin, st.strip_rows)));
    }
    // One block for everything, made before the first caller pixel is read.
    // The block is laid out from its first cache line: malloc's 16-byte
    // alignment would otherwise leave every ring row's vectors split across
    // lines on some calls and not others.
    words_ = lay_out(width, nullptr);
    const int64_t extra_words = (int64_t{input_end_} - input_begin_) * extra_per_row;
    block_words_ = words_ + extra_words + kLineWords - 1;
    if (own_scratch) {
      memory_ = ScratchImage::uninitialised(block_words_);
      place(memory_.data());
    }
  }

  int64_t block_words() const { return block_words_; }
  bool owns_scratch() const { return memory_.data() != nullptr; }
  void place(uint32_t* block) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(block);
    base_ = block + (kLineWords - at / sizeof(uint32_t) % kLineWords) % kLineWords;
    extra_ = base_ + words_;
  }

  int32_t input_begin() const { return input_begin_; }
  int32_t input_end() const { return input_end_; }
  uint32_t* extra() { return extra_; }

  // The band of an image `width` words wide, at most the width the blur was
  // made for: column stripes of one band share one blur and its scratch.
  void run(BlurRows& rows, int32_t width) {
    lay_out(width, base_);
    pump(rows);
  }

 private:
  // The scratch words of rows `width` words wide; with `m`, laid out there
  // and the sums and staging rows cleared for a run.
  int64_t lay_out(int32_t width, uint32_t* m) {
    width_ = width;
    const int64_t w = width;
    // Ring rows a cache line apart from whole multiples of 64 bytes: rows
    // read together (2r + 1 apart) then fall on different cache sets and
    // different 4 KiB offsets, whatever the width.
    ring_stride_ = ((w + 15) & ~int64_t{15}) + 16;
    int64_t strip_words = 0;
    for (int s = 0; s < count_; ++s)
      if (stages_[s].strip)
        strip_words = std::max(strip_words, box_strip_scratch_words(width, stages_[s].r));
    // Every part starts on a cache line.
    const int64_t row_words = round_up(box_row_scratch_words(width), kLineWords);
    int64_t words = row_words + round_up(strip_words, kLineWords);
    row_scratch_ = m;
    strip_scratch_ = m ? m + row_words : nullptr;
    for (int s = 0; s < count_; ++s) {
      BoxStage& st = stages_[s];
      const int64_t staged = st.strip ? kStripRows * ring_stride_ : 0;
      if (m) {
        uint32_t* at = m + words;
        st.ring = at;
        at += st.slots * ring_stride_;
        st.sums = at;
        std::fill(at, at + 4 * w, 0u);
        at += round_up(4 * w, kLineWords);
        st.out = at;
        at += round_up(w + 16, kLineWords);
        // A short strip blurs the rows left over from the one before (or
        // these zeros) with it; their results are never read.
        st.staged = st.strip ? at : nullptr;
        std::fill(at, at + staged, 0u);
        st.staged_count = 0;
        st.received = st.in_begin;
        st.emitted = st.first;
      }
      words += st.slots * ring_stride_ + round_up(4 * w, kLineWords) +
               round_up(w + 16, kLineWords) + staged;
    }
    return words;
  }

  void pump(BlurRows& rows) {
    for (int32_t y = input_begin_; y < input_end_; ++y) {
      if (!take_strip(rows, y)) receive(0, next_input(rows, y));
      // Each row a pass completes is the next pass's input (the last pass's
      // goes to the sink). Emitting from the deepest pass that has a row
      // ready hands every row on at once, so one out row per pass suffices;
      // and a pass blurs a strip into its ring only when it has no row
      // ready, so the strip never overwrites a row still to be read.
      for (;;) {
        int s = count_ - 1;
        while (s >= 0 && !ready(stages_[s])) --s;
        if (s < 0) break;
        emit(s, rows);
      }
    }
  }

  uint32_t* ring_row(const BoxStage& st, int64_t i) {
    return st.ring + ((i - st.in_begin) % st.slots) * ring_stride_;
  }

  // Where the pass takes its next input row: its own staging row, written
  // there by the pass before, or nullptr where a row goes in as it is.
  uint32_t* staging_row(const BoxStage& st) {
    return st.strip ? st.staged + st.staged_count * ring_stride_ : nullptr;
  }

  // The first pass's next input row, made in its staging row where the
  // source can.
  const uint32_t* next_input(BlurRows& rows, int32_t y) {
    uint32_t* room = staging_row(stages_[0]);
    return room ? rows.input_row_into(y, room) : rows.input_row(y);
  }

  // A whole strip of the first pass read where the source stores it, with
  // no staging copy: where a strip starts at y and the source has its rows
  // in place. Advances y to the strip's last row.
  bool take_strip(BlurRows& rows, int32_t& y) {
    BoxStage& st = stages_[0];
    if (!st.strip || st.staged_count != 0 || int64_t{y} + kStripRows > st.in_end) return false;
    int64_t stride = 0;
    const uint32_t* in = rows.stored_rows(y, kStripRows, &stride);
    if (!in) return false;
    const int32_t i0 = st.received;
    st.strip(in, stride, ring_row(st, i0), ring_stride_, width_, st.r, st.scale, strip_scratch_);
    for (int32_t k = 0; k < kStripRows; ++k) count_in(st, i0 + k, ring_row(st, i0 + k));
    st.received += kStripRows;
    y += kStripRows - 1;
    return true;
  }

  // Row `in` (width words) taken by the pass: blurred horizontally into the
  // ring, alone or with its strip, and each blurred row counted into the
  // window of the pass's first row as often as it falls in it.
  void receive(int s, const uint32_t* in) {
    BoxStage& st = stages_[s];
    if (!st.strip) {
      const int32_t i = st.received++;
      uint32_t* h = ring_row(st, i);
      box_blur_row(*st.kern, in, h, width_, st.r, st.scale, row_scratch_);
      count_in(st, i, h);
      return;
    }
    uint32_t* slot = staging_row(st);
    if (in != slot) std::memcpy(slot, in, sizeof(uint32_t) * static_cast<size_t>(width_));
    ++st.staged_count;
    if (st.staged_count < kStripRows && st.received + st.staged_count < st.in_end) return;
    // The strip's rows go to consecutive slots: strips start at in_begin
    // plus whole strips, and the slots are whole strips.
    const int32_t i0 = st.received;
    st.strip(st.staged, ring_stride_, ring_row(st, i0), ring_stride_, width_, st.r, st.scale,
             strip_scratch_);
    for (int32_t k = 0; k < st.staged_count; ++k) count_in(st, i0 + k, ring_row(st, i0 + k));
    st.received += st.staged_count;
    st.staged_count = 0;
  }

  void count_in(BoxStage& st, int32_t i, const uint32_t* h) {
    const int64_t times = window_count(i, st.first, st.r, height_);
    if (times > 0) st.kern->accumulate(st.sums, h, width_, static_cast<int32_t>(times));
  }

  // The pass's next output row is final once the rows below it have arrived.
  bool ready(const BoxStage& st) const {
    const int32_t last = height_ - 1;
    return st.emitted < st.end && std::min<int64_t>(int64_t{st.emitted} + st.r, last) < st.received;
  }

  void emit(int s, BlurRows& rows) {
    BoxStage& st = stages_[s];
    const int32_t last = height_ - 1;
    const int32_t j = st.emitted++;
    const bool final_pass = s + 1 == count_;
    uint32_t* dst = final_pass ? rows.output_row(j) : staging_row(stages_[s + 1]);
    if (!dst) dst = st.out;
    if (j == st.first) {
      st.kern->emit(st.sums, dst, width_, st.scale);
    } else {
      const uint32_t* add = ring_row(st, std::min<int64_t>(int64_t{j} + st.r, last));
      const uint32_t* sub = ring_row(st, std::max<int64_t>(int64_t{j} - 1 - st.r, 0));
      st.kern->slide_and_emit(st.sums, add, sub, dst, width_, st.scale);
    }
    if (final_pass) rows.row_done(j);
    else receive(s + 1, dst);
  }

  int32_t width_, height_;
  int32_t input_begin_ = 0, input_end_ = 0;
  int64_t ring_stride_ = 0;
  BoxStage stages_[3];
  int count_ = 0;
  int64_t words_ = 0, block_words_ = 0;
  ScratchImage memory_;       // empty where the block is shared
  uint32_t* base_ = nullptr;  // its first cache line
  uint32_t* extra_ = nullptr;
  uint32_t* row_scratch_ = nullptr;
  uint32_t* strip_scratch_ = nullptr;
};

// ---- The 64-bit form, for radii beyond the int32 lanes ---------------------
//
// Only enormous sigmas get here; the lines are then short next to the window,
// so clarity matters more than speed. Same clamped-window running sums, on a
// whole-image scratch.

void wide_line(const uint32_t* a, ptrdiff_t sa, uint32_t* b, ptrdiff_t sb,
               int32_t n, int32_t r, double k) {
  int64_t s[4] = {0, 0, 0, 0};
  auto add = [&](uint32_t w, int64_t times) {
    s[0] += int64_t{alpha_of(w)} * times;
    s[1] += int64_t{red_of(w)} * times;
    s[2] += int64_t{green_of(w)} * times;
    s[3] += int64_t{blue_of(w)} * times;
  };
  const int64_t last = n - 1;
  add(a[0], r);
  for (int64_t t = 0; t <= std::min<int64_t>(r, last); ++t) add(a[t * sa], 1);
  if (r > last) add(a[last * sa], r - last);
  for (int64_t j = 0; j < n; ++j) {
    b[j * sb] = pack_argb(box_sum_to_byte(s[0], k), box_sum_to_byte(s[1], k),
                          box_sum_to_byte(s[2], k), box_sum_to_byte(s[3], k));
    add(a[std::min<int64_t>(j + r + 1, last) * sa], 1);
    add(a[std::max<int64_t>(j - r, 0) * sa], -1);
  }
}

void wide_blur(uint32_t* pixels, int32_t width, int32_t height, int64_t row_pixels,
               const BoxPlan& plan, uint32_t* t) {
  for (int32_t r : plan.radius) {
    if (r < 1) continue;
    const double k = reciprocal(r);
    for (int64_t y = 0; y < height; ++y)
      wide_line(pixels + y * row_pixels, 1, t + y * row_pixels, 1, width, r, k);
    for (int64_t x = 0; x < width; ++x)
      wide_line(t + x, row_pixels, pixels + x, row_pixels, height, r, k);
  }
}

}  // namespace

BoxPlan box_sizes_for_gaussian(double sigma) {
  BoxPlan plan{{1, 1, 1}, {0, 0, 0}};
  const double q12 = 12.0 * sigma * sigma;
  const double ideal_d = std::floor(std::sqrt(q12 / 3.0 + 1.0));
  if (!(ideal_d <= kLargestIdealWidth)) return plan;
  const int32_t ideal = static_cast<int32_t>(ideal_d);
  const int32_t wl = (ideal % 2 != 0) ? ideal : ideal - 1;
  const int32_t wu = wl + 2;
  const double e = wl;
  const double q =
      (((q12 + (-3.0 * e) * e) + (-12.0 * e)) + (-9.0)) / ((e * (-4.0)) + (-4.0));
  const int32_t m = round_to_int32(q);
  for (int i = 0; i < 3; ++i) {
    plan.width[i] = i < m ? wl : wu;
    plan.radius[i] = (plan.width[i] - 1) / 2;
  }
  return plan;
}

namespace {

// The plan of a sigma as the blur uses it: a sigma that is not above 0 (NaN
// included) blurs nothing; the plan of a negative sigma would be that of its
// magnitude.
BoxPlan plan_for(double sigma) { return box_sizes_for_gaussian(sigma > 0.0 ? sigma : 0.0); }

int32_t largest_radius(const BoxPlan& plan) {
  return std::max({plan.radius[0], plan.radius[1], plan.radius[2]});
}

}  // namespace

struct BlurBand::Impl {
  enum class Form { kCopy, kStreaming, kWide } form = Form::kCopy;
  int32_t width = 0, height = 0, begin = 0, end = 0;
  BoxPlan plan{};
  std::unique_ptr<StreamingBlur> streaming;
  ScratchImage image, scratch;  // the 64-bit form's
  ScratchImage extra;  // the caller's words, where the streaming form has none
};

BlurBand::BlurBand(int32_t width, int32_t height, double sigma, int32_t begin, int32_t end,
                   int64_t extra_per_row, bool own_scratch)
    : impl_(std::make_unique<Impl>()) {
  Impl& b = *impl_;
  b.width = width;
  b.height = height;
  b.begin = begin;
  b.end = end;
  b.plan = plan_for(sigma);
  const int32_t r_max = largest_radius(b.plan);
  if (r_max < 1 || r_max > kLargestInt32Radius)
    b.extra = ScratchImage::uninitialised((int64_t{end} - begin) * extra_per_row);
  if (r_max < 1) return;
  if (r_max > kLargestInt32Radius) {
    // The whole image, then the 64-bit passes over it.
    b.form = Impl::Form::kWide;
    b.begin = 0;
    b.end = height;
    const int64_t count = int64_t{width} * height;
    b.image = ScratchImage::uninitialised(count);
    b.scratch = ScratchImage::uninitialised(count);
    return;
  }
  b.form = Impl::Form::kStreaming;
  b.streaming = std::make_unique<StreamingBlur>(width, height, b.plan, begin, end, extra_per_row,
                                                own_scratch);
}

BlurBand::~BlurBand() = default;
BlurBand::BlurBand(BlurBand&&) noexcept = default;

int64_t BlurBand::shared_words() const {
  const Impl& b = *impl_;
  return b.form == Impl::Form::kStreaming && !b.streaming->owns_scratch()
             ? b.streaming->block_words()
             : 0;
}

void BlurBand::place(uint32_t* block) {
  if (shared_words() > 0) impl_->streaming->place(block);
}

uint32_t* BlurBand::extra() {
  return impl_->form == Impl::Form::kStreaming ? impl_->streaming->extra() : impl_->extra.data();
}

int32_t BlurBand::input_begin() const {
  return impl_->form == Impl::Form::kStreaming ? impl_->streaming->input_begin() : impl_->begin;
}
int32_t BlurBand::input_end() const {
  return impl_->form == Impl::Form::kStreaming ? impl_->streaming->input_end() : impl_->end;
}

void BlurBand::run(BlurRows& rows) { run(rows, impl_->width); }

void BlurBand::run(BlurRows& rows, int32_t width) {
  Impl& b = *impl_;
  width = std::min(width, b.width);
  const size_t row_bytes = sizeof(uint32_t) * static_cast<size_t>(width);
  switch (b.form) {
    case Impl::Form::kCopy:
      // No pass: every row goes through as it is.
      for (int32_t y = b.begin; y < b.end; ++y) {
        const uint32_t* in = rows.input_row(y);
        uint32_t* out = rows.output_row(y);
        if (out != in) std::memmove(out, in, row_bytes);
        rows.row_done(y);
      }
      return;
    case Impl::Form::kWide:
      for (int32_t y = 0; y < b.height; ++y)
        std::memcpy(b.image.data() + int64_t{y} * width, rows.input_row(y), row_bytes);
      wide_blur(b.image.data(), width, b.height, width, b.plan, b.scratch.data());
      for (int32_t j = 0; j < b.height; ++j) {
        std::memcpy(rows.output_row(j), b.image.data() + int64_t{j} * width, row_bytes);
        rows.row_done(j);
      }
      return;
    case Impl::Form::kStreaming:
      b.streaming->run(rows, width);
      return;
  }
}

int32_t blur_reach(double sigma) {
  const BoxPlan plan = plan_for(sigma);
  if (largest_radius(plan) > kLargestInt32Radius) return INT32_MAX;
  int64_t reach = 0;
  for (int32_t r : plan.radius) reach += std::max(r, 0);
  return static_cast<int32_t>(std::min<int64_t>(reach, INT32_MAX));
}

int blur_band_count(const Runner& runner, int64_t words, int32_t height, double sigma) {
  const int32_t reach = blur_reach(sigma);
  if (reach == INT32_MAX) return 1;  // the 64-bit form takes the whole image
  // A band shorter than twice its reach does more work for its neighbours'
  // rows than for its own.
  const int64_t shortest = std::max<int64_t>(1, std::min<int64_t>(2 * int64_t{reach},
                                                                  runner.piece_words()));
  return pieces_for(runner, words, height / shortest);
}

void gaussian_blur_rows(int32_t width, int32_t height, double sigma, BlurRows& rows) {
  BlurBand(width, height, sigma, 0, height).run(rows);
}

namespace {

// Rows of the caller's image, in place: row y read from and written to
// pixels + y * row_pixels, except the rows a band reads but its neighbours
// write, which come from copies made before any band ran.
class InPlaceRows final : public BlurRows {
 public:
  InPlaceRows(uint32_t* pixels, int64_t row_pixels, const BandHalo* halo = nullptr)
      : pixels_(pixels), row_pixels_(row_pixels), halo_(halo) {}
  const uint32_t* input_row(int32_t y) override {
    const uint32_t* copy = halo_ ? halo_->copy_of(y) : nullptr;
    return copy ? copy : pixels_ + y * row_pixels_;
  }
  const uint32_t* stored_rows(int32_t y, int32_t n, int64_t* stride) override {
    for (int32_t k = 0; halo_ && k < n; ++k)
      if (halo_->copy_of(int64_t{y} + k)) return nullptr;
    *stride = row_pixels_;
    return pixels_ + y * row_pixels_;
  }
  uint32_t* output_row(int32_t j) override { return pixels_ + j * row_pixels_; }
  void row_done(int32_t) override {}

 private:
  uint32_t* pixels_;
  int64_t row_pixels_;
  const BandHalo* halo_;
};

// Columns of one stripe: it makes [c0, c1) from input columns [a, b).
struct Stripe {
  int32_t a, c0, c1, b;
};

// The in-place rows of one stripe. The stripe's blur is an image of its own
// b - a columns, clamped at its edges, so what it writes to columns [a, c0)
// and [c1, b) is wrong. The columns the next stripe reads, from next_a on,
// are kept as each input row is read (just after the blur has read it, on
// its next call, while the row is still in cache) and put back as each
// output row is done; the stripe's own finished ones among them are set
// aside first, for the next stripe to put back when it writes that row, and
// the stripe puts back those the stripe before it set aside. Input rows are
// read where they lie, and an output row is touched only as it is written.
class StripeRows final : public BlurRows {
 public:
  struct Memory {
    int32_t first;         // the band's first input row
    int32_t keep_w;        // words a row of `kept`
    int32_t aside_w;       // words a row of the sets aside
    uint32_t* kept;        // the next stripe's columns as they were
    const uint32_t* from;  // set aside by the stripe before
    uint32_t* to;          // set aside for the stripe after
  };

  StripeRows(uint32_t* pixels, int64_t row_pixels, const BandHalo* halo, const Stripe& s,
             int32_t next_a, const Memory& m)
      : pixels_(pixels), row_pixels_(row_pixels), halo_(halo), s_(s), next_a_(next_a), m_(m) {}

  const uint32_t* input_row(int32_t y) override {
    keep_pending();
    // Rows from the halo are never written here: nothing to keep.
    if (const uint32_t* copy = halo_ ? halo_->copy_of(y) : nullptr) return copy + s_.a;
    pending_y_ = y;
    pending_n_ = 1;
    return row_at(y) + s_.a;
  }
  const uint32_t* stored_rows(int32_t y, int32_t n, int64_t* stride) override {
    keep_pending();
    for (int32_t k = 0; halo_ && k < n; ++k)
      if (halo_->copy_of(int64_t{y} + k)) return nullptr;
    pending_y_ = y;
    pending_n_ = n;
    *stride = row_pixels_;
    return row_at(y) + s_.a;
  }
  uint32_t* output_row(int32_t j) override {
    keep_pending();  // row j itself may be the last row read
    return row_at(j) + s_.a;
  }
  void row_done(int32_t j) override {
    uint32_t* row = row_at(j);
    const int64_t i = int64_t{j} - m_.first;
    copy_words(m_.to + i * m_.aside_w, row + next_a_, s_.c1 - next_a_);
    copy_words(row + next_a_, m_.kept + i * m_.keep_w, s_.b - next_a_);
    copy_words(row + s_.a, m_.from + i * m_.aside_w, s_.c0 - s_.a);
  }

 private:
  static void copy_words(uint32_t* to, const uint32_t* from, int64_t n) {
    if (n > 0) std::memcpy(to, from, sizeof(uint32_t) * static_cast<size_t>(n));
  }
  uint32_t* row_at(int64_t y) const { return pixels_ + y * row_pixels_; }
  void keep_pending() {
    for (int32_t k = 0; k < pending_n_; ++k) {
      const int64_t y = int64_t{pending_y_} + k;
      copy_words(m_.kept + (y - m_.first) * m_.keep_w, row_at(y) + next_a_, s_.b - next_a_);
    }
    pending_n_ = 0;
  }

  uint32_t* pixels_;
  int64_t row_pixels_;
  const BandHalo* halo_;
  Stripe s_;
  int32_t next_a_;
  Memory m_;
  int32_t pending_y_ = 0, pending_n_ = 0;
};

// How many column stripes a band of `rows` rows is worth cutting into. A
// pipeline across a whole wide row keeps more rows of rings than a core's
// L2 holds beside the image streaming through it: measured on 3840-word
// rows, stripes of about 1024 columns blur 10-25% faster at the vector
// levels. Stripes are at least 64 * reach wide, so the 2 * reach columns
// each blurs beyond its own add at most a thirty-second to the work (what
// the levels whose rows are computation-bound pay for it).
int stripe_count(int32_t width, int64_t rows, double sigma) {
  const int32_t reach = blur_reach(sigma);
  if (reach < 1 || reach == INT32_MAX) return 1;
  const int64_t target = std::max<int64_t>(1024, 64 * int64_t{reach});
  const int64_t n = width / target;
  // What the stripes keep and set aside, 4 * reach words a row, stays
  // within 16 * reach rows of the image's width.
  if (n < 2 || rows > 4 * int64_t{width}) return 1;
  return static_cast<int>(n);
}

// One band of the in-place blur: its rows [begin, end), in column stripes
// run left to right by one blur made for the widest, with the halo rows it
// reads beyond itself.
struct InPlaceBand {
  std::vector<Stripe> stripes;
  // The widest stripe, what the stripes keep (keep_w a row) and two
  // alternating sets of what they set aside (aside_w a row), the last two in
  // the blur's own scratch block: one allocation a band, as without stripes.
  struct Widths {
    int32_t blur = 0, keep = 0, aside = 0;
  } w;
  BlurBand blur;
  BandHalo halo;

  InPlaceBand(int32_t width, int32_t height, double sigma, int32_t begin, int32_t end,
              int stripes_wanted, bool with_halo)
      : stripes(cut(width, blur_reach(sigma), stripes_wanted)),
        w(widths(stripes)),
        blur(w.blur, height, sigma, begin, end, w.keep + 2 * int64_t{w.aside}, false) {
    if (with_halo) halo = BandHalo(blur.input_begin(), begin, end, blur.input_end(), width);
  }

  void run(uint32_t* pixels, int64_t row_pixels) {
    const BandHalo* h = halo.words() > 0 ? &halo : nullptr;
    if (stripes.size() == 1) {
      InPlaceRows rows(pixels, row_pixels, h);
      blur.run(rows);
      return;
    }
    uint32_t* kept = blur.extra();
    uint32_t* sets[2] = {kept + rows() * w.keep, kept + rows() * (w.keep + w.aside)};
    for (size_t k = 0; k < stripes.size(); ++k) {
      const Stripe& s = stripes[k];
      const int32_t next_a = k + 1 < stripes.size() ? stripes[k + 1].a : s.b;
      const StripeRows::Memory m{blur.input_begin(), w.keep, w.aside, kept, sets[(k + 1) % 2],
                                 sets[k % 2]};
      StripeRows rows(pixels, row_pixels, h, s, next_a, m);
      blur.run(rows, s.b - s.a);
    }
  }

 private:
  int64_t rows() const { return int64_t{blur.input_end()} - blur.input_begin(); }

  // Stripes at least 2 * reach wide, so that the columns a stripe puts back
  // and those it sets aside are apart (the edges move by at most 8); none
  // where there is no window (nothing to blur, or the 64-bit form over the
  // whole image).
  static std::vector<Stripe> cut(int32_t width, int32_t reach, int wanted) {
    const int n = reach < 1 || reach == INT32_MAX
                      ? 1
                      : std::max(1, std::min(wanted, width / (2 * reach)));
    // Inner edges on whole cache lines (of a row that starts on one) where
    // the stripes are wide enough to spare the 16 words: measured, a fifth
    // faster at sigma 2 than edges wherever the division puts them.
    const bool aligned = width / n >= 2 * int64_t{reach} + 16;
    auto edge = [&](int k) {
      const int64_t e = span_of(width, n, k).begin;
      return static_cast<int32_t>(aligned ? (e + 8) / 16 * 16 : e);
    };
    std::vector<Stripe> out;
    for (int k = 0; k < n; ++k) {
      const int32_t c0 = k == 0 ? 0 : edge(k), c1 = k + 1 == n ? width : edge(k + 1);
      const int32_t a = n == 1 ? 0 : std::max<int32_t>(0, c0 - reach);
      const int32_t b =
          n == 1 ? width : static_cast<int32_t>(std::min<int64_t>(width, int64_t{c1} + reach));
      out.push_back({a, c0, c1, b});
    }
    return out;
  }
  static Widths widths(const std::vector<Stripe>& stripes) {
    Widths w;
    for (size_t k = 0; k < stripes.size(); ++k) {
      w.blur = std::max(w.blur, stripes[k].b - stripes[k].a);
      if (k + 1 == stripes.size()) continue;
      w.keep = std::max(w.keep, stripes[k].b - stripes[k + 1].a);
      w.aside = std::max(w.aside, stripes[k].c1 - stripes[k + 1].a);
    }
    return w;
  }
};

}  // namespace

void gaussian_blur_in_place(uint32_t* pixels, int32_t width, int32_t height,
                            int64_t row_pixels, double sigma, Runner& runner, int stripes) {
  const int bands = blur_band_count(runner, int64_t{width} * height, height, sigma);
  // Row bands, each with copies of the rows beyond it that it reads (its
  // halo), taken before any band writes.
  std::vector<InPlaceBand> parts;
  parts.reserve(static_cast<size_t>(bands));
  for (int i = 0; i < bands; ++i) {
    const Span rows = span_of(height, bands, i);
    const int n = stripes > 0 ? stripes : stripe_count(width, rows.end - rows.begin, sigma);
    parts.emplace_back(width, height, sigma, static_cast<int32_t>(rows.begin),
                       static_cast<int32_t>(rows.end), n, bands > 1);
  }
  const ScratchImage shared =
      share_scratch(bands, [&](int i) -> BlurBand& { return parts[i].blur; });
  auto row_at = [&](int64_t y) { return pixels + y * row_pixels; };
  if (bands > 1)
    fill_halos(runner, bands, [&](int i) { return parts[i].halo.words(); },
               [&](int i) { parts[i].halo.fill(row_at); });
  runner.run(bands, [&](int i) { parts[i].run(pixels, row_pixels); });
}

void gaussian_blur_in_place(uint32_t* pixels, int32_t width, int32_t height,
                            int64_t row_pixels, double sigma) {
  SerialRunner serial;
  gaussian_blur_in_place(pixels, width, height, row_pixels, sigma, serial);
}

int32_t gaussian_blur(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                      double sigma, Runner& runner) {
  return run_effect(entry::kGaussianBlur, pixels, width, height, stride,
                    [&](const Buffer& b) {
                      gaussian_blur_in_place(pixels, b.width, b.height, b.row_pixels, sigma,
                                             runner);
                    });
}

}  // namespace kvfx
