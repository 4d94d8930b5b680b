// Writes the effect catalogue as JSON for the bindings that cannot read C++:
//   emit_catalogue OUT.json
#include <cstdio>
#include <string>

#include "effect_catalogue.h"
#include "kelvo_fx.h"

using namespace kvfx_catalogue;

namespace {

std::string quoted(const char* s) {
  if (!s) return "null";
  std::string out = "\"";
  for (const char* p = s; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') out += '\\';
    if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::kReal: return "real";
    case Kind::kInteger: return "integer";
    case Kind::kColour: return "colour";
    case Kind::kColourAlpha: return "colour_alpha";
  }
  return "";
}

const char* answer_name(kvfx::Answer a) {
  switch (a) {
    case kvfx::Answer::kWork: return "work";
    case kvfx::Answer::kNothing: return "nothing";
    case kvfx::Answer::kRefuse: return "refuse";
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: emit_catalogue OUT.json\n");
    return 2;
  }
  std::string j = "{\n  \"version\": \"" KV_FX_VERSION "\",\n  \"effects\": [\n";
  const auto& all = effects();
  for (size_t e = 0; e < all.size(); ++e) {
    const Effect& fx = all[e];
    j += "    {\"name\": " + quoted(fx.name) + ", \"function\": " + quoted(fx.function) +
         ", \"parallel_function\": " + quoted(fx.parallel_function) + ", \"summary\": " + quoted(fx.summary) + ",\n     \"input\": " +
         (fx.input == Input::kStraightColour ? "\"straight_colour\"" : "\"premultiplied\"") +
         ", \"two_buffers\": " + (fx.two_buffers ? "true" : "false") +
         ", \"visit\": " + (fx.visit == Visit::kWholeRun ? "\"whole_run\"" : "\"rows\"") +
         ",\n     \"entry\": {\"bad_buffer\": \"" + answer_name(fx.entry->bad_buffer) +
         "\", \"negative_rows\": \"" + answer_name(fx.entry->negative_rows) +
         "\", \"overlapping_rows\": \"" + answer_name(fx.entry->overlapping_rows) +
         "\"},\n     \"params\": [\n";
    for (size_t i = 0; i < fx.params.size(); ++i) {
      const Param& p = fx.params[i];
      j += "       {\"name\": " + quoted(p.name) + ", \"alias\": " + quoted(p.alias) +
           ", \"kind\": \"" + kind_name(p.kind) + "\", \"default\": " + number(p.fallback) +
           ", \"min\": " + number(p.min) + ", \"max\": " + number(p.max) +
           ", \"soft_min\": " + number(p.soft_min) + ", \"soft_max\": " + number(p.soft_max) +
           ", \"unit\": " + quoted(p.unit) + "}" + (i + 1 < fx.params.size() ? ",\n" : "\n");
    }
    j += std::string("     ]}") + (e + 1 < all.size() ? ",\n" : "\n");
  }
  j += "  ]\n}\n";
  FILE* f = std::fopen(argv[1], "wb");
  if (!f || std::fwrite(j.data(), 1, j.size(), f) != j.size() || std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
