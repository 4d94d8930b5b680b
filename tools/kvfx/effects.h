// The effects by name, their parameters, and how a command line becomes calls.
#ifndef KVFX_TOOL_EFFECTS_H
#define KVFX_TOOL_EFFECTS_H

#include <string>
#include <vector>

#include "image_io.h"

namespace kvfx_tool {

enum class Kind { Real, Integer, Colour };

struct ParamSpec {
  const char* name;
  Kind kind;
  const char* fallback;  // default, in the same syntax the user types
  double min;            // inclusive bounds for Real and Integer
  double max;
  const char* unit;
};

struct EffectSpec {
  const char* name;
  const char* summary;
  std::vector<ParamSpec> params;
};

const std::vector<EffectSpec>& effect_table();
const EffectSpec* find_effect(const std::string& name);

// One effect with every parameter parsed (defaults filled in).
struct EffectCall {
  const EffectSpec* def = nullptr;
  std::vector<double> reals;      // Real and Integer parameters
  std::vector<uint32_t> colours;  // per parameter; unused for numbers
};

// Usage errors (unknown name, malformed number, value out of range) throw
// UsageError; they are found before any file is read.
struct UsageError : Failure {
  using Failure::Failure;
};

// Parses "EFFECT [name=value ...] EFFECT ..." starting at args[first].
std::vector<EffectCall> parse_chain(const std::vector<std::string>& args, size_t first);

// Calls with every default.
EffectCall default_call(const EffectSpec& def);

// Applies the chain left to right; throws Failure if the library refuses.
void apply_chain(Image& image, const std::vector<EffectCall>& chain);

std::string help_text();
std::string effect_help_text(const EffectSpec& def);

}  // namespace kvfx_tool

#endif
