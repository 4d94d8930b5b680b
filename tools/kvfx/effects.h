// How a command line becomes effect calls: names, parameters and values as
// the effect catalogue defines them.
#ifndef KVFX_TOOL_EFFECTS_H
#define KVFX_TOOL_EFFECTS_H

#include <string>
#include <vector>

#include "effect_catalogue.h"
#include "image_io.h"

namespace kvfx_tool {

using kvfx_catalogue::Effect;

// One effect with every argument parsed (defaults filled in), in call order.
struct EffectCall {
  const Effect* def = nullptr;
  std::vector<double> args;
};

// Usage errors (unknown name, malformed number, value out of range, a
// parameter given twice) throw UsageError; they are found before any file is
// read.
struct UsageError : Failure {
  using Failure::Failure;
};

// Parses "EFFECT [name=value ...] EFFECT ..." starting at args[first].
std::vector<EffectCall> parse_chain(const std::vector<std::string>& args, size_t first);

// A call with every default.
EffectCall default_call(const Effect& def);

// The call as kvfx words, every parameter by its name: "grade brightness=0 ...".
std::string call_words(const EffectCall& call);

// Applies the chain left to right; throws Failure if the library refuses.
// Each call through the effect's parallel export with `threads` (0: as many
// as the process may use); the words come out the same for every count.
void apply_chain(Image& image, const std::vector<EffectCall>& chain, int32_t threads);

std::string help_text();
std::string effect_help_text(const Effect& def);

}  // namespace kvfx_tool

#endif
