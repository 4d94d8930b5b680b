// The kvfx GStreamer plugin: one in-place video filter per catalogued effect,
// kvfx<name>, its properties made from the catalogue's parameters when the
// class is built, so a parameter added to the catalogue shows up here by
// itself.
#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

#include <algorithm>
#include <string>

#include "effect_catalogue.h"
#include "frame_words.h"
#include "kelvo_fx.h"

namespace {

using kvfx_catalogue::Effect;
using kvfx_catalogue::Kind;
using kvfx_catalogue::Param;

// More than any effect takes; an effect with more is not registered.
constexpr size_t kMaxParams = 8;

// The library's 32-bit word in memory order on this machine.
#if G_BYTE_ORDER == G_LITTLE_ENDIAN
#define KVFX_GST_FORMATS "{ BGRA, BGRx }"
#else
#define KVFX_GST_FORMATS "{ ARGB, xRGB }"
#endif

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(KVFX_GST_FORMATS)));
GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(KVFX_GST_FORMATS)));

GST_DEBUG_CATEGORY_STATIC(kvfx_debug);
#define GST_CAT_DEFAULT kvfx_debug

struct KvfxFilter {
  GstVideoFilter parent;
  // Written by the application's thread under the object lock; the streaming
  // thread takes a copy per frame.
  double args[kMaxParams];
  gboolean animate;
  guint n_threads;  // 0: as many as the process may run on
  // Frames seen since start, for streams without timestamps or frame rate.
  guint64 counted;
};

struct KvfxFilterClass {
  GstVideoFilterClass parent;
  const Effect* effect;
  int seed;  // index of the effect's seed parameter, or -1 (no animate property)
  // Each parameter's property and, where the catalogue gives it another
  // name, the second property that reads and writes the same value.
  GParamSpec* named[kMaxParams];
  GParamSpec* aliased[kMaxParams];
};

GType kvfx_filter_get_type();

KvfxFilter* as_filter(gpointer p) {
  return G_TYPE_CHECK_INSTANCE_CAST(p, kvfx_filter_get_type(), KvfxFilter);
}
KvfxFilterClass* class_of(gpointer instance) {
  return G_TYPE_INSTANCE_GET_CLASS(instance, kvfx_filter_get_type(), KvfxFilterClass);
}

// Property ids: parameter i is i + 1 under its name and kMaxParams + 1 + i
// under its other name; animate and n-threads come after both.
constexpr guint kAliasIds = kMaxParams + 1;
constexpr guint kAnimateId = 2 * kMaxParams + 1;
constexpr guint kThreadsId = kAnimateId + 1;

// The parameter a property id stands for, or -1.
int param_of(const KvfxFilterClass* k, guint id) {
  const auto n = static_cast<guint>(k->effect->params.size());
  if (id >= 1 && id <= n) return static_cast<int>(id - 1);
  if (id >= kAliasIds && id < kAliasIds + n && k->aliased[id - kAliasIds])
    return static_cast<int>(id - kAliasIds);
  return -1;
}

void set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  KvfxFilter* self = as_filter(object);
  const KvfxFilterClass* k = class_of(object);
  const auto& params = k->effect->params;
  const int i = param_of(k, id);
  GST_OBJECT_LOCK(self);
  if (i >= 0) {
    double& arg = self->args[i];
    switch (params[i].kind) {
      case Kind::kReal: arg = g_value_get_double(value); break;
      case Kind::kInteger: arg = g_value_get_int(value); break;
      case Kind::kColour:
      case Kind::kColourAlpha: arg = g_value_get_uint(value); break;
    }
  } else if (k->seed >= 0 && id == kAnimateId) {
    self->animate = g_value_get_boolean(value);
  } else if (id == kThreadsId) {
    self->n_threads = g_value_get_uint(value);
  } else {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
  GST_OBJECT_UNLOCK(self);
  // One value under two names: whoever watches either hears of the change.
  if (i >= 0 && k->aliased[i])
    g_object_notify_by_pspec(object, pspec == k->named[i] ? k->aliased[i] : k->named[i]);
}

void get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  KvfxFilter* self = as_filter(object);
  const KvfxFilterClass* k = class_of(object);
  const auto& params = k->effect->params;
  const int i = param_of(k, id);
  GST_OBJECT_LOCK(self);
  if (i >= 0) {
    const double arg = self->args[i];
    switch (params[i].kind) {
      case Kind::kReal: g_value_set_double(value, arg); break;
      case Kind::kInteger: g_value_set_int(value, kvfx_catalogue::to_int32(arg)); break;
      case Kind::kColour:
      case Kind::kColourAlpha: g_value_set_uint(value, kvfx_catalogue::to_uint32(arg)); break;
    }
  } else if (k->seed >= 0 && id == kAnimateId) {
    g_value_set_boolean(value, self->animate);
  } else if (id == kThreadsId) {
    g_value_set_uint(value, self->n_threads);
  } else {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
  GST_OBJECT_UNLOCK(self);
}

gboolean start(GstBaseTransform* trans) {
  KvfxFilter* self = as_filter(trans);
  GST_OBJECT_LOCK(self);
  self->counted = 0;
  GST_OBJECT_UNLOCK(self);
  return TRUE;
}

// The frame's place in the stream: from its timestamp where the rate is
// known, so a seek or a second run gives each frame the same number.
guint64 frame_number(KvfxFilter* self, const GstVideoFrame* frame) {
  GST_OBJECT_LOCK(self);
  const guint64 counted = self->counted++;
  GST_OBJECT_UNLOCK(self);
  const GstClockTime pts = GST_BUFFER_PTS(frame->buffer);
  const GstVideoInfo& info = frame->info;
  if (GST_CLOCK_TIME_IS_VALID(pts) && info.fps_n > 0 && info.fps_d > 0)
    return gst_util_uint64_scale_round(pts, static_cast<guint64>(info.fps_n),
                                       GST_SECOND * static_cast<guint64>(info.fps_d));
  return counted;
}

const char* result_name(int32_t rc) {
  switch (rc) {
    case FX_ERR_INVALID_ARGUMENT: return "FX_ERR_INVALID_ARGUMENT";
    case FX_ERR_OUT_OF_MEMORY: return "FX_ERR_OUT_OF_MEMORY";
    default: return "an unknown result";
  }
}

GstFlowReturn transform_frame_ip(GstVideoFilter* filter, GstVideoFrame* frame) {
  KvfxFilter* self = as_filter(filter);
  const KvfxFilterClass* k = class_of(filter);
  const Effect& effect = *k->effect;

  double args[kMaxParams];
  GST_OBJECT_LOCK(self);
  std::copy(self->args, self->args + effect.params.size(), args);
  const bool animate = self->animate;
  // The property's range keeps it within the library's int32; 0 is the
  // library's own "as many as this process may run on".
  const auto threads = static_cast<int32_t>(self->n_threads);
  GST_OBJECT_UNLOCK(self);
  if (k->seed >= 0 && animate) {
    // Wraps like the int32 seed it is: every frame number gives a seed.
    const uint32_t seed = static_cast<uint32_t>(kvfx_catalogue::to_int32(args[k->seed])) +
                          static_cast<uint32_t>(frame_number(self, frame));
    args[k->seed] = static_cast<int32_t>(seed);
  }

  const GstMapInfo& map = frame->map[0];
  auto* data = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(frame, 0));
  const size_t end = static_cast<size_t>(map.data + map.size - data);
  const kvfx_gst::FrameView view{data, GST_VIDEO_FRAME_WIDTH(frame), GST_VIDEO_FRAME_HEIGHT(frame),
                                 GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0), end};
  const auto alpha = GST_VIDEO_INFO_HAS_ALPHA(&frame->info) ? kvfx_gst::FrameAlpha::kStraight
                                                            : kvfx_gst::FrameAlpha::kPadding;
  const int32_t rc = kvfx_gst::run_effect(effect, args, view, alpha, threads);
  if (rc != FX_OK) {
    GST_ELEMENT_ERROR(self, LIBRARY, FAILED,
                      ("kvfx%s: %s returned %s (%d)", effect.name, effect.function,
                       result_name(rc), static_cast<int>(rc)),
                      ("frame %dx%d, stride %d", view.width, view.height, view.stride));
    return GST_FLOW_ERROR;
  }
  return GST_FLOW_OK;
}

void filter_class_init(gpointer g_class, gpointer) {
  GST_BASE_TRANSFORM_CLASS(g_class)->start = start;
  GST_VIDEO_FILTER_CLASS(g_class)->transform_frame_ip = transform_frame_ip;
}

// g_class is the class of the element being made, so the defaults are its
// effect's.
void filter_init(GTypeInstance* instance, gpointer g_class) {
  KvfxFilter* self = reinterpret_cast<KvfxFilter*>(instance);
  const Effect* effect = static_cast<KvfxFilterClass*>(g_class)->effect;
  if (effect)
    for (size_t i = 0; i < effect->params.size(); ++i) self->args[i] = effect->params[i].fallback;
  self->animate = TRUE;
  self->n_threads = 1;
  self->counted = 0;
}

GType kvfx_filter_get_type() {
  static gsize type = 0;
  if (g_once_init_enter(&type)) {
    GTypeInfo info{};
    info.class_size = sizeof(KvfxFilterClass);
    info.class_init = filter_class_init;
    info.instance_size = sizeof(KvfxFilter);
    info.instance_init = filter_init;
    const GType t = g_type_register_static(GST_TYPE_VIDEO_FILTER, "GstKvfxFilter", &info,
                                           G_TYPE_FLAG_ABSTRACT);
    g_once_init_leave(&type, t);
  }
  return type;
}

// What gst-inspect-1.0 shows beside a property: the catalogue's unit, the
// parameter's other name, and for colours how a number is read.
std::string blurb(const Param& p, bool other_name) {
  std::string b;
  if (other_name) {
    // As gst-inspect-1.0 lists the property it stands for.
    std::string shown = p.name;
    std::replace(shown.begin(), shown.end(), '_', '-');
    b = "the same as " + shown + ": ";
  }
  b += p.unit;
  if (!other_name && p.alias) b += std::string(" (also ") + p.alias + ")";
  if (p.kind == Kind::kColour || p.kind == Kind::kColourAlpha)
    b += p.kind == Kind::kColourAlpha
             ? "; the number is the C word 0xAARRGGBB (README, Colours)"
             : "; the number is the C word 0xRRGGBB, top byte ignored (README, Colours)";
  return b;
}

// The property for parameter p under its name or its other name.
GParamSpec* param_spec(const Param& p, bool other_name) {
  const char* name = other_name ? p.alias : p.name;
  // Name and blurb are copied (GLib spells '_' as '-'; both spellings find
  // the property); the nick points into the catalogue, which lives as long
  // as the program.
  const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_NICK |
                                              GST_PARAM_CONTROLLABLE | GST_PARAM_MUTABLE_PLAYING);
  const std::string text = blurb(p, other_name);
  const char* b = text.c_str();
  switch (p.kind) {
    case Kind::kReal:
      return g_param_spec_double(name, name, b, p.min, p.max, p.fallback, flags);
    case Kind::kInteger:
      return g_param_spec_int(name, name, b, kvfx_catalogue::to_int32(p.min),
                              kvfx_catalogue::to_int32(p.max),
                              kvfx_catalogue::to_int32(p.fallback), flags);
    case Kind::kColour:
    case Kind::kColourAlpha:
      return g_param_spec_uint(name, name, b, kvfx_catalogue::to_uint32(p.min),
                               kvfx_catalogue::to_uint32(p.max),
                               kvfx_catalogue::to_uint32(p.fallback), flags);
  }
  return nullptr;
}

void effect_class_init(gpointer g_class, gpointer class_data) {
  const Effect& effect = *static_cast<const Effect*>(class_data);
  auto* k = static_cast<KvfxFilterClass*>(g_class);
  k->effect = &effect;
  k->seed = kvfx_catalogue::find_param(effect, "seed");

  // GObject clears these for every class: each class owns its properties.
  GObjectClass* object_class = G_OBJECT_CLASS(g_class);
  object_class->set_property = set_property;
  object_class->get_property = get_property;
  for (size_t i = 0; i < effect.params.size(); ++i) {
    const Param& p = effect.params[i];
    k->named[i] = param_spec(p, false);
    g_object_class_install_property(object_class, static_cast<guint>(i + 1), k->named[i]);
    k->aliased[i] = p.alias ? param_spec(p, true) : nullptr;
    if (k->aliased[i])
      g_object_class_install_property(object_class, kAliasIds + static_cast<guint>(i),
                                      k->aliased[i]);
  }
  if (k->seed >= 0)
    g_object_class_install_property(
        object_class, kAnimateId,
        g_param_spec_boolean("animate", "animate", "add the frame number to the seed", TRUE,
                             static_cast<GParamFlags>(G_PARAM_READWRITE |
                                                      G_PARAM_STATIC_STRINGS |
                                                      GST_PARAM_MUTABLE_PLAYING)));
  // GStreamer's convention for a filter that can split a frame: one thread
  // unless asked, 0 for one per CPU.
  g_object_class_install_property(
      object_class, kThreadsId,
      g_param_spec_uint("n-threads", "n-threads",
                        "threads per frame (0: as many as the process may run on)", 0,
                        G_MAXINT32, 1,
                        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                 GST_PARAM_MUTABLE_PLAYING)));

  GstElementClass* element_class = GST_ELEMENT_CLASS(g_class);
  const std::string longname = std::string("kvfx ") + effect.name;
  const std::string description = std::string(effect.summary) + " (" + effect.function + ")";
  gst_element_class_set_metadata(element_class, longname.c_str(), "Filter/Effect/Video",
                                 description.c_str(), "libkelvo_fx developers");
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
}

std::string capitalised(const char* name) {
  std::string s = name;
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
  return s;
}

gboolean plugin_init(GstPlugin* plugin) {
  GST_DEBUG_CATEGORY_INIT(kvfx_debug, "kvfx", 0, "libkelvo_fx effects");
  gboolean ok = TRUE;
  for (const Effect& effect : kvfx_catalogue::effects()) {
    if (effect.params.size() > kMaxParams) {
      GST_WARNING("kvfx%s takes %zu parameters; not registered", effect.name,
                  effect.params.size());
      continue;
    }
    const std::string type_name = "GstKvfx" + capitalised(effect.name);
    GType type = g_type_from_name(type_name.c_str());
    if (!type) {
      GTypeInfo info{};
      info.class_size = sizeof(KvfxFilterClass);
      info.class_init = effect_class_init;
      info.class_data = &effect;
      info.instance_size = sizeof(KvfxFilter);
      type = g_type_register_static(kvfx_filter_get_type(), type_name.c_str(), &info,
                                    static_cast<GTypeFlags>(0));
    }
    const std::string element = std::string("kvfx") + effect.name;
    ok = gst_element_register(plugin, element.c_str(), GST_RANK_NONE, type) && ok;
  }
  return ok;
}

}  // namespace

#define PACKAGE "libkelvo_fx"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, kvfx,
                  "raster image effects of libkelvo_fx on video frames", plugin_init,
                  KV_FX_VERSION, "unknown", PACKAGE, PACKAGE)
