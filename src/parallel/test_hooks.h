// The parallel library's settings for its own tests, like the core's
// (core/test_hooks.h): not exported, process-wide, set through RAII guards.
#pragma once

#include <cstdint>

namespace kvfx {

// available_cpus() answers `n` from now on (0: the real count again), so a
// two-core machine can run a split into 64 pieces on 64 threads.
void pretend_cpus(int n);

// The least words a piece may have (0: the shipped kWordsPerPiece), so small
// test images are cut as finely as large ones.
void set_piece_words(int64_t words);

// The next `n` thread starts succeed and every one after fails, as in a
// process at its thread limit (negative: none fails).
void fail_thread_starts_after(int n);

// Each thread of a phase runs a fixed share of its pieces (every k-th) in
// place of taking the next one free, so pieces run on different threads
// even where one thread could have done them all before another started.
void give_fixed_shares(bool on);

}  // namespace kvfx
