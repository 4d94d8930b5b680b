#include "effects.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "kelvo_fx.h"

namespace kvfx_tool {

using kvfx_catalogue::Kind;
using kvfx_catalogue::Param;

namespace {

std::string where(const Effect& e, const Param& p) { return std::string(e.name) + " " + p.name; }

std::string format_bound(double v) {
  std::ostringstream s;
  s.precision(10);
  s << v;
  return s.str();
}

bool is_colour(Kind k) { return k == Kind::kColour || k == Kind::kColourAlpha; }

// Every host reads colour text by this rule (README, "Colours").
constexpr const char* kColourRule =
    "colours are hex: RRGGBB is opaque, AARRGGBB carries its alpha ('#' or '0x'\n"
    "before the digits is fine); see Colours in the README\n";

// The default as the user would type it.
std::string format_value(const Param& p, double v) {
  if (!is_colour(p.kind)) return format_bound(v);
  char buf[16];
  const auto c = static_cast<unsigned long>(v);
  if (p.kind == Kind::kColour) std::snprintf(buf, sizeof buf, "%06lx", c & 0xFFFFFFul);
  else std::snprintf(buf, sizeof buf, "%08lx", c);
  return buf;
}

double parse_colour(const Effect& e, const Param& p, const std::string& text) {
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

double parse_number(const Effect& e, const Param& p, const std::string& text) {
  const char* s = text.c_str();
  char* end = nullptr;
  errno = 0;
  double v;
  if (p.kind == Kind::kInteger) {
    long long n = std::strtoll(s, &end, 10);
    v = static_cast<double>(n);
  } else {
    v = std::strtod(s, &end);
  }
  if (text.empty() || *end != '\0' || end == s || std::isspace(static_cast<unsigned char>(text[0])))
    throw UsageError(where(e, p) + ": '" + text + "' is not " +
                     (p.kind == Kind::kInteger ? "an integer" : "a number"));
  if (errno == ERANGE || !std::isfinite(v) || v < p.min || v > p.max)
    throw UsageError(where(e, p) + ": " + text + " is out of range [" + format_bound(p.min) + ", " +
                     format_bound(p.max) + "]");
  return v;
}

double parse_value(const Effect& e, const Param& p, const std::string& text) {
  return is_colour(p.kind) ? parse_colour(e, p, text) : parse_number(e, p, text);
}

}  // namespace

EffectCall default_call(const Effect& def) {
  return EffectCall{&def, kvfx_catalogue::default_args(def)};
}

std::vector<EffectCall> parse_chain(const std::vector<std::string>& args, size_t first) {
  std::vector<EffectCall> chain;
  // The spelling that set each parameter of the last effect, so a second
  // value is refused rather than silently replacing the first.
  std::vector<std::string> given;
  for (size_t a = first; a < args.size(); ++a) {
    const std::string& arg = args[a];
    size_t eq = arg.find('=');
    if (eq == std::string::npos) {
      const Effect* def = kvfx_catalogue::find_effect(arg);
      if (!def || arg != def->name) throw UsageError("unknown effect '" + arg + "' (see kvfx help)");
      chain.push_back(default_call(*def));
      given.assign(def->params.size(), std::string());
      continue;
    }
    if (chain.empty()) throw UsageError("parameter '" + arg + "' before any effect");
    EffectCall& call = chain.back();
    const std::string name = arg.substr(0, eq);
    const int i = kvfx_catalogue::find_param(*call.def, name);
    if (i < 0)
      throw UsageError(std::string(call.def->name) + ": unknown parameter '" + name + "' (see kvfx help " +
                       call.def->name + ")");
    const Param& p = call.def->params[i];
    if (!given[i].empty())
      throw UsageError(std::string(call.def->name) + ": " + p.name + " given twice" +
                       (given[i] == name ? std::string()
                                         : ", as " + given[i] + "= and as " + name + "="));
    given[i] = name;
    call.args[i] = parse_value(*call.def, p, arg.substr(eq + 1));
  }
  return chain;
}

std::string call_words(const EffectCall& call) {
  std::string words = call.def->name;
  for (size_t i = 0; i < call.def->params.size(); ++i) {
    const Param& p = call.def->params[i];
    words += std::string(" ") + p.name + "=" + format_value(p, call.args[i]);
  }
  return words;
}

void apply_chain(Image& image, const std::vector<EffectCall>& chain, int32_t threads) {
  for (const EffectCall& call : chain) {
    const Effect& e = *call.def;
    // Each effect gets the words its catalogue entry asks for; the words are
    // converted only where the chain changes kind.
    convert_image(image, kvfx_catalogue::wanted_by(e));
    int32_t rc;
    if (e.two_buffers) {
      // A separate destination lets the library stream the result row by
      // row; every word of it is written.
      Words dst(image.px.size());
      rc = e.parallel_call(dst.data(), image.width, image.height, image.stride(),
                           call.args.data(), image.px.data(), threads);
      if (rc == FX_OK) image.px.swap(dst);
    } else {
      rc = e.parallel_call(image.px.data(), image.width, image.height, image.stride(),
                           call.args.data(), nullptr, threads);
    }
    if (rc == FX_ERR_OUT_OF_MEMORY) throw Failure(std::string(e.name) + ": out of memory");
    if (rc != FX_OK)
      throw Failure(std::string(e.name) + ": rejected by the library (code " + std::to_string(rc) + ")");
  }
}

std::string help_text() {
  std::ostringstream s;
  s << "usage: kvfx [OPTIONS] IN OUT CHAIN\n"
       "       kvfx [OPTIONS] --out-dir DIR FILE... -- CHAIN\n"
       "       kvfx [--threads N] demo OUTDIR\n"
       "       kvfx help [EFFECT]\n"
       "       kvfx --version\n"
       "CHAIN is EFFECT [name=value ...] [EFFECT [name=value ...] ...]; each\n"
       "parameter at most once per effect, by its name or its other name.\n"
       "IN and OUT are PNG or JPEG files (by content when reading, by extension\n"
       "when writing: .png, .jpg, .jpeg); '-' is stdin or stdout (PNG; never a\n"
       "terminal). Effects run left to right. A replaced OUT keeps its permissions;\n"
       "a symbolic link keeps pointing at the file it names, which is replaced.\n"
       "\n"
       "OPTIONS:\n"
       "--max-pixels N  refuse images of more than N pixels (default "
    << kDefaultMaxPixels << ",\n"
       "                16384 x 8192), checked from the header before decoding\n"
       "--threads N     threads per effect (default 0: as many as this process may\n"
       "                use; 1: one); the output is the same for every N\n"
       "--quality N     JPEG quality of .jpg and .jpeg outputs, 1 to 100 (default "
    << kDefaultJpegQuality << ");\n"
       "                PNG outputs are lossless and do not use it\n"
       "\n"
    << kColourRule << "\n"
       "Image files hold straight (not premultiplied) alpha. The colour effects\n"
       "(";
  bool first = true;
  for (const Effect& e : kvfx_catalogue::effects())
    if (e.input == kvfx_catalogue::Input::kStraightColour) {
      s << (first ? "" : ", ") << e.name;
      first = false;
    }
  s << ") change the colour you see and\n"
       "keep soft edges: they get the straight colour, alpha untouched. The others\n"
       "mix neighbouring pixels and get premultiplied colour. A chain converts\n"
       "only where it changes from one kind to the other.\n"
       "\nexit status: 0 done, 1 a file could not be read, decoded, processed or\n"
       "written, 2 a malformed command line.\n"
       "\neffects:\n";
  for (const Effect& e : kvfx_catalogue::effects()) {
    std::string name = e.name;
    s << "  " << name << std::string(name.size() < 11 ? 11 - name.size() : 1, ' ') << e.summary << "\n";
  }
  s << "\nkvfx help EFFECT lists its parameters and defaults.\n";
  return s.str();
}

std::string effect_help_text(const Effect& e) {
  std::ostringstream s;
  s << e.name << ": " << e.summary << "\n";
  bool colours = false;
  for (const Param& p : e.params) {
    std::string left = std::string(p.name) + "=" + format_value(p, p.fallback);
    s << "  " << left << std::string(left.size() < 22 ? 22 - left.size() : 1, ' ') << p.unit;
    if (!is_colour(p.kind)) s << " [" << format_bound(p.min) << ", " << format_bound(p.max) << "]";
    if (p.alias) s << " (also " << p.alias << "=)";
    s << "\n";
    colours = colours || is_colour(p.kind);
  }
  if (colours) s << kColourRule;
  return s.str();
}

}  // namespace kvfx_tool
