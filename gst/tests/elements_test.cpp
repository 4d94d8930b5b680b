// The kvfx elements against the library itself: frames pushed through
// appsrc ! kvfx<name> ! appsink must come out as the catalogue's call makes
// them from the same words, padding included, for both formats and for frame
// layouts a video meta can describe.
#include <gtest/gtest.h>

#include <gst/app/app.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "effect_catalogue.h"
#include "kelvo_fx.h"
#include "straight_alpha.h"

// The test build of the library exports its allocation-failure hook: the next
// `n` scratch allocations succeed, the one after fails (negative: none fails).
extern "C" void kv_fx_test_fail_allocation_after(int n);

namespace {

using kvfx_catalogue::Effect;
using kvfx_catalogue::Held;
using kvfx_catalogue::Kind;

#if G_BYTE_ORDER == G_LITTLE_ENDIAN
constexpr GstVideoFormat kAlphaFormat = GST_VIDEO_FORMAT_BGRA;
constexpr GstVideoFormat kOpaqueFormat = GST_VIDEO_FORMAT_BGRx;
#else
constexpr GstVideoFormat kAlphaFormat = GST_VIDEO_FORMAT_ARGB;
constexpr GstVideoFormat kOpaqueFormat = GST_VIDEO_FORMAT_xRGB;
#endif

// Loads the plugin under test and appsrc/appsink by file: no registry scan,
// so the run does not depend on what else is installed. gst_deinit at the end
// joins GStreamer's pooled streaming threads, whose memory a leak check would
// otherwise catch in flight.
bool g_gst_ready = false;

class GstEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    gst_init(nullptr, nullptr);
    for (const char* file : {KVFX_GST_PLUGIN, KVFX_GST_APP_PLUGIN}) {
      GError* error = nullptr;
      GstPlugin* plugin = gst_plugin_load_file(file, &error);
      if (!plugin) {
        ADD_FAILURE() << "cannot load " << file << ": " << (error ? error->message : "?");
        g_clear_error(&error);
        return;
      }
      gst_object_unref(plugin);
    }
    g_gst_ready = true;
  }
  void TearDown() override { gst_deinit(); }
};

testing::Environment* const g_gst_environment =
    testing::AddGlobalTestEnvironment(new GstEnvironment);

void ensure_gst() { ASSERT_TRUE(g_gst_ready) << "GStreamer or a plugin did not load"; }

const Effect& effect_named(const std::string& name) {
  const Effect* e = kvfx_catalogue::find_effect(name);
  if (!e) throw std::runtime_error("no effect " + name);
  return *e;
}

std::vector<std::string> effect_names() {
  std::vector<std::string> names;
  for (const Effect& e : kvfx_catalogue::effects()) names.push_back(e.name);
  return names;
}

// Argument set `variant`: 0 the defaults, 1 and 2 other points of each
// slider (2 keeps the blurs small, so bloom takes its full-size path).
std::vector<double> args_for(const Effect& e, int variant) {
  std::vector<double> args = kvfx_catalogue::default_args(e);
  if (variant == 0) return args;
  const double at = variant == 1 ? 0.3 : 0.07;
  for (size_t i = 0; i < e.params.size(); ++i) {
    const auto& p = e.params[i];
    switch (p.kind) {
      case Kind::kReal: args[i] = p.soft_min + at * (p.soft_max - p.soft_min); break;
      case Kind::kInteger: args[i] = std::floor(p.soft_min + at * (p.soft_max - p.soft_min)); break;
      case Kind::kColour:
      case Kind::kColourAlpha: args[i] = variant == 1 ? 0x80C06020u : 0xFF3070A0u; break;
    }
  }
  return args;
}

// Property access by the property's own type. A refusal is GObject's warning, which
// the property test catches.
bool g_refused = false;
void note_refusal(const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
  g_refused = g_refused || std::strstr(message, "out of range") != nullptr;
}

double get_arg(GstElement* fx, GParamSpec* ps) {
  GValue v = G_VALUE_INIT;
  g_value_init(&v, ps->value_type);
  g_object_get_property(G_OBJECT(fx), ps->name, &v);
  double d;
  if (ps->value_type == G_TYPE_DOUBLE) d = g_value_get_double(&v);
  else if (ps->value_type == G_TYPE_INT) d = g_value_get_int(&v);
  else d = g_value_get_uint(&v);
  g_value_unset(&v);
  return d;
}

// Sets `value` (which the type can hold); false if GObject refused it.
bool set_arg(GstElement* fx, GParamSpec* ps, double value) {
  GValue v = G_VALUE_INIT;
  g_value_init(&v, ps->value_type);
  if (ps->value_type == G_TYPE_DOUBLE) g_value_set_double(&v, value);
  else if (ps->value_type == G_TYPE_INT) g_value_set_int(&v, static_cast<gint>(value));
  else g_value_set_uint(&v, static_cast<guint>(value));
  g_refused = false;
  g_object_set_property(G_OBJECT(fx), ps->name, &v);
  g_value_unset(&v);
  return !g_refused;
}

void set_args(GstElement* fx, const Effect& e, const std::vector<double>& args) {
  for (size_t i = 0; i < e.params.size(); ++i) {
    GParamSpec* ps = g_object_class_find_property(G_OBJECT_GET_CLASS(fx), e.params[i].name);
    ASSERT_NE(ps, nullptr) << e.params[i].name;
    set_arg(fx, ps, args[i]);
  }
}

// Where a frame's plane lies in its buffer.
struct Layout {
  const char* name;
  int extra_stride;     // bytes after each row's pixels
  int offset;           // bytes before the plane
  bool last_row_short;  // the buffer ends at the last pixel, without that row's padding
};

struct Geometry {
  int width, height, stride, offset;
  size_t size;  // the buffer's bytes
  bool meta;    // described by a video meta (anything but the default layout)
};

Geometry geometry(const Layout& l, int width, int height) {
  Geometry g{width, height, 4 * width + l.extra_stride, l.offset, 0, false};
  g.size = g.offset + static_cast<size_t>(g.stride) * height;
  if (l.last_row_short) g.size -= l.extra_stride;
  g.meta = l.extra_stride != 0 || l.offset != 0 || l.last_row_short;
  return g;
}

std::vector<uint8_t> noise(size_t n, uint32_t seed) {
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return bytes;
}

// What the element must make of the pushed bytes: the library on the frame's
// own words where they form a word run (whole-run effects rewrite the padding
// too), otherwise on the visible pixels at the stride rounded up to words.
// Opaque frames get alpha 255 first (what the element leaves in that byte is
// not compared); straight-alpha frames are premultiplied around the effects
// that want it.
bool is_word_run(const Geometry& g) {
  return g.offset % 4 == 0 && g.stride % 4 == 0 &&
         g.size >= g.offset + static_cast<size_t>(g.stride) * g.height;
}

std::vector<uint8_t> expected_frame(const Effect& e, const std::vector<double>& args, bool alpha,
                                    const Geometry& g, const std::vector<uint8_t>& in) {
  const bool own_words = is_word_run(g);
  const int stride = (g.stride + 3) / 4 * 4;
  const size_t row_bytes = 4 * static_cast<size_t>(g.width);
  std::vector<uint32_t> words(static_cast<size_t>(stride / 4) * g.height, 0);
  auto* w = reinterpret_cast<uint8_t*>(words.data());
  if (own_words)
    std::memcpy(w, in.data() + g.offset, words.size() * 4);
  else
    for (int y = 0; y < g.height; ++y)
      std::memcpy(w + y * stride, in.data() + g.offset + y * g.stride, row_bytes);

  const Held held = Held::kStraight;
  const Held wanted = alpha ? kvfx_catalogue::wanted_by(e) : held;
  if (!alpha)
    for (uint32_t& word : words) word |= 0xFF000000u;
  kvfx_catalogue::convert_words(words.data(), words.size(), held, wanted);
  EXPECT_EQ(e.call(words.data(), g.width, g.height, stride, args.data(), nullptr), FX_OK);
  kvfx_catalogue::convert_words(words.data(), words.size(), wanted, held);

  std::vector<uint8_t> out = in;
  if (own_words)
    std::memcpy(out.data() + g.offset, w, words.size() * 4);
  else
    for (int y = 0; y < g.height; ++y)
      std::memcpy(out.data() + g.offset + y * g.stride, w + y * stride, row_bytes);
  return out;
}

// appsrc ! <element> name=fx ! appsink, playing.
class Pipeline {
 public:
  Pipeline(const std::string& element, GstVideoFormat format, int width, int height,
           int fps_n = 30)
      : format_(format) {
    GError* error = nullptr;
    const std::string desc =
        "appsrc name=src format=time ! " + element + " name=fx ! appsink name=sink sync=false";
    pipeline_ = gst_parse_launch(desc.c_str(), &error);
    if (!pipeline_ || error) {
      ADD_FAILURE() << desc << ": " << (error ? error->message : "?");
      g_clear_error(&error);
      return;
    }
    src_ = gst_bin_get_by_name(GST_BIN(pipeline_), "src");
    fx_ = gst_bin_get_by_name(GST_BIN(pipeline_), "fx");
    sink_ = gst_bin_get_by_name(GST_BIN(pipeline_), "sink");
    GstVideoInfo info;
    gst_video_info_set_format(&info, format, width, height);
    info.fps_n = fps_n;
    info.fps_d = 1;
    GstCaps* caps = gst_video_info_to_caps(&info);
    g_object_set(src_, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_element_set_state(pipeline_, GST_STATE_PLAYING);
  }
  ~Pipeline() {
    if (!pipeline_) return;
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(src_);
    gst_object_unref(fx_);
    gst_object_unref(sink_);
    gst_object_unref(pipeline_);
  }
  bool ok() const { return pipeline_ != nullptr; }
  GstElement* fx() const { return fx_; }

  void push(const std::vector<uint8_t>& bytes, const Geometry& g, GstClockTime pts) {
    GstBuffer* buffer = gst_buffer_new_memdup(bytes.data(), bytes.size());
    if (g.meta) {
      gsize offset[GST_VIDEO_MAX_PLANES] = {static_cast<gsize>(g.offset)};
      gint stride[GST_VIDEO_MAX_PLANES] = {g.stride};
      gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, format_, g.width,
                                     g.height, 1, offset, stride);
    }
    GST_BUFFER_PTS(buffer) = pts;
    pushed_ = gst_buffer_peek_memory(buffer, 0);
    push(buffer);
  }
  void push(GstBuffer* buffer) { gst_app_src_push_buffer(GST_APP_SRC(src_), buffer); }

  // The next frame's bytes as the element left them; empty if none came.
  std::vector<uint8_t> pull(GstClockTime timeout = 10 * GST_SECOND) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), timeout);
    if (!sample) return {};
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    in_place_ = gst_buffer_n_memory(buffer) == 1 && gst_buffer_peek_memory(buffer, 0) == pushed_;
    std::vector<uint8_t> bytes(gst_buffer_get_size(buffer));
    gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
    gst_sample_unref(sample);
    return bytes;
  }

  // Whether the last frame pulled came back in the memory it was pushed in.
  bool in_place() const { return in_place_; }

  // The first error message on the bus within `timeout`, or null.
  GstMessage* error(GstClockTime timeout) {
    GstBus* bus = gst_element_get_bus(pipeline_);
    GstMessage* m = gst_bus_timed_pop_filtered(bus, timeout, GST_MESSAGE_ERROR);
    gst_object_unref(bus);
    return m;
  }

 private:
  GstVideoFormat format_;
  GstElement* pipeline_ = nullptr;
  GstElement* src_ = nullptr;
  GstElement* fx_ = nullptr;
  GstElement* sink_ = nullptr;
  const GstMemory* pushed_ = nullptr;
  bool in_place_ = false;
};

GstClockTime pts_of(int frame, int fps) {
  return gst_util_uint64_scale(static_cast<guint64>(frame), GST_SECOND, static_cast<guint64>(fps));
}

// Whether byte i of an opaque frame's buffer is the unused top byte of a
// word the element hands the library: what is left there is not part of the
// picture (only effects whose colour reads alpha get it made 255 first).
bool padding_byte(size_t i, const Geometry& g) {
  if (i < static_cast<size_t>(g.offset)) return false;
  const size_t at = i - g.offset, row = at / g.stride, x = at % g.stride;
  if (row >= static_cast<size_t>(g.height)) return false;
  if (is_word_run(g)) return at % 4 == 3;  // the row padding's words too
  return x < 4 * static_cast<size_t>(g.width) && x % 4 == 3;
}

// The first byte at which a and b differ, -1 for none, -2 for a size; an
// opaque frame's padding bytes are not compared.
int mismatch_at(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                const Geometry* opaque = nullptr) {
  if (a.size() != b.size()) return -2;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && !(opaque && padding_byte(i, *opaque))) return static_cast<int>(i);
  return -1;
}

// ---------------------------------------------------------------------------
// Every element, both formats, every layout: three frames with the properties
// changed between them while the pipeline plays, n-threads among them.

const Layout kLayouts[] = {
    {"packed", 0, 0, false},
    {"padded_stride", 12, 0, false},
    {"offset_plane", 20, 16, false},
    {"last_row_without_padding", 12, 0, true},
    {"stride_not_whole_words", 6, 0, false},
    {"plane_not_word_aligned", 8, 2, false},
};

struct FrameCase {
  std::string effect;
  bool alpha;
  Layout layout;
};

void PrintTo(const FrameCase& c, std::ostream* os) {
  *os << c.effect << (c.alpha ? " straight alpha, " : " opaque, ") << c.layout.name;
}

class ElementFrames : public testing::TestWithParam<FrameCase> {};

// One thread, two, and one per CPU: each frame must be the core's.
constexpr guint kThreadCounts[] = {1, 2, 0};

TEST_P(ElementFrames, MatchTheLibraryOnTheSameWords) {
  ensure_gst();
  const FrameCase& c = GetParam();
  const Effect& e = effect_named(c.effect);
  constexpr int kWidth = 41, kHeight = 27, kFps = 30;
  const Geometry g = geometry(c.layout, kWidth, kHeight);
  Pipeline p(std::string("kvfx") + e.name, c.alpha ? kAlphaFormat : kOpaqueFormat, kWidth,
             kHeight, kFps);
  ASSERT_TRUE(p.ok());
  const int seed = kvfx_catalogue::find_param(e, "seed");
  for (int frame = 0; frame < 3; ++frame) {
    SCOPED_TRACE("frame " + std::to_string(frame));
    std::vector<double> args = args_for(e, frame);
    set_args(p.fx(), e, args);
    g_object_set(p.fx(), "n-threads", kThreadCounts[frame], nullptr);
    const std::vector<uint8_t> in = noise(g.size, 7u + frame);
    p.push(in, g, pts_of(frame, kFps));
    const std::vector<uint8_t> out = p.pull();
    ASSERT_FALSE(out.empty()) << "no frame came out";
    EXPECT_TRUE(p.in_place()) << "the frame was copied";
    if (seed >= 0) args[seed] += frame;  // animate is on by default
    EXPECT_EQ(mismatch_at(out, expected_frame(e, args, c.alpha, g, in), c.alpha ? nullptr : &g),
              -1)
        << "first differing byte (-2: size)";
  }
}

std::vector<FrameCase> frame_cases() {
  std::vector<FrameCase> cases;
  for (const std::string& name : effect_names())
    for (bool alpha : {false, true})
      for (const Layout& l : kLayouts) cases.push_back({name, alpha, l});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(AllEffects, ElementFrames, testing::ValuesIn(frame_cases()),
                         [](const testing::TestParamInfo<FrameCase>& info) {
                           return info.param.effect + (info.param.alpha ? "_BGRA_" : "_BGRx_") +
                                  info.param.layout.name;
                         });

// Frames large enough for the library to cut into pieces, at more than one
// thread: the same bytes as the core's one call.
class LargeFrames : public testing::TestWithParam<std::string> {};

TEST_P(LargeFrames, AreTheCoresAtEveryThreadCount) {
  ensure_gst();
  const Effect& e = effect_named(GetParam());
  constexpr int kWidth = 1280, kHeight = 720, kFps = 30;
  const Geometry g = geometry(kLayouts[1], kWidth, kHeight);
  for (bool alpha : {false, true}) {
    Pipeline p(std::string("kvfx") + e.name, alpha ? kAlphaFormat : kOpaqueFormat, kWidth,
               kHeight, kFps);
    ASSERT_TRUE(p.ok());
    // Both frames with the same seed, so both must equal one call.
    if (kvfx_catalogue::find_param(e, "seed") >= 0) g_object_set(p.fx(), "animate", FALSE, nullptr);
    const std::vector<double> args = args_for(e, 1);
    set_args(p.fx(), e, args);
    const std::vector<uint8_t> in = noise(g.size, 31);
    const std::vector<uint8_t> expected = expected_frame(e, args, alpha, g, in);
    int frame = 0;
    for (guint threads : {2u, 0u}) {
      SCOPED_TRACE((alpha ? "BGRA, n-threads " : "BGRx, n-threads ") + std::to_string(threads));
      g_object_set(p.fx(), "n-threads", threads, nullptr);
      p.push(in, g, pts_of(frame++, kFps));
      EXPECT_EQ(mismatch_at(p.pull(), expected, alpha ? nullptr : &g), -1)
          << "first differing byte (-2: size)";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllEffects, LargeFrames, testing::ValuesIn(effect_names()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

// ---------------------------------------------------------------------------
// Grain and glitch over time: the seed moves with the frame's number, taken
// from its timestamp where the rate is known and counted otherwise.

struct TimeCase {
  const char* name;
  const char* effect;
  bool animate;
  int first_frame;  // the first timestamp in frames; -1: no timestamps
  int fps;          // 0: unknown rate
};

void PrintTo(const TimeCase& c, std::ostream* os) { *os << c.name; }

class AnimatedSeed : public testing::TestWithParam<TimeCase> {};

TEST_P(AnimatedSeed, MovesWithTheFrameAndRepeatsAcrossRuns) {
  ensure_gst();
  const TimeCase& c = GetParam();
  const Effect& e = effect_named(c.effect);
  constexpr int kWidth = 33, kHeight = 40, kFrames = 4;
  const Geometry g = geometry(kLayouts[1], kWidth, kHeight);
  const std::vector<uint8_t> in = noise(g.size, 99);
  std::vector<std::vector<uint8_t>> runs[2];
  for (auto& run : runs) {
    Pipeline p(std::string("kvfx") + e.name, kOpaqueFormat, kWidth, kHeight, c.fps);
    ASSERT_TRUE(p.ok());
    g_object_set(p.fx(), "animate", c.animate ? TRUE : FALSE, nullptr);
    for (int f = 0; f < kFrames; ++f) {
      const GstClockTime pts =
          c.first_frame < 0 ? GST_CLOCK_TIME_NONE : pts_of(c.first_frame + f, c.fps ? c.fps : 30);
      p.push(in, g, pts);
      run.push_back(p.pull());
      ASSERT_FALSE(run.back().empty());
    }
  }
  const int seed = kvfx_catalogue::find_param(e, "seed");
  for (int f = 0; f < kFrames; ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    EXPECT_EQ(runs[0][f], runs[1][f]) << "two runs of the same stream differ";
    std::vector<double> args = kvfx_catalogue::default_args(e);
    const bool by_timestamp = c.first_frame >= 0 && c.fps > 0;
    if (c.animate) args[seed] += by_timestamp ? c.first_frame + f : f;
    EXPECT_EQ(mismatch_at(runs[0][f], expected_frame(e, args, false, g, in), &g), -1);
    if (f > 0) {
      EXPECT_EQ(runs[0][f] != runs[0][f - 1], c.animate);
    }
  }
}

const TimeCase kTimeCases[] = {
    {"grain_from_timestamps", "grain", true, 0, 30},
    {"grain_stream_starting_later", "grain", true, 100, 25},
    {"grain_without_timestamps", "grain", true, -1, 30},
    {"grain_without_rate", "grain", true, 50, 0},
    {"grain_still", "grain", false, 0, 30},
    {"glitch_from_timestamps", "glitch", true, 0, 30},
    {"glitch_stream_starting_later", "glitch", true, 1000, 30},
    {"glitch_still", "glitch", false, 0, 30},
};

INSTANTIATE_TEST_SUITE_P(GrainAndGlitch, AnimatedSeed, testing::ValuesIn(kTimeCases),
                         [](const testing::TestParamInfo<TimeCase>& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Properties: the catalogue's defaults on a new element, both ends of its
// accepted range taken, and a value just past either end refused (where the
// type can hold one).

TEST(ElementProperties, StartAtTheCatalogueDefaultsAndRefuseValuesOutsideItsRange) {
  ensure_gst();
  const guint handler =
      g_log_set_handler("GLib-GObject", G_LOG_LEVEL_WARNING, note_refusal, nullptr);
  for (const Effect& e : kvfx_catalogue::effects()) {
    SCOPED_TRACE(e.name);
    GstElement* fx = gst_element_factory_make((std::string("kvfx") + e.name).c_str(), nullptr);
    ASSERT_NE(fx, nullptr);
    for (const auto& p : e.params) {
      SCOPED_TRACE(p.name);
      GParamSpec* ps = g_object_class_find_property(G_OBJECT_GET_CLASS(fx), p.name);
      ASSERT_NE(ps, nullptr);
      EXPECT_TRUE(ps->flags & GST_PARAM_MUTABLE_PLAYING);
      EXPECT_EQ(get_arg(fx, ps), p.fallback);
      for (double end : {p.min, p.max}) {
        EXPECT_TRUE(set_arg(fx, ps, end));
        EXPECT_EQ(get_arg(fx, ps), end);
      }
      const bool real = ps->value_type == G_TYPE_DOUBLE;
      const bool integer = ps->value_type == G_TYPE_INT;
      if (real || (integer && p.min > G_MININT)) {
        EXPECT_FALSE(set_arg(fx, ps, p.min - 1));
        EXPECT_EQ(get_arg(fx, ps), p.max) << "a value below the range was taken";
      }
      if (real || (integer && p.max < G_MAXINT)) {
        EXPECT_FALSE(set_arg(fx, ps, p.max + 1));
        EXPECT_EQ(get_arg(fx, ps), p.max) << "a value above the range was taken";
      }
    }
    GParamSpec* threads = g_object_class_find_property(G_OBJECT_GET_CLASS(fx), "n-threads");
    ASSERT_NE(threads, nullptr);
    EXPECT_TRUE(threads->flags & GST_PARAM_MUTABLE_PLAYING);
    EXPECT_EQ(get_arg(fx, threads), 1);
    EXPECT_TRUE(set_arg(fx, threads, 0));
    EXPECT_TRUE(set_arg(fx, threads, INT32_MAX));
    EXPECT_FALSE(set_arg(fx, threads, INT32_MAX + 1.0)) << "beyond the library's int32";
    const bool seeded = kvfx_catalogue::find_param(e, "seed") >= 0;
    EXPECT_EQ(g_object_class_find_property(G_OBJECT_GET_CLASS(fx), "animate") != nullptr, seeded);
    gst_object_unref(fx);
  }
  g_log_remove_handler("GLib-GObject", handler);
}

// A value within the slider and away from the default, exact in every
// property type and in gst-launch text.
double moved_value(const kvfx_catalogue::Param& p) {
  if (p.kind == Kind::kColour || p.kind == Kind::kColourAlpha) return 0xC0408020u;
  double v = std::floor(p.soft_min + 0.37 * (p.soft_max - p.soft_min));
  return v == p.fallback ? v + 1 : v;
}

// Every name and other name of the catalogue is a property: set in a
// gst-launch description, it reaches the parameter, read back under both
// names; set through the other name, the name reads it and both notify.
TEST(ElementProperties, EveryNameAndOtherNameOfTheCatalogueIsAProperty) {
  ensure_gst();
  for (const Effect& e : kvfx_catalogue::effects()) {
    for (const auto& p : e.params) {
      for (const char* name : {p.name, p.alias}) {
        if (!name) continue;
        SCOPED_TRACE(std::string("kvfx") + e.name + " " + name);
        const double v = moved_value(p);
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", v);
        const std::string desc = std::string("kvfx") + e.name + " name=fx " + name + "=" + text;
        GError* error = nullptr;
        GstElement* fx = gst_parse_launch(desc.c_str(), &error);
        ASSERT_NE(fx, nullptr) << desc << ": " << (error ? error->message : "?");
        EXPECT_EQ(error, nullptr) << desc << ": " << error->message;
        g_clear_error(&error);
        GObjectClass* k = G_OBJECT_GET_CLASS(fx);
        GParamSpec* named = g_object_class_find_property(k, p.name);
        ASSERT_NE(named, nullptr);
        EXPECT_EQ(get_arg(fx, named), v);
        if (p.alias) {
          GParamSpec* other = g_object_class_find_property(k, p.alias);
          ASSERT_NE(other, nullptr);
          EXPECT_EQ(get_arg(fx, other), v);
          EXPECT_EQ(other->value_type, named->value_type);
          EXPECT_NE(std::strstr(g_param_spec_get_blurb(named), p.alias), nullptr)
              << "the name's description does not mention " << p.alias;
          int notified = 0;
          auto count = +[](GObject*, GParamSpec*, gpointer n) { ++*static_cast<int*>(n); };
          g_signal_connect(fx, "notify", G_CALLBACK(count), &notified);
          EXPECT_TRUE(set_arg(fx, other, p.fallback));
          EXPECT_EQ(get_arg(fx, named), p.fallback);
          EXPECT_EQ(notified, 2);
        }
        gst_object_unref(fx);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// A library failure: an element error naming the effect and the code, and no
// frame goes on. The test build of the library fails the blur's scratch
// allocation on demand.

TEST(LibraryFailure, PostsAnElementErrorAndStopsTheFlow) {
  ensure_gst();
  constexpr int kWidth = 64, kHeight = 48;
  const Geometry g = geometry(kLayouts[0], kWidth, kHeight);
  Pipeline p("kvfxblur sigma=5", kOpaqueFormat, kWidth, kHeight);
  ASSERT_TRUE(p.ok());
  // The blur's one scratch allocation is the next one the library makes.
  kv_fx_test_fail_allocation_after(0);
  p.push(std::vector<uint8_t>(g.size, 0x80), g, 0);
  GstMessage* m = p.error(30 * GST_SECOND);
  kv_fx_test_fail_allocation_after(-1);

  ASSERT_NE(m, nullptr) << "no error posted";
  GError* error = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(m, &error, &debug);
  EXPECT_EQ(GST_MESSAGE_SRC(m), GST_OBJECT(p.fx()));
  EXPECT_TRUE(g_error_matches(error, GST_LIBRARY_ERROR, GST_LIBRARY_ERROR_FAILED));
  EXPECT_STREQ(error->message,
               "kvfxblur: kv_fx_gaussian_blur returned FX_ERR_OUT_OF_MEMORY (-2)");
  g_clear_error(&error);
  g_free(debug);
  gst_message_unref(m);
  EXPECT_TRUE(p.pull(200 * GST_MSECOND).empty()) << "a frame went on after the error";
}

}  // namespace
