// Every catalogued effect behind one call shape, at a few settings from its
// catalogue entry: the defaults, every parameter at the low end of its
// slider range, and every one at the high end. Drop shadow runs in place
// here (dst == src is allowed); tests that need the two apart call it
// themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "effect_catalogue.h"
#include "kelvo_fx.h"

namespace kvfx_test {

using EffectCall = std::function<int32_t(uint32_t* pixels, int32_t width,
                                         int32_t height, int32_t stride)>;

struct EffectCase {
  std::string name;
  const kvfx_catalogue::Effect* effect;
  std::vector<double> args;
  EffectCall call;
};

inline std::vector<EffectCase> all_effects() {
  std::vector<EffectCase> cases;
  for (const auto& e : kvfx_catalogue::effects()) {
    for (int setting = 0; setting < 3; ++setting) {
      std::vector<double> args = kvfx_catalogue::default_args(e);
      if (setting > 0)
        for (size_t i = 0; i < args.size(); ++i)
          args[i] = setting == 1 ? e.params[i].soft_min : e.params[i].soft_max;
      const char* label[] = {"defaults", "low", "high"};
      const kvfx_catalogue::Effect* fx = &e;
      cases.push_back({std::string(e.name) + " " + label[setting], fx, args,
                       [fx, args](uint32_t* p, int32_t w, int32_t h, int32_t s) {
                         return fx->call(p, w, h, s, args.data(), nullptr);
                       }});
    }
  }
  return cases;
}

}  // namespace kvfx_test
