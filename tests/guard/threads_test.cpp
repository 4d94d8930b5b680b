// Calls on distinct buffers may run concurrently: four threads each run a
// different sequence of all ten effects on their own buffers, and every
// buffer must end as the same sequence run alone leaves it. Under
// ThreadSanitizer this also shows the library shares no unsynchronised state.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "guard/effect_table.h"
#include "kelvo_fx.h"
#include "support/image.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 3;

struct Job {
  int32_t width, height, row_pixels;
  std::vector<uint32_t> pixels;
  std::vector<uint32_t> shadow;  // drop shadow's dst, distinct from pixels
  std::vector<size_t> order;     // indices into all_effects()
};

Job make_job(int t) {
  Job j;
  j.width = 31 + 7 * t;
  j.height = 24 + 5 * t;
  j.row_pixels = j.width + t;  // thread 0 without padding
  j.pixels.resize(size_t(j.height) * j.row_pixels);
  kvfx_test::fill_random_premultiplied(j.pixels, 900 + t);
  j.shadow.assign(j.pixels.size(), 0);
  const size_t n = kvfx_test::all_effects().size();
  for (size_t k = 0; k < n; ++k) j.order.push_back((k * (2 * t + 1) + t) % n);
  return j;
}

void run_job(Job& j, const std::vector<kvfx_test::EffectCase>& effects) {
  const int32_t stride = j.row_pixels * 4;
  for (int round = 0; round < kRounds; ++round) {
    for (size_t e : j.order)
      ASSERT_EQ(effects[e].call(j.pixels.data(), j.width, j.height, stride), FX_OK)
          << effects[e].name;
    ASSERT_EQ(kv_fx_drop_shadow(j.pixels.data(), j.shadow.data(), j.width, j.height,
                                stride, 2.0 + round, -1.0, 1.5, 0x90000000u),
              FX_OK);
  }
}

TEST(Threads, DistinctBuffersMatchSequentialRuns) {
  const auto effects = kvfx_test::all_effects();
  std::vector<Job> sequential, concurrent;
  for (int t = 0; t < kThreads; ++t) {
    sequential.push_back(make_job(t));
    concurrent.push_back(make_job(t));
  }
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      // Start together so the calls really overlap.
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      run_job(concurrent[t], effects);
    });
  for (auto& th : threads) th.join();
  // Alone afterwards, so the threads also make the library's first calls
  // (its one-time CPU probe among them).
  for (Job& j : sequential) run_job(j, effects);

  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(concurrent[t].pixels == sequential[t].pixels) << "thread " << t;
    EXPECT_TRUE(concurrent[t].shadow == sequential[t].shadow) << "thread " << t;
  }
}

}  // namespace
