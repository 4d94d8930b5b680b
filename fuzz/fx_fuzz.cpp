// libFuzzer target for every catalogued effect through the C interface.
//
// The input picks an effect, a geometry (strides that are exact, padded, not a
// multiple of 4, too small, tiny or negative), argument values (edge doubles,
// edge integers, raw bit patterns) and pixels. The call runs on a buffer with
// canary zones on both sides, and the fuzzer checks:
//   - the result code is the one the effect owes for these arguments;
//   - nothing outside the words the effect may write has changed (canaries,
//     padding, the whole buffer for a rejected call);
//   - the written words equal the reference (tests/support/reference.h): a
//     plain loop over the one-word formulas, the blur a brute-force box
//     filter while the image is small.
//   - the parallel export, at a thread count the input picks and cutting the
//     small image as finely as its rows allow, gives the same code and the
//     same words as the core's.
// Any difference aborts with a description of the case. The input also
// picks the vector level (any this build and CPU have; otherwise the best).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "color/color_effects.h"
#include "core/cpu.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "core/test_hooks.h"
#include "parallel/test_hooks.h"
#include "effect_catalogue.h"
#include "kelvo_fx.h"
#include "support/reference.h"

namespace {

constexpr int64_t kCanaryWords = 64;
// Above this many word-visits the brute-force blur is skipped and only the
// words the blur may not write are checked.
constexpr int64_t kBruteForceBudget = 3000000;

// Reads the input front to back; past its end every read gives zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
    return v;
  }
  uint64_t u64() { return static_cast<uint64_t>(u32()) | static_cast<uint64_t>(u32()) << 32; }

  double real() {
    static const double kList[] = {
        0.0, -0.0, 1.0, 0.5, -2.5, std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        1e300, -1e300, 2147483647.5, -2147483648.5, 1e9, 2.0, 3.0, 5.0, 8.0, 0.25,
        -1.0, 4.5, 1e-300, 0.577, 0.6, 0.999, 1.0 / 255.0, 1073741824.0, -0.5};
    const uint8_t sel = byte();
    switch (sel % 4) {
      case 0:
      case 1:
        return kList[byte() % (sizeof kList / sizeof kList[0])];
      case 2:
        return static_cast<int8_t>(byte()) / 8.0;  // everyday values, -16 .. 16
      default: {
        const uint64_t bits = u64();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
      }
    }
  }

  int32_t integer() {
    static const int32_t kList[] = {0, -1, 1, INT32_MIN, INT32_MAX, 2, 3, 5, 7, 16, -7, 100};
    const uint8_t sel = byte();
    switch (sel % 4) {
      case 0:
      case 1:
        return kList[byte() % (sizeof kList / sizeof kList[0])];
      case 2:
        return static_cast<int8_t>(byte());
      default:
        return static_cast<int32_t>(u32());
    }
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

[[noreturn]] void fail(const char* what, int effect, int32_t w, int32_t h, int32_t stride) {
  std::fprintf(stderr, "fx_fuzz: %s (effect %d, width %d, height %d, stride %d)\n", what,
               effect, w, h, stride);
  std::abort();
}

uint32_t canary_word(int64_t i) { return 0xDEADBEEFu ^ static_cast<uint32_t>(i * 0x9E3779B9u); }

// One block of memory: canaries, then `span` words of image, then canaries.
// `origin` is the offset of pixels[0] from the start of the image span.
struct Block {
  std::vector<uint32_t> mem;
  int64_t origin = 0;
  uint32_t* at(int64_t k) { return mem.data() + kCanaryWords + origin + k; }
};

Block make_block(int64_t lo, int64_t hi) {
  Block b;
  b.origin = -lo;
  const int64_t span = hi - lo;
  b.mem.resize(static_cast<size_t>(span + 2 * kCanaryWords));
  for (int64_t i = 0; i < kCanaryWords; ++i) {
    b.mem[static_cast<size_t>(i)] = canary_word(i);
    b.mem[static_cast<size_t>(kCanaryWords + span + i)] = canary_word(~i);
  }
  return b;
}

bool canaries_intact(const Block& b) {
  const int64_t span = static_cast<int64_t>(b.mem.size()) - 2 * kCanaryWords;
  for (int64_t i = 0; i < kCanaryWords; ++i) {
    if (b.mem[static_cast<size_t>(i)] != canary_word(i)) return false;
    if (b.mem[static_cast<size_t>(kCanaryWords + span + i)] != canary_word(~i)) return false;
  }
  return true;
}

// ---- The case --------------------------------------------------------------

struct Geometry {
  int32_t w, h, stride;
  int64_t rp;  // row_pixels
};

int32_t pick_side(Input& in) {
  const uint8_t b = in.byte();
  if (b < 0xC0) return 1 + b % 24;  // mostly small, so the brute force runs
  return 1 + in.u16() % 300;
}

Geometry pick_geometry(Input& in) {
  Geometry g;
  g.w = pick_side(in);
  g.h = pick_side(in);
  const uint8_t mode = in.byte();
  const int32_t pad = 1 + in.byte() % 8;
  const int32_t w4 = 4 * g.w;
  switch (mode % 9) {
    case 0: g.stride = w4; break;
    case 1: g.stride = w4 + 4 * pad; break;
    case 2: g.stride = w4 + 4 * pad + 1 + pad % 3; break;        // not a multiple of 4
    case 3: g.stride = 4 * (in.u16() % g.w) + in.byte() % 4; break;  // below 4 * width
    case 4: g.stride = in.byte() % 4; break;                      // 0..3
    case 5: g.stride = -1 - in.byte() % 3; break;                 // -1..-3
    case 6: g.stride = -w4 - 4 * (pad - 1); break;                // bottom-up
    case 7: g.stride = -4 - (in.u16() % 2000); break;             // any negative
    default:
      // Extreme negative strides only where one row is addressed.
      g.stride = g.h == 1 ? INT32_MIN : -w4 - (in.byte() % 4);
      break;
  }
  g.rp = kvfx::row_pixels_of(g.stride);
  return g;
}

// The words a buffer of this geometry must hold, relative to pixels[0]: the
// rows (first width words each) and, for rp >= 0, the whole run.
void span_of(const Geometry& g, int64_t* lo, int64_t* hi) {
  if (g.rp >= 0) {
    *lo = 0;
    *hi = std::max<int64_t>(g.h * g.rp, (g.h - 1) * g.rp + g.w);
  } else {
    *lo = (g.h - 1) * g.rp;
    *hi = g.w;
  }
}

void fill_pixels(Input& in, Block& b) {
  const uint8_t mode = in.byte();
  uint32_t s = in.u32() | 1u;
  static const uint32_t kEdge[] = {0u, 0xFFFFFFFFu, 0xFF000000u, 0x00FFFFFFu,
                                   0x80808080u, 0xFF808080u, 0x01FF00FFu, 0xFFFFFF00u};
  const size_t n = b.mem.size() - 2 * kCanaryWords;
  for (size_t i = 0; i < n; ++i) {
    s = kvfx::xorshift32_step(s);
    uint32_t v = s;
    if (mode % 3 == 1) {  // premultiplied: colours at most alpha
      const uint32_t a = kvfx::alpha_of(v);
      v = kvfx::pack_argb(a, kvfx::red_of(v) % (a + 1), kvfx::green_of(v) % (a + 1),
                          kvfx::blue_of(v) % (a + 1));
    } else if (mode % 3 == 2) {
      v = kEdge[v % 8];
    }
    b.mem[kCanaryWords + i] = v;
  }
}

// Marks words the effect may write without a reference to compare with: the
// actual output is copied into the expectation there.
void accept_rows(Block& expect, Block& actual, const Geometry& g, int64_t off) {
  for (int32_t y = 0; y < g.h; ++y)
    for (int32_t x = 0; x < g.w; ++x)
      *expect.at(off + y * g.rp + x) = *actual.at(off + y * g.rp + x);
}
void accept_run(Block& expect, Block& actual, int64_t count, int64_t off) {
  for (int64_t k = 0; k < count; ++k) *expect.at(off + k) = *actual.at(off + k);
}

int run_case(const uint8_t* data, size_t size) {
  Input in(data, size);
  const auto& effects = kvfx_catalogue::effects();
  const int index = in.byte() % static_cast<int>(effects.size());
  const kvfx_catalogue::Effect& e = effects[index];
  // Every vector level this build and CPU have must give the reference words.
  const uint8_t level = in.byte() % kvfx::kLevelCount;
  if (!kvfx::force_level(static_cast<kvfx::Level>(level))) kvfx::unforce_level();
  const Geometry g = pick_geometry(in);
  const int32_t w = g.w, h = g.h, stride = g.stride;
  const int64_t count = kvfx::run_count_of(h, stride);

  int64_t lo, hi;
  span_of(g, &lo, &hi);

  // Two-buffer effects (drop shadow): dst separate, equal to src, or
  // overlapping it.
  int dst_mode = 0;
  int64_t dst_off = 0;
  if (e.two_buffers) {
    dst_mode = in.byte() % 3;
    if (dst_mode == 2) {
      const int64_t n = std::max<int64_t>(hi - lo, 1);
      dst_off = static_cast<int64_t>(in.u16() % (2 * n + 1)) - n;
      const int64_t lo2 = std::min(lo, lo + dst_off), hi2 = std::max(hi, hi + dst_off);
      lo = lo2;
      hi = hi2;
    }
  }

  Block actual = make_block(lo, hi);
  fill_pixels(in, actual);
  Block dst_actual;
  if (e.two_buffers && dst_mode == 0) {
    dst_actual = make_block(lo, hi);
    fill_pixels(in, dst_actual);
  }
  Block expect = actual;
  Block dst_expect = dst_actual;

  std::vector<double> args;
  for (const kvfx_catalogue::Param& p : e.params) {
    if (p.kind == kvfx_catalogue::Kind::kReal) {
      args.push_back(in.real());
    } else if (p.kind == kvfx_catalogue::Kind::kInteger) {
      int32_t v = in.integer();
      // Billions of glitch bands would only make the case slow, not different.
      if (std::string_view(p.name) == "band_count" && v > 4096) v = 1 + v % 4096;
      args.push_back(v);
    } else {
      args.push_back(in.u32());
    }
  }

  // The same call through the parallel export, on copies made before it.
  Block par = actual, dst_par = dst_actual;
  Block& dp = !e.two_buffers || dst_mode != 0 ? par : dst_par;

  Block& da = !e.two_buffers || dst_mode != 0 ? actual : dst_actual;
  Block& de = !e.two_buffers || dst_mode != 0 ? expect : dst_expect;
  const int64_t off = dst_mode == 2 ? dst_off : 0;
  const int32_t rc = e.call(da.at(off), w, h, stride, args.data(),
                            e.two_buffers ? actual.at(0) : nullptr);
  const int32_t want = kvfx_test::expected_result(e, actual.at(0), w, h, stride);
  if (want == FX_OK && kvfx::check_entry(*e.entry, true, w, h, stride) == kvfx::Answer::kWork) {
    const kvfx_test::Unchecked unchecked =
        kvfx_test::reference_effect(e, de.at(off), w, h, stride, args.data(),
                                    e.two_buffers ? expect.at(0) : nullptr, kBruteForceBudget);
    if (unchecked == kvfx_test::Unchecked::kRows) accept_rows(de, da, g, off);
    if (unchecked == kvfx_test::Unchecked::kRun) accept_run(de, da, count, off);
  }

  const int effect = index;
  static const int32_t kThreads[] = {2, 3, 8, 0, 1, 5};
  const int32_t threads = kThreads[in.byte() % 6];
  const int32_t par_rc = e.parallel_call(dp.at(off), w, h, stride, args.data(),
                                         e.two_buffers ? par.at(0) : nullptr, threads);
  if (par_rc != rc || par.mem != actual.mem || dst_par.mem != dst_actual.mem) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "the parallel export at %d threads differs from the core's",
                  static_cast<int>(threads));
    fail(msg, effect, w, h, stride);
  }
  if (!canaries_intact(actual) || (e.two_buffers && dst_mode == 0 && !canaries_intact(dst_actual)))
    fail("write outside the buffer (canary changed)", effect, w, h, stride);
  if (rc != want) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "result code %d, expected %d", rc, want);
    fail(msg, effect, w, h, stride);
  }
  if (actual.mem != expect.mem || dst_actual.mem != dst_expect.mem) {
    const std::vector<uint32_t>& a = actual.mem != expect.mem ? actual.mem : dst_actual.mem;
    const std::vector<uint32_t>& e = actual.mem != expect.mem ? expect.mem : dst_expect.mem;
    size_t i = 0;
    while (a[i] == e[i]) ++i;
    char msg[160];
    std::snprintf(msg, sizeof msg,
                  "output differs from the reference at block word %zu (image word %lld): "
                  "got %08x, expected %08x",
                  i, static_cast<long long>(static_cast<int64_t>(i) - kCanaryWords),
                  a[i], e[i]);
    fail(msg, effect, w, h, stride);
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Eight CPUs, and any piece worth a thread: the fuzzer's small images are
  // cut as finely as a large frame would be.
  kvfx::pretend_cpus(8);
  kvfx::set_piece_words(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return run_case(data, size);
}
