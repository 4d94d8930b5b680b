// What the WebAssembly module exports to kelvo_fx.mjs besides the kv_fx_
// functions of both headers: the catalogue's generic invokers (so the page converts
// arguments exactly as kvfx does), the straight-alpha conversions of
// catalogue/straight_alpha.cpp, the byte order of canvas pixels, and kvfx's
// demo scene (tools/kvfx/demo.cpp).
#include <cstdint>
#include <cstring>

#include <emscripten/emscripten.h>

#include "../../tools/kvfx/demo.h"
#include "effect_catalogue.h"
#include "kelvo_fx.h"
#include "straight_alpha.h"

using kvfx_catalogue::effects;

extern "C" {

EMSCRIPTEN_KEEPALIVE const char* kvw_version() { return KV_FX_VERSION; }

EMSCRIPTEN_KEEPALIVE int32_t kvw_effect_count() { return static_cast<int32_t>(effects().size()); }

// The module's own table order; kelvo_fx.mjs checks it against
// catalogue.json, so a stale page cannot call the wrong effect.
EMSCRIPTEN_KEEPALIVE const char* kvw_effect_name(int32_t index) {
  if (index < 0 || index >= kvw_effect_count()) return nullptr;
  return effects()[static_cast<size_t>(index)].name;
}

// args holds one double per parameter in call order. source is the drop
// shadow's src (0: in place) and ignored by the others. An index outside the
// table is refused like a bad argument, touching nothing.
EMSCRIPTEN_KEEPALIVE int32_t kvw_call(int32_t index, uint32_t* pixels, int32_t width,
                                      int32_t height, int32_t stride, const double* args,
                                      const uint32_t* source) {
  if (index < 0 || index >= kvw_effect_count()) return FX_ERR_INVALID_ARGUMENT;
  return effects()[static_cast<size_t>(index)].call(pixels, width, height, stride, args, source);
}

// The same through the effect's parallel export. In the threaded build the
// threads come from the module's pool; elsewhere the call stays on the
// calling thread.
EMSCRIPTEN_KEEPALIVE int32_t kvw_call_parallel(int32_t index, uint32_t* pixels, int32_t width,
                                               int32_t height, int32_t stride, const double* args,
                                               const uint32_t* source, int32_t threads) {
  if (index < 0 || index >= kvw_effect_count()) return FX_ERR_INVALID_ARGUMENT;
  return effects()[static_cast<size_t>(index)].parallel_call(pixels, width, height, stride, args,
                                                             source, threads);
}

// held, wanted: 0 straight, 1 premultiplied.
EMSCRIPTEN_KEEPALIVE void kvw_convert(uint32_t* words, uint32_t count, int32_t held,
                                      int32_t wanted) {
  using kvfx_catalogue::Held;
  auto kind = [](int32_t k) { return k ? Held::kPremultiplied : Held::kStraight; };
  kvfx_catalogue::convert_words(words, count, kind(held), kind(wanted));
}

// Canvas bytes R, G, B, A to 0xAARRGGBB words, in place. Bytes are read one
// by one, so the result does not depend on the memory's byte order.
EMSCRIPTEN_KEEPALIVE void kvw_rgba_to_words(uint32_t* words, uint32_t count) {
  auto* bytes = reinterpret_cast<uint8_t*>(words);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = bytes + 4 * static_cast<size_t>(i);
    const uint32_t w = uint32_t{p[3]} << 24 | uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    std::memcpy(bytes + 4 * static_cast<size_t>(i), &w, 4);
  }
}

EMSCRIPTEN_KEEPALIVE void kvw_words_to_rgba(uint32_t* words, uint32_t count) {
  auto* bytes = reinterpret_cast<uint8_t*>(words);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t w;
    std::memcpy(&w, bytes + 4 * static_cast<size_t>(i), 4);
    uint8_t* p = bytes + 4 * static_cast<size_t>(i);
    p[0] = static_cast<uint8_t>(w >> 16);
    p[1] = static_cast<uint8_t>(w >> 8);
    p[2] = static_cast<uint8_t>(w);
    p[3] = static_cast<uint8_t>(w >> 24);
  }
}

// kvfx's demo scene as premultiplied words, drawn once.
static const kvfx_tool::Image& demo() {
  static const kvfx_tool::Image scene = kvfx_tool::demo_scene();
  return scene;
}
EMSCRIPTEN_KEEPALIVE int32_t kvw_demo_width() { return demo().width; }
EMSCRIPTEN_KEEPALIVE int32_t kvw_demo_height() { return demo().height; }
EMSCRIPTEN_KEEPALIVE const uint32_t* kvw_demo_words() { return demo().px.data(); }

}  // extern "C"
