#include "straight_alpha.h"

namespace kvfx_catalogue {

uint32_t premultiply_word(uint32_t w) {
  const uint32_t a = w >> 24;
  auto mul = [a](uint32_t c) { return (c * a + 127) / 255; };
  return (a << 24) | mul((w >> 16) & 0xFF) << 16 | mul((w >> 8) & 0xFF) << 8 | mul(w & 0xFF);
}

uint32_t unpremultiply_word(uint32_t w) {
  const uint32_t a = w >> 24;
  if (a == 0) return 0;
  auto div = [a](uint32_t c) {
    const uint32_t v = (c * 255 + a / 2) / a;
    return v > 255 ? 255u : v;
  };
  return (a << 24) | div((w >> 16) & 0xFF) << 16 | div((w >> 8) & 0xFF) << 8 | div(w & 0xFF);
}

void convert_words(uint32_t* words, size_t n, Held held, Held wanted) {
  if (held == wanted) return;
  if (wanted == Held::kPremultiplied)
    for (size_t i = 0; i < n; ++i) words[i] = premultiply_word(words[i]);
  else
    for (size_t i = 0; i < n; ++i) words[i] = unpremultiply_word(words[i]);
}

}  // namespace kvfx_catalogue
