// How an effect's work is cut into pieces that may run at the same time.
//
// Every effect takes a Runner. The shipped library passes one that runs each
// phase's pieces one after the other on the calling thread and always asks
// for a single piece, so its calls are exactly the whole-frame forms; the
// parallel library passes one that runs pieces on threads. An effect
// describes its split beside its own code: how many pieces (pieces_for), what
// each piece covers, and what must be done before any piece writes (a phase
// of its own: phases run one after the other, each finished before the next
// begins).
//
// Every piece of one phase writes memory no other piece of that phase reads
// or writes, so the result does not depend on how many pieces there are or
// how they are scheduled. Pieces never allocate and never throw: an effect
// makes all its scratch memory on the calling thread before the first phase,
// so a failure still leaves the caller's buffers as they were.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/scratch.h"

namespace kvfx {

// A callable `void(int piece)` by reference, without allocation.
class PieceTask {
 public:
  template <class F>
  PieceTask(const F& f)  // NOLINT: implicit, like a function reference
      : object_(&f), call_([](const void* o, int i) { (*static_cast<const F*>(o))(i); }) {}
  void operator()(int piece) const { call_(object_, piece); }

 private:
  const void* object_;
  void (*call_)(const void*, int);
};

// Below this many words of work (1 MiB of pixels, about half a millisecond
// of the blur and a fifth of the vignette) a piece costs more to hand to a
// thread than it saves: starting a thread costs tens of microseconds, and
// on a virtual machine whose other CPUs are idle a new thread may wait a
// millisecond or more before it first runs. Effects much cheaper per word
// than these (a plain move of words, a table lookup) count their words at a
// fraction.
constexpr int64_t kWordsPerPiece = int64_t{1} << 18;

class Runner {
 public:
  // At most how many pieces run at once: 1 for the shipped library.
  virtual int lanes() const = 0;
  // The least work worth a piece of its own, in words.
  virtual int64_t piece_words() const { return kWordsPerPiece; }
  // task(i) for every i in [0, pieces), each exactly once, returning when
  // all have finished.
  virtual void run(int pieces, const PieceTask& task) = 0;

 protected:
  ~Runner() = default;
};

// One piece after the other on the calling thread.
class SerialRunner final : public Runner {
 public:
  int lanes() const override { return 1; }
  void run(int pieces, const PieceTask& task) override {
    for (int i = 0; i < pieces; ++i) task(i);
  }
};

// How many pieces to cut `words` words of work into, given at most `most`
// useful pieces (rows, say): never more than the runner's lanes, never a
// piece of less than its piece_words, at least 1. Work too small for two
// pieces does not ask for the lanes at all.
inline int pieces_for(const Runner& runner, int64_t words, int64_t most) {
  const int64_t n = std::min(words / std::max<int64_t>(1, runner.piece_words()), most);
  if (n <= 1) return 1;
  return static_cast<int>(std::min<int64_t>(n, runner.lanes()));
}

// Piece i of `count` items cut into `pieces` nearly equal spans: [begin, end).
struct Span {
  int64_t begin, end;
};
inline Span span_of(int64_t count, int pieces, int i) {
  return {count * i / pieces, count * (i + 1) / pieces};
}

// Copies of caller rows [begin, end) as they were before any piece wrote.
class RowCopies {
 public:
  RowCopies() = default;
  RowCopies(int64_t begin, int64_t end, int32_t width)
      : begin_(begin), end_(std::max(begin, end)), width_(width),
        words_(end_ > begin_ ? ScratchImage::uninitialised((end_ - begin_) * width)
                             : ScratchImage()) {}

  bool holds(int64_t y) const { return y >= begin_ && y < end_; }
  int64_t words() const { return (end_ - begin_) * width_; }
  const uint32_t* row(int64_t y) const { return words_.data() + (y - begin_) * width_; }
  // Copies the rows of the image whose row y starts at row_at(y).
  template <class RowAt>
  void fill(RowAt row_at) {
    for (int64_t y = begin_; y < end_; ++y)
      std::memcpy(words_.data() + (y - begin_) * width_, row_at(y),
                  static_cast<size_t>(width_) * sizeof(uint32_t));
  }

 private:
  int64_t begin_ = 0, end_ = 0;
  int32_t width_ = 0;
  ScratchImage words_;
};

// The rows a band of rows [begin, end) reads beyond itself, [lo, begin)
// above and [end, hi) below, which its neighbours rewrite: copied as they
// were before any band wrote. Made (allocated) on the calling thread,
// filled in a phase of its own before the bands run. An empty halo (the
// default, or a band that is the whole image) holds nothing.
class BandHalo {
 public:
  BandHalo() = default;
  BandHalo(int64_t lo, int64_t begin, int64_t end, int64_t hi, int32_t width)
      : above_(lo, begin, width), below_(end, hi, width) {}

  template <class RowAt>
  void fill(RowAt row_at) {
    above_.fill(row_at);
    below_.fill(row_at);
  }
  int64_t words() const { return above_.words() + below_.words(); }
  // Row y's copy, or nullptr where the band reads row y where it stands.
  const uint32_t* copy_of(int64_t y) const {
    if (above_.holds(y)) return above_.row(y);
    if (below_.holds(y)) return below_.row(y);
    return nullptr;
  }

 private:
  RowCopies above_, below_;
};

// The copy phase of `count` bands, band i's halo holding words_of(i) words:
// fill(i) for every band, in as many pieces as that much copying is worth.
// A few rows are copied on the calling thread, sparing a thread start (and
// the join that waits for it) that would cost more than the copy.
template <class WordsOf, class Fill>
void fill_halos(Runner& runner, int count, const WordsOf& words_of, const Fill& fill) {
  int64_t words = 0;
  for (int i = 0; i < count; ++i) words += words_of(i);
  const int pieces = pieces_for(runner, words, count);
  runner.run(pieces, [&](int piece) {
    const Span bands = span_of(count, pieces, piece);
    for (int64_t i = bands.begin; i < bands.end; ++i) fill(static_cast<int>(i));
  });
}

}  // namespace kvfx
