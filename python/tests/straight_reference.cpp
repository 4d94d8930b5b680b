// The catalogue's own straight-alpha conversions, exported so the Python
// tests can hold the package's table-driven ones against them.
#include <cstddef>
#include <cstdint>

#include "straight_alpha.h"

extern "C" __attribute__((visibility("default"))) void kvfx_test_convert_words(
    uint32_t* words, size_t n, int to_premultiplied) {
  using kvfx_catalogue::Held;
  kvfx_catalogue::convert_words(words, n, to_premultiplied ? Held::kStraight : Held::kPremultiplied,
                                to_premultiplied ? Held::kPremultiplied : Held::kStraight);
}
