// Every effect called through the C interface as an application calls it
// (its own scratch allocations included), on whole frames, next to memcpy of
// the same frame. A summary at the end gives each effect's throughput as a
// fraction of memcpy measured in the same run, which is steadier than the
// raw numbers on a busy machine.
//
//   kelvo_fx_bench [--benchmark_filter=REGEX] [google benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kelvo_fx.h"

#ifdef KV_FX_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

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

using InPlace = std::function<int32_t(uint32_t*, int32_t, int32_t, int32_t)>;

void set_rate(benchmark::State& state, int32_t w, int32_t h) {
  state.counters["MP/s"] = benchmark::Counter(
      static_cast<double>(w) * h / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void run_in_place(benchmark::State& state, Size s, const InPlace& fx) {
  std::vector<uint32_t> frame = make_frame(s.w, s.h);
  const std::vector<uint32_t> original = frame;
  int64_t calls = 0;
  for (auto _ : state) {
    // Effects that converge (tone map, blur) would otherwise work on ever
    // flatter data; restore the input now and then, outside the timing.
    if (++calls % 16 == 0) {
      state.PauseTiming();
      frame = original;
      state.ResumeTiming();
    }
    const int32_t rc = fx(frame.data(), s.w, s.h, s.w * 4);
    benchmark::DoNotOptimize(rc);
    benchmark::ClobberMemory();
  }
  set_rate(state, s.w, s.h);
}

void bench_memcpy(benchmark::State& state, Size s) {
  const std::vector<uint32_t> src = make_frame(s.w, s.h);
  std::vector<uint32_t> dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size() * sizeof(uint32_t));
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  set_rate(state, s.w, s.h);
}

void bench_drop_shadow(benchmark::State& state, Size s, double sigma) {
  const std::vector<uint32_t> src = make_frame(s.w, s.h);
  std::vector<uint32_t> dst(src.size());
  for (auto _ : state) {
    const int32_t rc = kv_fx_drop_shadow(src.data(), dst.data(), s.w, s.h, s.w * 4,
                                         8.0, 8.0, sigma, 0xC0000000u);
    benchmark::DoNotOptimize(rc);
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
void bench_cv_gaussian(benchmark::State& state, Size s, double sigma) {
  cv::setNumThreads(1);
  std::vector<uint32_t> frame = make_frame(s.w, s.h), out(frame.size());
  const cv::Mat src(s.h, s.w, CV_8UC4, frame.data()), dst(s.h, s.w, CV_8UC4, out.data());
  for (auto _ : state) {
    cv::Mat d = dst;
    cv::GaussianBlur(src, d, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
    benchmark::ClobberMemory();
  }
  set_rate(state, s.w, s.h);
}

void bench_cv_three_boxes(benchmark::State& state, Size s, double sigma) {
  cv::setNumThreads(1);
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

struct Case {
  std::string name;
  InPlace fx;
};

std::vector<Case> in_place_cases() {
  std::vector<Case> c;
  for (double sigma : {2.0, 5.0, 10.0, 25.0, 50.0})
    c.push_back({"blur_sigma" + std::to_string(static_cast<int>(sigma)),
                 [sigma](uint32_t* p, int32_t w, int32_t h, int32_t st) {
                   return kv_fx_gaussian_blur(p, w, h, st, sigma);
                 }});
  c.push_back({"tone_map", [](uint32_t* p, int32_t w, int32_t h, int32_t st) {
                 return kv_fx_tone_map_aces(p, w, h, st, 1.2);
               }});
  c.push_back({"scanlines_spacing2", [](uint32_t* p, int32_t w, int32_t h, int32_t st) {
                 return kv_fx_scanlines(p, w, h, st, 2, 0.3);
               }});
  c.push_back({"color_grade_sat1", [](uint32_t* p, int32_t w, int32_t h, int32_t st) {
                 return kv_fx_color_grade(p, w, h, st, 0.05, 1.1, 1.0, 1.2);
               }});
  c.push_back({"color_grade_sat1.2", [](uint32_t* p, int32_t w, int32_t h, int32_t st) {
                 return kv_fx_color_grade(p, w, h, st, 0.05, 1.1, 1.2, 1.2);
               }});
  c.push_back({"vignette", [](uint32_t* p, int32_t w, int32_t h, int32_t st) {
                 return kv_fx_vignette(p, w, h, st, 0.6, 0.5, 0.4, 0xFF000000u);
               }});
  c.push_back({"film_grain", [](uint32_t* p, int32_t w, int32_t h, int32_t st) {
                 return kv_fx_film_grain(p, w, h, st, 0.08, 42);
               }});
  c.push_back({"chromatic", [](uint32_t* p, int32_t w, int32_t h, int32_t st) {
                 return kv_fx_chromatic_aberration(p, w, h, st, 6.0, 4.0, 0.5);
               }});
  c.push_back({"glitch_24bands", [](uint32_t* p, int32_t w, int32_t h, int32_t st) {
                 return kv_fx_glitch_displacement(p, w, h, st, 24, 40, 7);
               }});
  c.push_back({"bloom_sigma12", [](uint32_t* p, int32_t w, int32_t h, int32_t st) {
                 return kv_fx_bloom(p, w, h, st, 0.7, 0.8, 12.0, 0xFFFFE0C0u);
               }});
  c.push_back({"bloom_sigma2", [](uint32_t* p, int32_t w, int32_t h, int32_t st) {
                 return kv_fx_bloom(p, w, h, st, 0.7, 0.8, 2.0, 0xFFFFE0C0u);
               }});
  return c;
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

  void print_summary() const {
    std::printf("\n%-34s %12s %10s\n", "effect / frame", "MP/s", "x memcpy");
    for (const std::string& name : order) {
      const auto slash = name.rfind('/');
      const std::string frame = name.substr(slash + 1);
      auto m = rate.find("memcpy/" + frame);
      const double v = rate.at(name);
      if (m == rate.end() || m->second <= 0.0)
        std::printf("%-34s %12.0f %10s\n", name.c_str(), v, "-");
      else
        std::printf("%-34s %12.0f %10.3f\n", name.c_str(), v, v / m->second);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  for (Size s : kSizes) {
    const std::string sz = size_name(s);
    benchmark::RegisterBenchmark(("memcpy/" + sz).c_str(), bench_memcpy, s)
        ->UseRealTime()->Unit(benchmark::kMillisecond);
    for (const Case& c : in_place_cases())
      benchmark::RegisterBenchmark((c.name + "/" + sz).c_str(),
                                   [c, s](benchmark::State& st) { run_in_place(st, s, c.fx); })
          ->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("drop_shadow_sigma6/" + sz).c_str(), bench_drop_shadow, s,
                                 6.0)
        ->UseRealTime()->Unit(benchmark::kMillisecond);
#ifdef KV_FX_BENCH_OPENCV
    for (double sigma : {2.0, 10.0, 25.0}) {
      const std::string sg = std::to_string(static_cast<int>(sigma));
      benchmark::RegisterBenchmark(("opencv_gaussian_sigma" + sg + "/" + sz).c_str(),
                                   bench_cv_gaussian, s, sigma)
          ->UseRealTime()->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("opencv_3_boxes_sigma" + sg + "/" + sz).c_str(),
                                   bench_cv_three_boxes, s, sigma)
          ->UseRealTime()->Unit(benchmark::kMillisecond);
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
