// Every effect behind one call shape, with ordinary working settings and the
// result it gives each class of argument it refuses.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "kelvo_fx.h"

namespace kvfx_test {

// The call is legal there and walks memory, so no "touches nothing" check.
constexpr int32_t kWalks = 1000;

using EffectCall = std::function<int32_t(uint32_t* pixels, int32_t width,
                                         int32_t height, int32_t stride)>;

struct EffectCase {
  const char* name;
  EffectCall call;
  int32_t bad_argument;     // NULL pixels, width <= 0 or height <= 0
  int32_t negative_stride;  // stride of -4 or less
  int32_t overlapping;      // 0 < row_pixels < width
  int32_t empty_rows;       // row_pixels 0 (stride -3 .. 3)
};

constexpr int32_t kOk = FX_OK;
constexpr int32_t kBad = FX_ERR_INVALID_ARGUMENT;

// Drop shadow runs in place here (dst == src is allowed); tests that need
// the two apart call it themselves.
inline std::vector<EffectCase> all_effects() {
  return {
      {"gaussian_blur",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_gaussian_blur(p, w, h, s, 2.5);
       },
       kOk, kOk, kOk, kOk},
      {"bloom_full_size",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_bloom(p, w, h, s, 0.3, 0.8, 2.0, 0x00FFC080u);
       },
       kBad, kBad, kOk, kOk},
      {"bloom_half_size",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_bloom(p, w, h, s, 0.2, 1.5, 7.0, 0xFF80FFFFu);
       },
       kBad, kBad, kOk, kOk},
      {"drop_shadow",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_drop_shadow(p, p, w, h, s, 3.0, -2.0, 2.0, 0x80102030u);
       },
       kBad, kBad, kBad, kBad},
      {"tone_map_aces",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_tone_map_aces(p, w, h, s, 1.7);
       },
       kBad, kBad, kWalks, kOk},
      {"color_grade",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_color_grade(p, w, h, s, 0.05, 1.2, 0.7, 1.4);
       },
       kBad, kBad, kWalks, kOk},
      {"vignette",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_vignette(p, w, h, s, 0.8, 0.3, 0.5, 0x00100820u);
       },
       kBad, kWalks, kWalks, kWalks},
      {"film_grain",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_film_grain(p, w, h, s, 0.1, 42);
       },
       kBad, kBad, kWalks, kOk},
      {"scanlines",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_scanlines(p, w, h, s, 3, 0.4);
       },
       kOk, kWalks, kWalks, kWalks},
      {"chromatic_aberration",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_chromatic_aberration(p, w, h, s, 3.0, 2.0, 0.6);
       },
       kBad, kBad, kBad, kBad},
      {"glitch_displacement",
       [](uint32_t* p, int32_t w, int32_t h, int32_t s) {
         return kv_fx_glitch_displacement(p, w, h, s, 6, 9, 7);
       },
       kOk, kOk, kOk, kOk},
  };
}

}  // namespace kvfx_test
