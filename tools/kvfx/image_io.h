// Image files in and out of the premultiplied word format the library works on.
#ifndef KVFX_TOOL_IMAGE_IO_H
#define KVFX_TOOL_IMAGE_IO_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvfx_tool {

// Tight rows: stride is always width * 4 bytes.
struct Image {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> px;  // premultiplied ARGB words

  Image() = default;
  Image(int32_t w, int32_t h, uint32_t fill = 0)
      : width(w), height(h), px(static_cast<size_t>(w) * static_cast<size_t>(h), fill) {}
  int32_t stride() const { return width * 4; }
  uint32_t& at(int32_t x, int32_t y) { return px[static_cast<size_t>(y) * width + x]; }
};

// Any failure the user should hear about, as one line.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Larger images are refused before any pixel memory is allocated, so a forged
// header cannot make the tool ask for gigabytes.
constexpr uint32_t kMaxSide = 32768;
constexpr uint64_t kMaxPixels = uint64_t{1} << 28;
void check_dimensions(uint64_t width, uint64_t height);

uint32_t premultiply(uint8_t r, uint8_t g, uint8_t b, uint8_t a);
// Writes straight r, g, b, a.
void unpremultiply(uint32_t word, uint8_t out[4]);

enum class Format { Png, Jpeg };

// Reads a whole file ("-" is stdin). Throws Failure.
std::vector<uint8_t> read_all(const std::string& path);
// Decodes PNG or JPEG by content, not by name. Throws Failure.
Image decode_image(const std::vector<uint8_t>& bytes);
Image load_image(const std::string& path);

// Picks the format from the extension (.png, .jpg, .jpeg); throws Failure
// for anything else.
Format format_for_path(const std::string& path);

// Writes to a temporary name beside `path` and renames it into place, so a
// failure never leaves a partial or clobbered file. "-" writes PNG to stdout.
void save_image(const Image& image, const std::string& path);

}  // namespace kvfx_tool

#endif
