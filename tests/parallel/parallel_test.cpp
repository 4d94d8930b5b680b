// The parallel exports against the core's, word for word, through the
// catalogue: every effect at several settings and thread counts, on
// geometries that stress the splits (fewer rows than threads, one row, one
// column, padding, bottom-up where allowed, the shadow in place and from a
// separate source). The library is told that any piece is worth a thread,
// so these small images are cut as finely as their rows allow, and that the
// machine has 16 CPUs (64 threads then run as 16, still more pieces than
// most of the images have rows, at a quarter of the thread starts, which
// count under an emulator). Also: threads that cannot be started, scratch
// memory that cannot be had, and buffers fenced by inaccessible pages.
// Under ThreadSanitizer (the suite's name starts with Threads) the splits
// show that no two pieces touch the same word unsynchronised.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "effect_catalogue.h"
#include "guard/effect_table.h"
#include "guard/guarded_buffer.h"
#include "kelvo_fx.h"
#include "parallel/thread_runner.h"
#include "support/hooks.h"
#include "support/image.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace {

using kvfx_catalogue::Effect;

struct Geometry {
  int32_t width, height, row_pixels;  // row_pixels < 0: bottom-up
};

// Rows that share words (row_pixels below the width) too, which the effects
// that take them must visit in order.
constexpr Geometry kGeometries[] = {
    {1, 1, 1},    {53, 1, 53},  {1, 41, 1},    {1, 41, 3},  {29, 3, 29},
    {37, 29, 40}, {64, 61, 64}, {17, 90, 19}, {33, 27, -35}, {9, 40, 4}};
constexpr int32_t kThreadCounts[] = {1, 2, 3, 7, 64, 0};
constexpr size_t kGuardWords = 8;  // beyond the addressed words on either side

std::string label(const Geometry& g, int32_t threads, bool separate) {
  return std::to_string(g.width) + "x" + std::to_string(g.height) + "/" +
         std::to_string(g.row_pixels) + " threads " + std::to_string(threads) +
         (separate ? " from a separate source" : "");
}

// A buffer for the geometry with guard words around it, and where its first
// row starts (for a bottom-up image, the top row lies last in memory).
struct Frame {
  std::vector<uint32_t> words;
  size_t first = 0;
};

Frame frame_for(const Geometry& g, uint32_t seed) {
  const int64_t rows = std::abs(int64_t{g.row_pixels}) * g.height;
  Frame f;
  f.words.resize(static_cast<size_t>(rows) + 2 * kGuardWords);
  kvfx_test::fill_random_premultiplied(f.words, seed);
  f.first = kGuardWords + (g.row_pixels < 0 ? static_cast<size_t>(rows + g.row_pixels) : 0);
  return f;
}

bool allows(const Effect& e, const Geometry& g) {
  return g.row_pixels >= 0 || e.entry->negative_rows == kvfx::Answer::kWork;
}

TEST(ThreadsParallel, SameWordsAsTheCoreAtEveryThreadCount) {
  kvfx_test::FineSplits fine(16);
  uint32_t seed = 1;
  for (const kvfx_test::EffectCase& c : kvfx_test::all_effects())
    for (const Geometry& g : kGeometries) {
      if (!allows(*c.effect, g)) continue;
      for (bool separate : {false, true}) {
        if (separate && !c.effect->two_buffers) continue;
        const Frame input = frame_for(g, seed++);
        const Frame source = frame_for(g, seed++);
        const uint32_t* src = separate ? source.words.data() + source.first : nullptr;
        Frame expected = input;
        const int32_t expected_rc = c.effect->call(expected.words.data() + expected.first, g.width,
                                                   g.height, g.row_pixels * 4, c.args.data(), src);
        for (int32_t threads : kThreadCounts) {
          SCOPED_TRACE(c.name + " " + label(g, threads, separate));
          Frame got = input;
          EXPECT_EQ(c.effect->parallel_call(got.words.data() + got.first, g.width, g.height,
                                            g.row_pixels * 4, c.args.data(), src, threads),
                    expected_rc);
          ASSERT_TRUE(got.words == expected.words);
        }
      }
    }
}

// A process at its thread limit: none, or only one, of the wanted threads
// starts, and the work still gets done, the same way.
TEST(ThreadsParallel, ThreadsThatCannotStartLeaveTheSameWords) {
  kvfx_test::FineSplits fine;
  const Geometry g = {37, 29, 40};
  for (const kvfx_test::EffectCase& c : kvfx_test::all_effects())
    for (int started : {0, 1}) {
      SCOPED_TRACE(c.name + " with " + std::to_string(started) + " thread started");
      const Frame input = frame_for(g, 7);
      Frame expected = input, got = input;
      ASSERT_EQ(c.effect->call(expected.words.data() + expected.first, g.width, g.height,
                               g.row_pixels * 4, c.args.data(), nullptr),
                FX_OK);
      kvfx_test::ThreadStartFailure failing(started);
      ASSERT_EQ(c.effect->parallel_call(got.words.data() + got.first, g.width, g.height,
                                        g.row_pixels * 4, c.args.data(), nullptr, 7),
                FX_OK);
      ASSERT_TRUE(got.words == expected.words);
    }
}

// Each scratch allocation of a split call made to fail in turn: every
// failing call reports FX_ERR_OUT_OF_MEMORY with the buffers as they were
// (no piece has written), and the first call that gets all its memory gives
// the core's result.
TEST(ThreadsParallel, EveryScratchAllocationOfASplitCall) {
  kvfx_test::FineSplits fine;
  const Geometry g = {20, 15, 23};
  int allocating = 0;
  for (const kvfx_test::EffectCase& c : kvfx_test::all_effects()) {
    SCOPED_TRACE(c.name);
    const Frame input = frame_for(g, 11), source = frame_for(g, 12);
    const uint32_t* src = c.effect->two_buffers ? source.words.data() + source.first : nullptr;
    Frame expected = input;
    ASSERT_EQ(c.effect->call(expected.words.data() + expected.first, g.width, g.height,
                             g.row_pixels * 4, c.args.data(), src),
              FX_OK);
    int failures = 0;
    for (int n = 0; n < 64; ++n) {
      Frame got = input;
      int32_t rc;
      {
        kvfx_test::AllocationFailure armed(n);
        rc = c.effect->parallel_call(got.words.data() + got.first, g.width, g.height,
                                     g.row_pixels * 4, c.args.data(), src, 4);
      }
      if (rc == FX_ERR_OUT_OF_MEMORY) {
        ++failures;
        ASSERT_TRUE(got.words == input.words) << "allocation " << n << " failed after a write";
        continue;
      }
      ASSERT_EQ(rc, FX_OK) << "allocation " << n;
      ASSERT_TRUE(got.words == expected.words) << "first successful call, n = " << n;
      break;
    }
    EXPECT_LT(failures, 64) << "never succeeded";
    allocating += failures > 0;
  }
  EXPECT_GE(allocating, 12);
}

// The tightest buffers (height x row_pixels words and nothing more) fenced
// on either side: no piece of a split call reads or writes beyond them.
TEST(ThreadsParallel, SplitCallsStayInsideFencedBuffers) {
  kvfx_test::FineSplits fine;
  const Geometry geometries[] = {{17, 13, 21}, {1, 7, 1}, {7, 1, 9}, {3, 64, 5}, {13, 11, 16}};
  uint32_t seed = 100;
  for (const kvfx_test::EffectCase& c : kvfx_test::all_effects())
    for (const Geometry& g : geometries)
      for (kvfx_test::Fence fence : {kvfx_test::Fence::kAfter, kvfx_test::Fence::kBefore}) {
        SCOPED_TRACE(c.name + " " + label(g, 5, false));
        std::vector<uint32_t> plain(size_t(g.height) * g.row_pixels);
        kvfx_test::fill_random_premultiplied(plain, seed++);
        kvfx_test::GuardedBuffer fenced(plain, fence);
        const int32_t rc = c.effect->call(plain.data(), g.width, g.height, g.row_pixels * 4,
                                          c.args.data(), nullptr);
        EXPECT_EQ(c.effect->parallel_call(fenced.data(), g.width, g.height, g.row_pixels * 4,
                                          c.args.data(), nullptr, 5),
                  rc);
        ASSERT_TRUE(fenced.contents() == plain);
      }
}

#if defined(__linux__)
// Automatic thread counts follow the CPUs this process may run on, not the
// machine's: a thread bound to one CPU is told one.
TEST(ThreadsParallel, AutomaticCountFollowsTheAffinityMask) {
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  int first = 0;
  while (!CPU_ISSET(first, &saved)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const int bound = kvfx::available_cpus();
  ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(bound, 1);
  EXPECT_GE(kvfx::available_cpus(), 1);
  EXPECT_EQ(kvfx::ThreadRunner(0).lanes(), kvfx::available_cpus());
  EXPECT_EQ(kvfx::ThreadRunner(1).lanes(), 1);
  EXPECT_LE(kvfx::ThreadRunner(1000).lanes(), kvfx::available_cpus());
}
#endif

}  // namespace
