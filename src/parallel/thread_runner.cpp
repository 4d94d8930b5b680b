#include "parallel/thread_runner.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "parallel/test_hooks.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sched.h>
#endif

namespace kvfx {
namespace {

std::atomic<int> g_pretend_cpus{0};
std::atomic<int64_t> g_piece_words{0};
std::atomic<int> g_thread_starts_left{-1};
std::atomic<bool> g_fixed_shares{false};

bool thread_start_allowed() {
  int n = g_thread_starts_left.load(std::memory_order_relaxed);
  while (n > 0 && !g_thread_starts_left.compare_exchange_weak(n, n - 1)) {
  }
  return n != 0;
}

#if defined(__linux__)
// The CPU quota of one cgroup directory, in whole CPUs rounded up, or 0 for
// none: cgroup v2's cpu.max ("max" or "quota period"), else v1's pair.
int quota_in(const std::string& dir) {
  long long quota = -1, period = 0;
  if (FILE* f = std::fopen((dir + "/cpu.max").c_str(), "r")) {
    char q[32] = {0};
    if (std::fscanf(f, "%31s %lld", q, &period) == 2 && std::strcmp(q, "max") != 0)
      quota = std::atoll(q);
    std::fclose(f);
  } else if (FILE* fq = std::fopen((dir + "/cpu.cfs_quota_us").c_str(), "r")) {
    if (std::fscanf(fq, "%lld", &quota) != 1) quota = -1;
    std::fclose(fq);
    if (FILE* fp = std::fopen((dir + "/cpu.cfs_period_us").c_str(), "r")) {
      if (std::fscanf(fp, "%lld", &period) != 1) period = 0;
      std::fclose(fp);
    }
  }
  if (quota <= 0 || period <= 0) return 0;
  return static_cast<int>(std::min<long long>((quota + period - 1) / period, 1 << 20));
}

// The tightest quota on this process's cgroup and every cgroup above it,
// or 0 for none.
int cgroup_cpus() {
  FILE* f = std::fopen("/proc/self/cgroup", "r");
  if (!f) return 0;
  int best = 0;
  char line[4096];
  while (std::fgets(line, sizeof line, f)) {
    // "id:controllers:path"; v2 has no controllers, v1's cpu line names cpu.
    char* first = std::strchr(line, ':');
    char* second = first ? std::strchr(first + 1, ':') : nullptr;
    if (!second) continue;
    std::string controllers(first + 1, second);
    std::string path(second + 1);
    while (!path.empty() && (path.back() == '\n' || path.back() == '/')) path.pop_back();
    std::vector<std::string> roots;
    if (controllers.empty()) {
      roots = {"/sys/fs/cgroup"};
    } else if (("," + controllers + ",").find(",cpu,") != std::string::npos) {
      roots = {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"};
    } else {
      continue;
    }
    for (const std::string& root : roots) {
      // From the process's own cgroup up to the root; in a container the
      // path may name the host's hierarchy, which the root then stands for.
      for (std::string p = path;; p = p.substr(0, p.rfind('/'))) {
        const int q = quota_in(root + p);
        if (q > 0) best = best == 0 ? q : std::min(best, q);
        if (p.empty()) break;
      }
    }
  }
  std::fclose(f);
  return best;
}
#endif

int affinity_cpus() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
#elif defined(_WIN32)
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    int n = 0;
    for (DWORD_PTR m = process; m != 0; m &= m - 1) ++n;
    return n;
  }
#endif
  return static_cast<int>(std::thread::hardware_concurrency());
}

}  // namespace

void pretend_cpus(int n) { g_pretend_cpus.store(n, std::memory_order_relaxed); }
void set_piece_words(int64_t words) { g_piece_words.store(words, std::memory_order_relaxed); }
void fail_thread_starts_after(int n) { g_thread_starts_left.store(n, std::memory_order_relaxed); }
void give_fixed_shares(bool on) { g_fixed_shares.store(on, std::memory_order_relaxed); }

#if defined(__linux__)
// The quota takes a dozen file reads to find, and changes rarely: it is read
// again once a second at most. A stale answer only sizes a split.
int cgroup_cpus_recently() {
  static std::atomic<int> quota{-1};
  static std::atomic<int64_t> read_at{0};
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  const int last = quota.load(std::memory_order_relaxed);
  if (last >= 0 && now - read_at.load(std::memory_order_relaxed) < 1000) return last;
  const int fresh = cgroup_cpus();
  quota.store(fresh, std::memory_order_relaxed);
  read_at.store(now, std::memory_order_relaxed);
  return fresh;
}
#endif

int available_cpus() {
  const int pretended = g_pretend_cpus.load(std::memory_order_relaxed);
  if (pretended > 0) return pretended;
  int n = affinity_cpus();
#if defined(__linux__)
  const int quota = cgroup_cpus_recently();
  if (quota > 0 && (n <= 0 || quota < n)) n = quota;
#endif
  return std::max(n, 1);
}

int ThreadRunner::lanes() const {
  if (lanes_ == 0) {
    if (threads_ == 1) {
      lanes_ = 1;
    } else {
      const int cpus = available_cpus();
      lanes_ = threads_ <= 0 ? cpus : std::min<int>(threads_, cpus);
    }
  }
  return lanes_;
}

int64_t ThreadRunner::piece_words() const {
  const int64_t set = g_piece_words.load(std::memory_order_relaxed);
  return set > 0 ? set : kWordsPerPiece;
}

void ThreadRunner::run(int pieces, const PieceTask& task) {
  const int helpers = pieces > 1 ? std::min(pieces, lanes()) - 1 : 0;
  // Pieces go to whichever thread asks next, so a thread that starts late
  // (or not at all) leaves its share to the others. The tests can give
  // each thread a fixed share instead, so that the pieces of one phase
  // really run on different threads.
  const bool fixed = g_fixed_shares.load(std::memory_order_relaxed);
  std::atomic<int> next{0};
  auto work = [&] {
    for (int i = next.fetch_add(1); i < pieces; i = next.fetch_add(1)) task(i);
  };
  auto share = [&](int t) {
    for (int i = t; i < pieces; i += helpers + 1) task(i);
  };
  std::vector<std::thread> started;
  if (helpers > 0) {
    // Whatever fails here (the vector, a thread) only means fewer helpers.
    try {
      started.reserve(static_cast<size_t>(helpers));
      for (int t = 1; t <= helpers && thread_start_allowed(); ++t) {
        if (fixed) started.emplace_back(share, t);
        else started.emplace_back(work);
      }
    } catch (...) {
    }
  }
  if (fixed) {
    share(0);
    for (int t = static_cast<int>(started.size()) + 1; t <= helpers; ++t) share(t);
  } else {
    work();
  }
  for (std::thread& t : started) t.join();
}

}  // namespace kvfx
