// Every effect called through the C interface as an application calls it
// (its own scratch allocations included), on whole frames, next to memcpy of
// the same frame. A summary at the end gives each effect's throughput as a
// fraction of memcpy measured in the same run, which is steadier than the
// raw numbers on a busy machine.
//
//   kelvo_fx_bench [--level=NAME] [--threads N] [--benchmark_filter=REGEX] [google benchmark flags]
//
// --threads N runs every case twice, next to each other: as the core's call
// on the calling thread, then as the parallel export's with N threads (0:
// automatic), named NAME@N; memcpy and the OpenCV peers likewise, on N
// threads. The summary then gives each pair's ratio from the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/cpu.h"
#include "core/test_hooks.h"
#include "effect_catalogue.h"
#include "kelvo_fx.h"

#ifdef KV_FX_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

// --threads: the parallel exports' thread count, or -1 for none.
int32_t g_threads = -1;

// Threads for a helper that is not the library (memcpy): -1 and 1 mean one.
int helper_threads(int32_t threads) {
  if (threads == 0) return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return std::max(1, threads);
}

struct Size {
  int32_t w, h;
};
const Size kSizes[] = {{4096, 2160}, {3840, 2160}, {1920, 1080}};

// A frame of valid premultiplied words with some structure (gradients and
// noise), so thresholds and alpha-dependent paths see realistic mixes.
std::vector<uint32_t> make_frame(int32_t w, int32_t h) {
  std::vector<uint32_t> v(static_cast<size_t>(w) * h);
  std::mt19937 rng(12345);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t a = (x * 7 + y * 3) % 3 == 0 ? 255u : (rng() & 0xFF);
      auto c = [&] { return a == 0 ? 0u : static_cast<uint32_t>(rng() % (a + 1)); };
      const uint32_t r = c(), g = c(), b = c();
      v[static_cast<size_t>(y) * w + x] = a << 24 | r << 16 | g << 8 | b;
    }
  return v;
}

void set_rate(benchmark::State& state, int32_t w, int32_t h) {
  state.counters["MP/s"] = benchmark::Counter(
      static_cast<double>(w) * h / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// One catalogued effect with its arguments, called as a user calls it (its
// own scratch allocations included). Two-buffer effects write a second frame.
struct Case {
  std::string name;
  const kvfx_catalogue::Effect* effect;
  std::vector<double> args;
  bool in_place = false;  // a two-buffer effect with dst == src
  int32_t threads = -1;   // the parallel export's count, or -1 for the core's call
};

int32_t call(const Case& c, uint32_t* pixels, int32_t w, int32_t h, const uint32_t* source) {
  return c.threads < 0
             ? c.effect->call(pixels, w, h, w * 4, c.args.data(), source)
             : c.effect->parallel_call(pixels, w, h, w * 4, c.args.data(), source, c.threads);
}

void run_case(benchmark::State& state, Size s, const Case& c) {
  std::vector<uint32_t> frame = make_frame(s.w, s.h);
  const std::vector<uint32_t> original = frame;
  const bool separate = c.effect->two_buffers && !c.in_place;
  std::vector<uint32_t> dst(separate ? frame.size() : 0);
  int64_t calls = 0;
  for (auto _ : state) {
    // Effects that converge (tone map, blur) would otherwise work on ever
    // flatter data; restore the input now and then, outside the timing.
    if (!separate && ++calls % 16 == 0) {
      state.PauseTiming();
      frame = original;
      state.ResumeTiming();
    }
    const int32_t rc = separate ? call(c, dst.data(), s.w, s.h, frame.data())
                                : call(c, frame.data(), s.w, s.h, nullptr);
    benchmark::DoNotOptimize(rc);
    benchmark::ClobberMemory();
  }
  set_rate(state, s.w, s.h);
}

void bench_memcpy(benchmark::State& state, Size s, int32_t threads) {
  const std::vector<uint32_t> src = make_frame(s.w, s.h);
  std::vector<uint32_t> dst(src.size());
  // On as many threads as the effects get, each started for the copy as
  // the parallel exports start theirs.
  const int n = helper_threads(threads);
  auto copy = [&](int i) {
    const size_t begin = src.size() * i / n, end = src.size() * (i + 1) / n;
    std::memcpy(dst.data() + begin, src.data() + begin, (end - begin) * sizeof(uint32_t));
  };
  for (auto _ : state) {
    if (n <= 1) {
      copy(0);
    } else {
      std::vector<std::thread> threads;
      for (int i = 1; i < n; ++i) threads.emplace_back(copy, i);
      copy(0);
      for (std::thread& t : threads) t.join();
    }
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  set_rate(state, s.w, s.h);
}

#ifdef KV_FX_BENCH_OPENCV
// The widths of the three boxes the library plans for sigma (the same
// arithmetic as the library's, so both sides run the same algorithm).
std::vector<int> box_widths(double sigma) {
  const double q12 = 12.0 * sigma * sigma;
  const int ideal = static_cast<int>(std::floor(std::sqrt(q12 / 3.0 + 1.0)));
  const int wl = ideal % 2 ? ideal : ideal - 1;
  const double e = wl;
  const double q = (((q12 + (-3.0 * e) * e) + (-12.0 * e)) + (-9.0)) / ((e * (-4.0)) + (-4.0));
  const int m = static_cast<int>(std::round(q));
  return {0 < m ? wl : wl + 2, 1 < m ? wl : wl + 2, 2 < m ? wl : wl + 2};
}

// A caller of OpenCV on the same frame: BGRA bytes (the same memory as our
// words on a little-endian machine), output into a second buffer.
void bench_cv_gaussian(benchmark::State& state, Size s, double sigma, int32_t threads) {
  cv::setNumThreads(threads < 0 ? 1 : threads == 0 ? -1 : threads);
  std::vector<uint32_t> frame = make_frame(s.w, s.h), out(frame.size());
  const cv::Mat src(s.h, s.w, CV_8UC4, frame.data()), dst(s.h, s.w, CV_8UC4, out.data());
  for (auto _ : state) {
    cv::Mat d = dst;
    cv::GaussianBlur(src, d, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
    benchmark::ClobberMemory();
  }
  set_rate(state, s.w, s.h);
}

void bench_cv_three_boxes(benchmark::State& state, Size s, double sigma, int32_t threads) {
  cv::setNumThreads(threads < 0 ? 1 : threads == 0 ? -1 : threads);
  std::vector<uint32_t> frame = make_frame(s.w, s.h), out(frame.size());
  const cv::Mat src(s.h, s.w, CV_8UC4, frame.data()), dst(s.h, s.w, CV_8UC4, out.data());
  const std::vector<int> widths = box_widths(sigma);
  for (auto _ : state) {
    cv::Mat d = dst;
    cv::blur(src, d, cv::Size(widths[0], widths[0]), cv::Point(-1, -1), cv::BORDER_REPLICATE);
    cv::blur(d, d, cv::Size(widths[1], widths[1]), cv::Point(-1, -1), cv::BORDER_REPLICATE);
    cv::blur(d, d, cv::Size(widths[2], widths[2]), cv::Point(-1, -1), cv::BORDER_REPLICATE);
    benchmark::ClobberMemory();
  }
  set_rate(state, s.w, s.h);
}
#endif

// Settings worth timing; every other catalogued effect runs at its defaults.
struct Setting {
  const char* name;
  const char* effect;
  std::vector<std::pair<const char*, double>> args;
  bool in_place = false;
};

const std::vector<Setting>& settings() {
  static const std::vector<Setting> list = {
      {"blur_sigma2", "blur", {{"sigma", 2}}},
      {"blur_sigma5", "blur", {{"sigma", 5}}},
      {"blur_sigma10", "blur", {{"sigma", 10}}},
      {"blur_sigma25", "blur", {{"sigma", 25}}},
      {"blur_sigma50", "blur", {{"sigma", 50}}},
      {"tone_map", "tonemap", {{"exposure", 1.2}}},
      {"scanlines_spacing2", "scanlines", {{"spacing", 2}, {"intensity", 0.3}}},
      {"color_grade_sat1", "grade", {{"brightness", 0.05}, {"contrast", 1.1}, {"saturation", 1.0}, {"gamma", 1.2}}},
      {"color_grade_sat1.2", "grade", {{"brightness", 0.05}, {"contrast", 1.1}, {"saturation", 1.2}, {"gamma", 1.2}}},
      {"vignette", "vignette", {{"strength", 0.6}, {"radius", 0.5}, {"softness", 0.4}, {"color", 0xFF000000u}}},
      {"film_grain", "grain", {{"amount", 0.08}, {"seed", 42}}},
      {"chromatic", "chromatic", {{"strength_x", 6}, {"strength_y", 4}, {"angle", 0.5}}},
      {"glitch_24bands", "glitch", {{"band_count", 24}, {"max_shift", 40}, {"seed", 7}}},
      {"glitch_2147483647bands", "glitch", {{"band_count", 2147483647}, {"max_shift", 40}, {"seed", 7}}},
      {"bloom_sigma12", "bloom", {{"threshold", 0.7}, {"intensity", 0.8}, {"sigma", 12}, {"tint", 0xFFFFE0C0u}}},
      {"bloom_sigma2", "bloom", {{"threshold", 0.7}, {"intensity", 0.8}, {"sigma", 2}, {"tint", 0xFFFFE0C0u}}},
      {"drop_shadow_sigma6", "shadow", {{"offset_x", 8}, {"offset_y", 8}, {"sigma", 6}, {"color", 0xC0000000u}}},
      {"drop_shadow_sigma6_in_place", "shadow", {{"offset_x", 8}, {"offset_y", 8}, {"sigma", 6}, {"color", 0xC0000000u}}, true},
  };
  return list;
}

std::vector<Case> cases() {
  std::vector<Case> out;
  std::vector<const kvfx_catalogue::Effect*> timed;
  for (const Setting& st : settings()) {
    const kvfx_catalogue::Effect* e = kvfx_catalogue::find_effect(st.effect);
    if (!e) continue;
    Case c{st.name, e, kvfx_catalogue::default_args(*e), st.in_place};
    for (const auto& [name, value] : st.args) c.args[kvfx_catalogue::find_param(*e, name)] = value;
    out.push_back(c);
    timed.push_back(e);
  }
  for (const auto& e : kvfx_catalogue::effects())
    if (std::find(timed.begin(), timed.end(), &e) == timed.end())
      out.push_back({std::string(e.name) + "_defaults", &e, kvfx_catalogue::default_args(e)});
  return out;
}

std::string size_name(Size s) { return std::to_string(s.w) + "x" + std::to_string(s.h); }

// Collects MP/s of every run for the summary, and prints as usual.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rate;  // "effect/WxH" -> MP/s
  std::vector<std::string> order;

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration && r.aggregate_name != "median") continue;
      auto it = r.counters.find("MP/s");
      if (it == r.counters.end()) continue;
      std::string name = r.benchmark_name();
      const auto cut = name.find("/real_time");
      if (cut != std::string::npos) name.erase(cut);
      const auto med = name.find("_median");
      if (med != std::string::npos) name.erase(med);
      if (!rate.count(name)) order.push_back(name);
      rate[name] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Each run against memcpy at its own thread count, and a parallel run
  // (NAME@N) against its core twin.
  void print_summary() const {
    std::printf("\n%-40s %12s %10s %10s\n", "effect / frame", "MP/s", "x memcpy", "x 1 thread");
    for (const std::string& name : order) {
      const auto slash = name.rfind('/');
      const std::string frame = name.substr(slash + 1), base = name.substr(0, slash);
      const auto at = base.find('@');
      const std::string suffix = at == std::string::npos ? "" : base.substr(at);
      const double v = rate.at(name);
      auto m = rate.find("memcpy" + suffix + "/" + frame);
      std::printf("%-40s %12.0f", name.c_str(), v);
      if (m == rate.end() || m->second <= 0.0) std::printf(" %10s", "-");
      else std::printf(" %10.3f", v / m->second);
      auto one = at == std::string::npos ? rate.end() : rate.find(base.substr(0, at) + "/" + frame);
      if (one == rate.end() || one->second <= 0.0) std::printf(" %10s\n", "-");
      else std::printf(" %10.2f\n", v / one->second);
    }
  }
};

}  // namespace

// --level=NAME runs every effect at that vector level (portable, avx2,
// avx512, neon, simd128), as a CPU without the higher ones would; the
// default is the best this build and CPU have.
bool take_level_flag(int& argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--level=", 0) != 0) continue;
    const std::string name = arg.substr(8);
    bool found = false;
    for (int l = 0; l < kvfx::kLevelCount; ++l)
      if (name == kvfx::level_name(static_cast<kvfx::Level>(l))) {
        if (!kvfx::force_level(static_cast<kvfx::Level>(l))) {
          std::fprintf(stderr, "this build or CPU lacks level %s\n", name.c_str());
          return false;
        }
        found = true;
      }
    if (!found) {
      std::fprintf(stderr, "unknown level %s\n", name.c_str());
      return false;
    }
    std::printf("vector level: %s (best here: %s)\n", name.c_str(),
                kvfx::level_name(kvfx::best_level()));
    for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
    --argc;
    return true;
  }
  return true;
}

// --threads N (or --threads=N): the parallel exports with N threads.
bool take_threads_flag(int& argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    int used = 0;
    std::string value;
    if (arg == "--threads" && i + 1 < argc) {
      value = argv[i + 1];
      used = 2;
    } else if (arg.rfind("--threads=", 0) == 0) {
      value = arg.substr(10);
      used = 1;
    } else {
      continue;
    }
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n < 0 || n > 4096) {
      std::fprintf(stderr, "--threads takes a count from 0 (automatic) to 4096, not %s\n",
                   value.c_str());
      return false;
    }
    g_threads = static_cast<int32_t>(n);
    std::printf("threads: %ld (the parallel exports)\n", n);
    for (int j = i; j + used < argc; ++j) argv[j] = argv[j + used];
    argc -= used;
    return true;
  }
  return true;
}

int main(int argc, char** argv) {
  if (!take_level_flag(argc, argv) || !take_threads_flag(argc, argv)) return 2;
  // Each case, then (with --threads) its parallel twin, so a pair runs
  // close together on a machine whose speed drifts.
  std::vector<int32_t> forms = {-1};
  if (g_threads >= 0) forms.push_back(g_threads);
  auto label = [](const std::string& name, int32_t threads) {
    return threads < 0 ? name : name + "@" + std::to_string(threads);
  };
  for (Size s : kSizes) {
    const std::string sz = size_name(s);
    for (int32_t t : forms)
      benchmark::RegisterBenchmark((label("memcpy", t) + "/" + sz).c_str(), bench_memcpy, s, t)
          ->UseRealTime()->Unit(benchmark::kMillisecond);
    for (Case c : cases())
      for (int32_t t : forms) {
        c.threads = t;
        benchmark::RegisterBenchmark((label(c.name, t) + "/" + sz).c_str(),
                                     [c, s](benchmark::State& st) { run_case(st, s, c); })
            ->UseRealTime()->Unit(benchmark::kMillisecond);
      }
#ifdef KV_FX_BENCH_OPENCV
    for (double sigma : {2.0, 10.0, 25.0}) {
      const std::string sg = std::to_string(static_cast<int>(sigma));
      for (int32_t t : forms) {
        benchmark::RegisterBenchmark((label("opencv_gaussian_sigma" + sg, t) + "/" + sz).c_str(),
                                     bench_cv_gaussian, s, sigma, t)
            ->UseRealTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((label("opencv_3_boxes_sigma" + sg, t) + "/" + sz).c_str(),
                                     bench_cv_three_boxes, s, sigma, t)
            ->UseRealTime()->Unit(benchmark::kMillisecond);
      }
    }
#endif
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_summary();
  benchmark::Shutdown();
  return 0;
}
