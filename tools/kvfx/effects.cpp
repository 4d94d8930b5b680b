#include "effects.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "kelvo_fx.h"

namespace kvfx_tool {

namespace {
constexpr double kIntMin = -2147483648.0;
constexpr double kIntMax = 2147483647.0;
}  // namespace

const std::vector<EffectSpec>& effect_table() {
  static const std::vector<EffectSpec> table = {
      {"blur", "Gaussian blur of all four channels",
       {{"sigma", Kind::Real, "2", 0, 1e6, "pixels (standard deviation; 0 = none)"}}},
      {"bloom", "glow around bright areas, screened over the image",
       {{"threshold", Kind::Real, "0.6", 0, 1, "0..1 luma above which pixels glow"},
        {"intensity", Kind::Real, "1", -1e6, 1e6, "glow strength (negative darkens)"},
        {"sigma", Kind::Real, "6", 0, 1e6, "pixels (glow blur)"},
        {"tint", Kind::Colour, "ffffff", 0, 0, "RRGGBB glow colour"}}},
      {"shadow", "soft drop shadow under the image's opaque parts (same size)",
       {{"dx", Kind::Real, "4", -1e6, 1e6, "pixels to the right"},
        {"dy", Kind::Real, "4", -1e6, 1e6, "pixels down"},
        {"sigma", Kind::Real, "3", 0, 1e6, "pixels (shadow blur)"},
        {"color", Kind::Colour, "80000000", 0, 0, "AARRGGBB shadow colour and opacity"}}},
      {"tonemap", "ACES filmic tone curve",
       {{"exposure", Kind::Real, "1", 0, 1e6, "multiplier before the curve"}}},
      {"grade", "contrast, brightness, gamma and saturation",
       {{"brightness", Kind::Real, "0", -1, 1, "added on the 0..1 scale"},
        {"contrast", Kind::Real, "1.1", 0, 1e3, "factor around mid grey"},
        {"saturation", Kind::Real, "1.2", 0, 1e3, "factor (0 = grey, 1 = unchanged)"},
        {"gamma", Kind::Real, "1", 1e-3, 1e3, "exponent 1/gamma (>1 brightens)"}}},
      {"vignette", "darkens (or tints) toward the corners",
       {{"strength", Kind::Real, "0.6", 0, 1, "0..1 blend at the corners"},
        {"radius", Kind::Real, "0.5", 0, 10, "where it starts (1 = half diagonal)"},
        {"softness", Kind::Real, "0.5", 0, 10, "width of the fade (same scale)"},
        {"color", Kind::Colour, "000000", 0, 0, "RRGGBB vignette colour"}}},
      {"grain", "film grain noise",
       {{"amount", Kind::Real, "0.08", 0, 1, "0..1 of full scale, peak"},
        {"seed", Kind::Integer, "1", kIntMin, kIntMax, "random seed (0 = built-in)"}}},
      {"scanlines", "darkened rows like a CRT",
       {{"spacing", Kind::Integer, "3", 1, kIntMax, "rows from one line to the next"},
        {"intensity", Kind::Real, "0.35", 0, 1, "0..1 darkening of each line"}}},
      {"chromatic", "red and blue fringes shifted apart",
       {{"strength_x", Kind::Real, "3", -1e6, 1e6, "pixels"},
        {"strength_y", Kind::Real, "3", -1e6, 1e6, "pixels"},
        {"angle", Kind::Real, "0", -1e6, 1e6, "radians (0 = horizontal)"}}},
      {"glitch", "horizontal bands shifted sideways",
       {{"bands", Kind::Integer, "8", 1, kIntMax, "number of bands"},
        {"max_shift", Kind::Integer, "12", 1, 1073741823.0, "pixels, largest shift"},
        {"seed", Kind::Integer, "1", kIntMin, kIntMax, "random seed (0 = built-in)"}}},
  };
  return table;
}

const EffectSpec* find_effect(const std::string& name) {
  for (const EffectSpec& e : effect_table())
    if (name == e.name) return &e;
  return nullptr;
}

namespace {

std::string where(const EffectSpec& e, const ParamSpec& p) {
  return std::string(e.name) + " " + p.name;
}

std::string format_bound(double v) {
  std::ostringstream s;
  s.precision(10);
  s << v;
  return s.str();
}

uint32_t parse_colour(const EffectSpec& e, const ParamSpec& p, const std::string& text) {
  std::string hex = text;
  if (!hex.empty() && hex[0] == '#') hex.erase(0, 1);
  else if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.erase(0, 2);
  bool ok = hex.size() == 6 || hex.size() == 8;
  uint32_t v = 0;
  for (char c : hex) {
    int d = c >= '0' && c <= '9' ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) ok = false;
    v = (v << 4) | static_cast<uint32_t>(d & 15);
  }
  if (!ok) throw UsageError(where(e, p) + ": '" + text + "' is not a colour (use RRGGBB or AARRGGBB hex)");
  // Six digits mean an opaque colour.
  return hex.size() == 6 ? (0xFF000000u | v) : v;
}

double parse_number(const EffectSpec& e, const ParamSpec& p, const std::string& text) {
  const char* s = text.c_str();
  char* end = nullptr;
  errno = 0;
  double v;
  if (p.kind == Kind::Integer) {
    long long n = std::strtoll(s, &end, 10);
    v = static_cast<double>(n);
  } else {
    v = std::strtod(s, &end);
  }
  if (text.empty() || *end != '\0' || end == s || std::isspace(static_cast<unsigned char>(text[0])))
    throw UsageError(where(e, p) + ": '" + text + "' is not " +
                     (p.kind == Kind::Integer ? "an integer" : "a number"));
  if (errno == ERANGE || !std::isfinite(v) || v < p.min || v > p.max)
    throw UsageError(where(e, p) + ": " + text + " is out of range [" + format_bound(p.min) + ", " +
                     format_bound(p.max) + "]");
  return v;
}

void set_param(EffectCall& call, size_t i, const std::string& text) {
  const ParamSpec& p = call.def->params[i];
  if (p.kind == Kind::Colour) call.colours[i] = parse_colour(*call.def, p, text);
  else call.reals[i] = parse_number(*call.def, p, text);
}

}  // namespace

EffectCall default_call(const EffectSpec& def) {
  EffectCall call;
  call.def = &def;
  call.reals.assign(def.params.size(), 0.0);
  call.colours.assign(def.params.size(), 0u);
  for (size_t i = 0; i < def.params.size(); ++i) set_param(call, i, def.params[i].fallback);
  return call;
}

std::vector<EffectCall> parse_chain(const std::vector<std::string>& args, size_t first) {
  std::vector<EffectCall> chain;
  for (size_t a = first; a < args.size(); ++a) {
    const std::string& arg = args[a];
    size_t eq = arg.find('=');
    if (eq == std::string::npos) {
      const EffectSpec* def = find_effect(arg);
      if (!def) throw UsageError("unknown effect '" + arg + "' (see kvfx help)");
      chain.push_back(default_call(*def));
      continue;
    }
    if (chain.empty()) throw UsageError("parameter '" + arg + "' before any effect");
    EffectCall& call = chain.back();
    std::string name = arg.substr(0, eq);
    size_t i = 0;
    while (i < call.def->params.size() && name != call.def->params[i].name) ++i;
    if (i == call.def->params.size())
      throw UsageError(std::string(call.def->name) + ": unknown parameter '" + name + "' (see kvfx help " +
                       call.def->name + ")");
    set_param(call, i, arg.substr(eq + 1));
  }
  return chain;
}

namespace {

int32_t run(Image& image, const EffectCall& c) {
  const std::string name = c.def->name;
  uint32_t* px = image.px.data();
  const int32_t w = image.width, h = image.height, s = image.stride();
  const std::vector<double>& r = c.reals;
  auto i32 = [](double v) { return static_cast<int32_t>(v); };
  if (name == "blur") return kv_fx_gaussian_blur(px, w, h, s, r[0]);
  if (name == "bloom") return kv_fx_bloom(px, w, h, s, r[0], r[1], r[2], c.colours[3] & 0xFFFFFFu);
  if (name == "shadow") {
    // The library composites into a separate buffer of the same geometry.
    std::vector<uint32_t> dst(image.px.size());
    int32_t rc = kv_fx_drop_shadow(px, dst.data(), w, h, s, r[0], r[1], r[2], c.colours[3]);
    if (rc == FX_OK) image.px.swap(dst);
    return rc;
  }
  if (name == "tonemap") return kv_fx_tone_map_aces(px, w, h, s, r[0]);
  if (name == "grade") return kv_fx_color_grade(px, w, h, s, r[0], r[1], r[2], r[3]);
  if (name == "vignette") return kv_fx_vignette(px, w, h, s, r[0], r[1], r[2], c.colours[3] & 0xFFFFFFu);
  if (name == "grain") return kv_fx_film_grain(px, w, h, s, r[0], i32(r[1]));
  if (name == "scanlines") return kv_fx_scanlines(px, w, h, s, i32(r[0]), r[1]);
  if (name == "chromatic") return kv_fx_chromatic_aberration(px, w, h, s, r[0], r[1], r[2]);
  if (name == "glitch") return kv_fx_glitch_displacement(px, w, h, s, i32(r[0]), i32(r[1]), i32(r[2]));
  return FX_ERR_INVALID_ARGUMENT;
}

}  // namespace

void apply_chain(Image& image, const std::vector<EffectCall>& chain) {
  for (const EffectCall& call : chain) {
    int32_t rc = run(image, call);
    if (rc == FX_ERR_OUT_OF_MEMORY) throw Failure(std::string(call.def->name) + ": out of memory");
    if (rc != FX_OK)
      throw Failure(std::string(call.def->name) + ": rejected by the library (code " + std::to_string(rc) + ")");
  }
}

std::string help_text() {
  std::ostringstream s;
  s << "usage: kvfx IN OUT EFFECT [name=value ...] [EFFECT [name=value ...] ...]\n"
       "       kvfx --out-dir DIR FILE... -- EFFECT [name=value ...] ...\n"
       "       kvfx demo OUTDIR\n"
       "       kvfx help [EFFECT]\n"
       "IN and OUT are PNG or JPEG files (by content when reading, by extension\n"
       "when writing); '-' is stdin or stdout (PNG). Effects run left to right.\n"
       "\neffects:\n";
  for (const EffectSpec& e : effect_table()) {
    std::string name = e.name;
    s << "  " << name << std::string(name.size() < 11 ? 11 - name.size() : 1, ' ') << e.summary << "\n";
  }
  s << "\nkvfx help EFFECT lists its parameters and defaults.\n";
  return s.str();
}

std::string effect_help_text(const EffectSpec& e) {
  std::ostringstream s;
  s << e.name << ": " << e.summary << "\n";
  for (const ParamSpec& p : e.params) {
    std::string left = std::string(p.name) + "=" + p.fallback;
    s << "  " << left << std::string(left.size() < 22 ? 22 - left.size() : 1, ' ') << p.unit;
    if (p.kind != Kind::Colour) s << " [" << format_bound(p.min) << ", " << format_bound(p.max) << "]";
    s << "\n";
  }
  return s.str();
}

}  // namespace kvfx_tool
