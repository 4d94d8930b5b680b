// The native side of the web tests: the same library, catalogue and demo
// scene built for this machine, so the module's words can be compared with
// what a native host gets, and timed against the portable level.
//
//   kvfx_web_driver call EFFECT WIDTH HEIGHT STRIDE IN.words OUT.words [ARG ...]
//       one C call through the catalogue's invoker on little-endian words;
//       a negative STRIDE starts at the last row; for the drop shadow
//       OUT.words also names its destination (in place when it is IN.words)
//   kvfx_web_driver chain WIDTH HEIGHT IN.rgba OUT.rgba EFFECT [name=value ...] ...
//       straight RGBA bytes through a chain by the catalogue's straight-alpha
//       rule; colours as hex (six digits: opaque), the rest as numbers
//   kvfx_web_driver demo OUT.rgba      the demo scene as straight RGBA bytes
//   kvfx_web_driver bench WIDTH HEIGHT REPS
//       each effect at its defaults on the enlarged demo scene, portable
//       level: median and least wall ms, median thread CPU ms, as JSON
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../tools/kvfx/demo.h"
#include "core/cpu.h"
#include "core/test_hooks.h"
#include "effect_catalogue.h"
#include "kelvo_fx.h"
#include "straight_alpha.h"

namespace {

using kvfx_catalogue::Held;

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const void* data, size_t size) {
  std::ofstream f(path, std::ios::binary);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!f) throw std::runtime_error("cannot write " + path);
}

// Words as bytes b0..b3 from the low byte up, whatever this machine's order.
std::vector<uint32_t> words_of(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> w(bytes.size() / 4);
  for (size_t i = 0; i < w.size(); ++i)
    w[i] = uint32_t{bytes[4 * i]} | uint32_t{bytes[4 * i + 1]} << 8 |
           uint32_t{bytes[4 * i + 2]} << 16 | uint32_t{bytes[4 * i + 3]} << 24;
  return w;
}

std::vector<uint8_t> bytes_of(const std::vector<uint32_t>& w) {
  std::vector<uint8_t> b(w.size() * 4);
  for (size_t i = 0; i < w.size(); ++i)
    for (int k = 0; k < 4; ++k) b[4 * i + k] = static_cast<uint8_t>(w[i] >> (8 * k));
  return b;
}

std::vector<uint32_t> straight_words_of_rgba(const std::vector<uint8_t>& rgba) {
  std::vector<uint32_t> w(rgba.size() / 4);
  for (size_t i = 0; i < w.size(); ++i)
    w[i] = uint32_t{rgba[4 * i + 3]} << 24 | uint32_t{rgba[4 * i]} << 16 |
           uint32_t{rgba[4 * i + 1]} << 8 | rgba[4 * i + 2];
  return w;
}

// Any vector of words (kvfx's Image keeps its own allocator).
template <class Words>
std::vector<uint8_t> rgba_of_straight_words(const Words& w) {
  std::vector<uint8_t> b(w.size() * 4);
  for (size_t i = 0; i < w.size(); ++i) {
    b[4 * i] = static_cast<uint8_t>(w[i] >> 16);
    b[4 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
    b[4 * i + 2] = static_cast<uint8_t>(w[i]);
    b[4 * i + 3] = static_cast<uint8_t>(w[i] >> 24);
  }
  return b;
}

const kvfx_catalogue::Effect& effect_named(const std::string& name) {
  const kvfx_catalogue::Effect* e = kvfx_catalogue::find_effect(name);
  if (!e) throw std::runtime_error("unknown effect " + name);
  return *e;
}

int call(const std::vector<std::string>& a) {
  if (a.size() < 7) throw std::runtime_error("call: too few arguments");
  const auto& e = effect_named(a[1]);
  const int32_t w = std::atoi(a[2].c_str()), h = std::atoi(a[3].c_str()),
                stride = std::atoi(a[4].c_str());
  std::vector<double> args = kvfx_catalogue::default_args(e);
  for (size_t i = 7; i < a.size() && i - 7 < args.size(); ++i) args[i - 7] = std::strtod(a[i].c_str(), nullptr);
  std::vector<uint32_t> in = words_of(read_file(a[5]));
  const int64_t rows = std::abs(stride / 4);
  const size_t first = stride < 0 ? static_cast<size_t>((h - 1) * rows) : 0;
  int32_t rc;
  std::vector<uint32_t> out;
  if (e.two_buffers && a[6] != a[5]) {
    out = words_of(read_file(a[6]));
    rc = e.call(out.data() + first, w, h, stride, args.data(), in.data() + first);
  } else {
    rc = e.call(in.data() + first, w, h, stride, args.data(), nullptr);
    out = in;
  }
  if (rc == FX_OK) write_file(a[6], bytes_of(out).data(), out.size() * 4);
  std::printf("%d\n", rc);
  return 0;
}

struct Step {
  const kvfx_catalogue::Effect* def;
  std::vector<double> args;
};

// "EFFECT name=value ..." from a[first] on. The web tests pass only values
// the page accepted, so this reads them and checks nothing more.
std::vector<Step> parse_steps(const std::vector<std::string>& a, size_t first) {
  std::vector<Step> steps;
  for (size_t i = first; i < a.size(); ++i) {
    const size_t eq = a[i].find('=');
    if (eq == std::string::npos) {
      const auto& e = effect_named(a[i]);
      steps.push_back({&e, kvfx_catalogue::default_args(e)});
      continue;
    }
    if (steps.empty()) throw std::runtime_error("parameter before any effect: " + a[i]);
    Step& s = steps.back();
    const int p = kvfx_catalogue::find_param(*s.def, a[i].substr(0, eq));
    if (p < 0) throw std::runtime_error("unknown parameter " + a[i]);
    const std::string value = a[i].substr(eq + 1);
    const auto kind = s.def->params[static_cast<size_t>(p)].kind;
    if (kind == kvfx_catalogue::Kind::kColour || kind == kvfx_catalogue::Kind::kColourAlpha) {
      const uint32_t v = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 16));
      s.args[static_cast<size_t>(p)] = value.size() == 6 ? (0xFF000000u | v) : v;
    } else {
      s.args[static_cast<size_t>(p)] = std::strtod(value.c_str(), nullptr);
    }
  }
  return steps;
}

// Each step fed what its catalogue input says, converting only where the
// chain changes kind.
int chain(const std::vector<std::string>& a) {
  if (a.size() < 6) throw std::runtime_error("chain: too few arguments");
  const int32_t w = std::atoi(a[1].c_str()), h = std::atoi(a[2].c_str());
  std::vector<uint8_t> rgba = read_file(a[3]);
  if (rgba.size() != static_cast<size_t>(w) * h * 4) throw std::runtime_error("chain: wrong input size");
  const std::vector<Step> steps = parse_steps(a, 5);
  std::vector<uint32_t> px = straight_words_of_rgba(rgba);
  Held held = Held::kStraight;
  for (const Step& s : steps) {
    const Held wanted = kvfx_catalogue::wanted_by(*s.def);
    kvfx_catalogue::convert_words(px.data(), px.size(), held, wanted);
    held = wanted;
    const int32_t rc = s.def->call(px.data(), w, h, w * 4, s.args.data(), nullptr);
    if (rc != FX_OK) throw std::runtime_error(std::string(s.def->name) + " refused: " + std::to_string(rc));
  }
  kvfx_catalogue::convert_words(px.data(), px.size(), held, Held::kStraight);
  const std::vector<uint8_t> out = rgba_of_straight_words(px);
  write_file(a[4], out.data(), out.size());
  return 0;
}

int demo(const std::vector<std::string>& a) {
  if (a.size() != 2) throw std::runtime_error("demo: OUT.rgba");
  kvfx_tool::Image scene = kvfx_tool::demo_scene();
  kvfx_catalogue::convert_words(scene.px.data(), scene.px.size(), Held::kPremultiplied, Held::kStraight);
  const std::vector<uint8_t> out = rgba_of_straight_words(scene.px);
  write_file(a[1], out.data(), out.size());
  std::printf("%d %d\n", scene.width, scene.height);
  return 0;
}

// The benchmark image: the demo scene as straight colour, enlarged by pixel
// repetition. The page makes the very same bytes from its own copy of the
// scene, and both feed each effect the words its catalogue input asks for.
std::vector<uint32_t> bench_image(int32_t w, int32_t h) {
  kvfx_tool::Image scene = kvfx_tool::demo_scene();
  kvfx_catalogue::convert_words(scene.px.data(), scene.px.size(), Held::kPremultiplied, Held::kStraight);
  std::vector<uint32_t> px(static_cast<size_t>(w) * h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      px[static_cast<size_t>(y) * w + x] =
          scene.px[static_cast<size_t>(int64_t{y} * scene.height / h) * scene.width +
                   static_cast<size_t>(int64_t{x} * scene.width / w)];
  return px;
}

// On a shared machine the wall clock also counts other people's work; the
// thread's own CPU time does not.
double thread_cpu_ms() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

int bench(const std::vector<std::string>& a) {
  if (a.size() != 4) throw std::runtime_error("bench: WIDTH HEIGHT REPS");
  const int32_t w = std::atoi(a[1].c_str()), h = std::atoi(a[2].c_str()), reps = std::atoi(a[3].c_str());
  kvfx::force_level(kvfx::Level::kPortable);
  const std::vector<uint32_t> straight = bench_image(w, h);
  std::printf("{\"level\": \"portable\", \"width\": %d, \"height\": %d, \"ms\": {", w, h);
  bool first = true;
  for (const auto& e : kvfx_catalogue::effects()) {
    const std::vector<double> args = kvfx_catalogue::default_args(e);
    std::vector<uint32_t> fed = straight;
    kvfx_catalogue::convert_words(fed.data(), fed.size(), Held::kStraight, kvfx_catalogue::wanted_by(e));
    std::vector<double> ms, cpu;
    std::vector<uint32_t> px;
    for (int r = 0; r <= reps; ++r) {  // the first run warms caches and is dropped
      px = fed;
      const double c0 = thread_cpu_ms();
      const auto t0 = std::chrono::steady_clock::now();
      e.call(px.data(), w, h, w * 4, args.data(), nullptr);
      const auto t1 = std::chrono::steady_clock::now();
      const double c1 = thread_cpu_ms();
      if (r > 0) {
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        cpu.push_back(c1 - c0);
      }
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("%s\"%s\": {\"wall\": %.3f, \"wall_min\": %.3f, \"cpu\": %.3f}", first ? "" : ", ",
                e.name, ms[ms.size() / 2], ms[0], cpu[cpu.size() / 2]);
    first = false;
  }
  std::printf("}}\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  try {
    if (!a.empty() && a[0] == "call") return call(a);
    if (!a.empty() && a[0] == "chain") return chain(a);
    if (!a.empty() && a[0] == "demo") return demo(a);
    if (!a.empty() && a[0] == "bench") return bench(a);
    std::fprintf(stderr, "usage: kvfx_web_driver call|chain|demo|bench ...\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvfx_web_driver: %s\n", e.what());
    return 1;
  }
}
