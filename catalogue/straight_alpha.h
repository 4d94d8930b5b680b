// How a host whose image file or frame has straight alpha (PNG, JPEG, canvas
// ImageData, GStreamer BGRA) feeds the library, the same way everywhere:
// kvfx, the Python, GStreamer and web bindings all go through these.
//
// Words are always 0xAARRGGBB by bit position. A "straight" word holds the
// colour as seen; a premultiplied word the colour times alpha / 255. Each
// effect of a chain is fed what its catalogue entry asks for (Input), and the
// words are converted only where a chain changes kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "effect_catalogue.h"

namespace kvfx_catalogue {

// Straight to premultiplied: c' = (c * a + 127) / 255, alpha kept.
uint32_t premultiply_word(uint32_t straight);
// Premultiplied to straight: c = min(255, (c' * 255 + a / 2) / a); alpha 0
// gives colour 0.
uint32_t unpremultiply_word(uint32_t premultiplied);

// The kind of words an image holds.
enum class Held { kStraight, kPremultiplied };

// Converts words[0 .. n - 1] from what they hold to `wanted` (nothing when
// they already hold it).
void convert_words(uint32_t* words, size_t n, Held held, Held wanted);

// What an effect wants fed.
inline Held wanted_by(const Effect& e) {
  return e.input == Input::kStraightColour ? Held::kStraight : Held::kPremultiplied;
}

}  // namespace kvfx_catalogue
