#include "effect_catalogue.h"

#include <cmath>
#include <type_traits>
#include <utility>

#include "kelvo_fx.h"
#include "kelvo_fx_parallel.h"

namespace kvfx_catalogue {
namespace {

constexpr double kIntMin = -2147483648.0;
constexpr double kIntMax = 2147483647.0;
constexpr double kHuge = 1e6;

template <class T>
T to_c(double v) {
  if constexpr (std::is_same_v<T, double>) return v;
  else if constexpr (std::is_same_v<T, int32_t>) return to_int32(v);
  else return to_uint32(v);
}

template <class T>
Kind kind_of() {
  if constexpr (std::is_same_v<T, double>) return Kind::kReal;
  else if constexpr (std::is_same_v<T, int32_t>) return Kind::kInteger;
  else {
    static_assert(std::is_same_v<T, uint32_t>, "effect arguments are double, int32 or uint32");
    return Kind::kColour;  // kColour and kColourAlpha are both uint32_t
  }
}

// An invoker made from the C function's own type, so the catalogue cannot
// pass an argument of another type or count.
template <auto F, class Sig = decltype(F)>
struct Invoker;

template <auto F, class... A>
struct Invoker<F, int32_t (*)(uint32_t*, int32_t, int32_t, int32_t, A...)> {
  template <size_t... I>
  static int32_t call_with(uint32_t* p, int32_t w, int32_t h, int32_t s, const double* a,
                           std::index_sequence<I...>) {
    return F(p, w, h, s, to_c<A>(a[I])...);
  }
  static int32_t call(uint32_t* p, int32_t w, int32_t h, int32_t s, const double* a,
                      const uint32_t*) {
    return call_with(p, w, h, s, a, std::index_sequence_for<A...>{});
  }
  // The parallel form G of F: F's arguments, then the thread count.
  template <auto G, size_t... I>
  static int32_t parallel_with(uint32_t* p, int32_t w, int32_t h, int32_t s, const double* a,
                               int32_t threads, std::index_sequence<I...>) {
    static_assert(std::is_same_v<decltype(G),
                                 int32_t (*)(uint32_t*, int32_t, int32_t, int32_t, A..., int32_t)>,
                  "a parallel export takes its core export's arguments, then the threads");
    return G(p, w, h, s, to_c<A>(a[I])..., threads);
  }
  template <auto G>
  static int32_t parallel_call(uint32_t* p, int32_t w, int32_t h, int32_t s, const double* a,
                               const uint32_t*, int32_t threads) {
    return parallel_with<G>(p, w, h, s, a, threads, std::index_sequence_for<A...>{});
  }
  static std::vector<Kind> types() { return {kind_of<A>()...}; }
  static constexpr bool kTwoBuffers = false;
};

template <auto F, class... A>
struct Invoker<F, int32_t (*)(const uint32_t*, uint32_t*, int32_t, int32_t, int32_t, A...)> {
  template <size_t... I>
  static int32_t call_with(const uint32_t* src, uint32_t* dst, int32_t w, int32_t h, int32_t s,
                           const double* a, std::index_sequence<I...>) {
    return F(src, dst, w, h, s, to_c<A>(a[I])...);
  }
  static int32_t call(uint32_t* p, int32_t w, int32_t h, int32_t s, const double* a,
                      const uint32_t* source) {
    return call_with(source ? source : p, p, w, h, s, a, std::index_sequence_for<A...>{});
  }
  template <auto G, size_t... I>
  static int32_t parallel_with(const uint32_t* src, uint32_t* dst, int32_t w, int32_t h,
                               int32_t s, const double* a, int32_t threads,
                               std::index_sequence<I...>) {
    static_assert(std::is_same_v<decltype(G), int32_t (*)(const uint32_t*, uint32_t*, int32_t,
                                                          int32_t, int32_t, A..., int32_t)>,
                  "a parallel export takes its core export's arguments, then the threads");
    return G(src, dst, w, h, s, to_c<A>(a[I])..., threads);
  }
  template <auto G>
  static int32_t parallel_call(uint32_t* p, int32_t w, int32_t h, int32_t s, const double* a,
                               const uint32_t* source, int32_t threads) {
    return parallel_with<G>(source ? source : p, p, w, h, s, a, threads,
                            std::index_sequence_for<A...>{});
  }
  static std::vector<Kind> types() { return {kind_of<A>()...}; }
  static constexpr bool kTwoBuffers = true;
};

template <auto F, auto G>
Effect effect(const char* name, const char* function, const char* parallel_function,
              const char* summary, Input input, const kvfx::EntryPolicy& entry,
              std::vector<Param> params, Visit visit = Visit::kRows,
              Alpha alpha = Alpha::kApart) {
  using I = Invoker<F>;
  return Effect{name, function, parallel_function, summary, input, &entry, I::kTwoBuffers,
                std::move(params), &I::call, &I::template parallel_call<G>, I::types(), visit,
                alpha};
}
// An effect's two exports, and their names, from the part they share.
#define KVFX_EXPORTS(fx) &kv_fx_##fx, &kv_fx_parallel_##fx
#define KVFX_NAMES(fx) "kv_fx_" #fx, "kv_fx_parallel_" #fx

Param real(const char* name, double fallback, double min, double max, double soft_min,
           double soft_max, const char* unit, const char* alias = nullptr) {
  return {name, Kind::kReal, fallback, min, max, soft_min, soft_max, unit, alias};
}

Param integer(const char* name, double fallback, double min, double max, double soft_min,
              double soft_max, const char* unit, const char* alias = nullptr) {
  return {name, Kind::kInteger, fallback, min, max, soft_min, soft_max, unit, alias};
}

Param colour(const char* name, Kind kind, uint32_t fallback, const char* unit) {
  return {name, kind, static_cast<double>(fallback), 0, 4294967295.0, 0, 4294967295.0, unit,
          nullptr};
}

using kvfx::entry::kBloom;
using kvfx::entry::kChromaticAberration;
using kvfx::entry::kColorGrade;
using kvfx::entry::kDropShadow;
using kvfx::entry::kFilmGrain;
using kvfx::entry::kGaussianBlur;
using kvfx::entry::kGlitchDisplacement;
using kvfx::entry::kScanlines;
using kvfx::entry::kToneMapAces;
using kvfx::entry::kVignette;
constexpr Input kStraight = Input::kStraightColour;
constexpr Input kPremul = Input::kPremultiplied;
constexpr Visit kWholeRun = Visit::kWholeRun;

std::vector<Effect> make_effects() {
  return {
      effect<KVFX_EXPORTS(gaussian_blur)>(
          "blur", KVFX_NAMES(gaussian_blur), "Gaussian blur of all four channels", kPremul,
          kGaussianBlur,
          {real("sigma", 2, 0, kHuge, 0, 50, "pixels (standard deviation; 0 = none)")}),
      effect<KVFX_EXPORTS(bloom)>(
          "bloom", KVFX_NAMES(bloom), "glow around bright areas, screened over the image", kPremul,
          kBloom,
          {real("threshold", 0.6, 0, 1, 0, 1, "0..1 luma above which pixels glow"),
           real("intensity", 1, -kHuge, kHuge, -1, 4, "glow strength (negative darkens)"),
           real("sigma", 6, 0, kHuge, 0, 50, "pixels (glow blur)"),
           colour("tint", Kind::kColour, 0xFFFFFF, "RRGGBB glow colour")},
          kWholeRun),
      effect<KVFX_EXPORTS(drop_shadow)>(
          "shadow", KVFX_NAMES(drop_shadow), "soft drop shadow under the image's opaque parts (same size)", kPremul, kDropShadow,
          {real("offset_x", 4, -kHuge, kHuge, -50, 50, "pixels to the right", "dx"),
           real("offset_y", 4, -kHuge, kHuge, -50, 50, "pixels down", "dy"),
           real("sigma", 3, 0, kHuge, 0, 30, "pixels (shadow blur)"),
           colour("color", Kind::kColourAlpha, 0x80000000u, "AARRGGBB shadow colour and opacity")},
          kWholeRun, Alpha::kInColour),
      effect<KVFX_EXPORTS(tone_map_aces)>(
          "tonemap", KVFX_NAMES(tone_map_aces), "ACES filmic tone curve", kStraight, kToneMapAces,
          {real("exposure", 1, 0, kHuge, 0, 4, "multiplier before the curve")}, kWholeRun),
      effect<KVFX_EXPORTS(color_grade)>(
          "grade", KVFX_NAMES(color_grade), "contrast, brightness, gamma and saturation", kStraight,
          kColorGrade,
          {real("brightness", 0, -1, 1, -1, 1, "added on the 0..1 scale"),
           real("contrast", 1, 0, 1e3, 0, 3, "factor around mid grey (1 = unchanged)"),
           real("saturation", 1, 0, 1e3, 0, 3, "factor (0 = grey, 1 = unchanged)"),
           real("gamma", 1, 1e-3, 1e3, 0.1, 5, "exponent 1/gamma (>1 brightens)")},
          kWholeRun),
      effect<KVFX_EXPORTS(vignette)>(
          "vignette", KVFX_NAMES(vignette), "darkens (or tints) toward the corners", kStraight,
          kVignette,
          {real("strength", 0.6, 0, 1, 0, 1, "0..1 blend at the corners"),
           real("radius", 0.5, 0, 10, 0, 1.5, "where it starts (1 = half diagonal)"),
           real("softness", 0.5, 0, 10, 0, 1.5, "width of the fade (same scale)"),
           colour("color", Kind::kColour, 0x000000, "RRGGBB vignette colour")}),
      effect<KVFX_EXPORTS(film_grain)>(
          "grain", KVFX_NAMES(film_grain), "film grain noise", kStraight, kFilmGrain,
          {real("amount", 0.08, 0, 1, 0, 0.5, "0..1 of full scale, peak"),
           integer("seed", 1, kIntMin, kIntMax, 0, 1000, "random seed (0 = built-in)")},
          kWholeRun),
      effect<KVFX_EXPORTS(scanlines)>(
          "scanlines", KVFX_NAMES(scanlines), "darkened rows like a CRT", kStraight, kScanlines,
          {integer("spacing", 3, 1, kIntMax, 1, 16, "rows from one line to the next"),
           real("intensity", 0.35, 0, 1, 0, 1, "0..1 darkening of each line")}),
      effect<KVFX_EXPORTS(chromatic_aberration)>(
          "chromatic", KVFX_NAMES(chromatic_aberration), "red and blue fringes shifted apart",
          kPremul, kChromaticAberration,
          {real("strength_x", 3, -kHuge, kHuge, -20, 20, "pixels"),
           real("strength_y", 3, -kHuge, kHuge, -20, 20, "pixels"),
           real("angle", 0, -kHuge, kHuge, -3.14159, 3.14159, "radians (0 = horizontal)")}),
      effect<KVFX_EXPORTS(glitch_displacement)>(
          "glitch", KVFX_NAMES(glitch_displacement), "horizontal bands shifted sideways", kPremul,
          kGlitchDisplacement,
          {integer("band_count", 8, 1, kIntMax, 1, 64, "number of bands", "bands"),
           integer("max_shift", 12, 1, 1073741823.0, 1, 200, "pixels, largest shift"),
           integer("seed", 1, kIntMin, kIntMax, 0, 1000, "random seed (0 = built-in)")}),
  };
}

}  // namespace

const std::vector<Effect>& effects() {
  static const std::vector<Effect> table = make_effects();
  return table;
}

const Effect* find_effect(std::string_view name) {
  for (const Effect& e : effects())
    if (name == e.name || name == e.function) return &e;
  return nullptr;
}

int find_param(const Effect& effect, std::string_view name) {
  for (size_t i = 0; i < effect.params.size(); ++i) {
    const Param& p = effect.params[i];
    if (name == p.name || (p.alias && name == p.alias)) return static_cast<int>(i);
  }
  return -1;
}

std::vector<double> default_args(const Effect& effect) {
  std::vector<double> args;
  for (const Param& p : effect.params) args.push_back(p.fallback);
  return args;
}

int32_t to_int32(double v) {
  if (!(v == v)) return 0;
  if (v <= kIntMin) return INT32_MIN;
  if (v >= kIntMax) return INT32_MAX;
  return static_cast<int32_t>(v);
}

uint32_t to_uint32(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 4294967295.0) return UINT32_MAX;
  return static_cast<uint32_t>(v);
}

}  // namespace kvfx_catalogue
