// libFuzzer target for what kvfx does to a file, in memory: PNG or JPEG
// bytes are decoded under a small pixel limit, run through a two-effect
// chain chosen by the input's last byte (decoders never read that far in a
// well-formed file), and encoded as PNG and as JPEG. It aborts when:
//   - a decoded image breaks the limit or its own geometry;
//   - the chain is refused by the library;
//   - kvfx cannot read back what it wrote, or its PNG does not give back
//     exactly the straight words it was made from.
// Crashes, leaks and undefined behaviour are the sanitizers' to report;
// -malloc_limit_mb catches an allocation that the limits should have stopped.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "effect_catalogue.h"
#include "effects.h"
#include "image_io.h"

using namespace kvfx_tool;

namespace {

// Small enough for hundreds of runs a second; larger headers still exercise
// the limit.
constexpr uint64_t kFuzzMaxPixels = uint64_t{1} << 14;

[[noreturn]] void fail(const char* what, const Image& image) {
  std::fprintf(stderr, "kvfx_fuzz: %s (%d x %d)\n", what, image.width, image.height);
  std::abort();
}

Image straight_copy(const Image& image) {
  Image copy = image;
  convert_image(copy, Held::kStraight);
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Limits limits;
  limits.max_pixels = kFuzzMaxPixels;
  Image image;
  try {
    image = decode_image(data, size, limits);
  } catch (const Failure&) {
    return 0;  // refused: the normal answer to most inputs
  }
  const uint64_t pixels = uint64_t(image.width) * uint64_t(image.height);
  if (image.width <= 0 || image.height <= 0 || pixels > kFuzzMaxPixels || image.px.size() != pixels ||
      image.held != Held::kStraight)
    fail("decoded image breaks the limit or its geometry", image);

  const auto& effects = kvfx_catalogue::effects();
  const uint8_t pick = data[size - 1];
  std::vector<EffectCall> chain = {default_call(effects[pick % effects.size()]),
                                   default_call(effects[(pick / effects.size()) % effects.size()])};
  try {
    apply_chain(image, chain, 1);
  } catch (const Failure& e) {
    std::fprintf(stderr, "kvfx_fuzz: %s\n", e.what());
    fail("the library refused the chain", image);
  }

  const Image expected = straight_copy(image);
  try {
    const std::vector<uint8_t> png = encode_image(image, Format::Png);
    const Image back = decode_image(png.data(), png.size(), limits);
    if (back.width != image.width || back.height != image.height || back.px != expected.px)
      fail("kvfx's PNG does not read back as the words it was written from", image);
    const std::vector<uint8_t> jpeg = encode_image(image, Format::Jpeg);
    const Image jback = decode_image(jpeg.data(), jpeg.size(), limits);
    if (jback.width != image.width || jback.height != image.height)
      fail("kvfx's JPEG reads back at another size", image);
  } catch (const Failure& e) {
    std::fprintf(stderr, "kvfx_fuzz: %s\n", e.what());
    fail("kvfx cannot read back what it wrote", image);
  }
  return 0;
}
