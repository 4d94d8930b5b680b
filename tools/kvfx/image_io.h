// Image files in and out of the word format the library works on.
//
// Files come from anywhere, so reading is bounded before it starts: the
// header's size is checked against a pixel limit before any pixel memory is
// asked for, the bytes are streamed through a cap rather than read whole, and
// the decoders' own limits are set. Pixel memory is never cleared up front,
// so a header that lies about its size costs only the rows actually decoded.
#ifndef KVFX_TOOL_IMAGE_IO_H
#define KVFX_TOOL_IMAGE_IO_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "straight_alpha.h"

namespace kvfx_tool {

using kvfx_catalogue::Held;

// std::allocator without the value-initialisation of vector(n): fresh pages
// stay untouched (and unpaid for) until a decoder writes them.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
};

using Words = std::vector<uint32_t, UninitialisedAllocator<uint32_t>>;

// Tight rows: stride is always width * 4 bytes. `held` says whether the words
// carry straight colour (as decoded from a file) or premultiplied colour.
struct Image {
  int32_t width = 0;
  int32_t height = 0;
  Words px;
  Held held = Held::kStraight;

  Image() = default;
  // The words are left uninitialised; every one must be written.
  Image(int32_t w, int32_t h) : width(w), height(h), px(pixel_count(w, h)) {}
  Image(int32_t w, int32_t h, uint32_t fill) : width(w), height(h), px(pixel_count(w, h), fill) {}
  int32_t stride() const { return width * 4; }
  uint32_t& at(int32_t x, int32_t y) { return px[static_cast<size_t>(y) * width + x]; }
  uint32_t at(int32_t x, int32_t y) const { return px[static_cast<size_t>(y) * width + x]; }

 private:
  static size_t pixel_count(int32_t w, int32_t h) {
    return static_cast<size_t>(w) * static_cast<size_t>(h);
  }
};

// Converts the words to `wanted` in place (nothing when they hold it).
void convert_image(Image& image, Held wanted);

// Any failure the user should hear about, as one line.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// 16384 x 8192 passes, 16384 x 16384 does not; --max-pixels changes it.
constexpr uint64_t kDefaultMaxPixels = uint64_t{128} << 20;
// No side may exceed this whatever the pixel limit (libpng's own default), so
// a row always fits the library's 32-bit stride.
constexpr uint32_t kMaxSide = 1000000;
// The largest pixel limit the command line takes.
constexpr uint64_t kMaxPixelLimit = uint64_t{1} << 40;

struct Limits {
  uint64_t max_pixels = kDefaultMaxPixels;
};

// Throws Failure when an image of this size is not to be decoded.
void check_dimensions(uint64_t width, uint64_t height, const Limits& limits);

enum class Format { Png, Jpeg };

// How outputs are written: only JPEG has a setting.
constexpr int kDefaultJpegQuality = 92;
struct WriteOptions {
  int jpeg_quality = kDefaultJpegQuality;  // 1 to 100
};

// Decodes PNG or JPEG by content, not by name. Throws Failure.
Image decode_image(const uint8_t* data, size_t size, const Limits& limits);
// Streams a file ("-" is stdin) through the decoder. Throws Failure naming it.
Image load_image(const std::string& path, const Limits& limits);

// Picks the format from the extension (.png, .jpg, .jpeg); throws Failure
// for anything else.
Format format_for_path(const std::string& path);

// Straight-alpha file bytes of the image. Throws Failure.
std::vector<uint8_t> encode_image(const Image& image, Format format, const WriteOptions& options = {});

// Refuses, before any work, an output that cannot or must not be replaced:
// a missing directory, a directory, a device, a dangling symbolic link. "-"
// is refused when stdout is a terminal.
void check_output(const std::string& path);

// Writes to a temporary name beside the file and renames it into place, so a
// failure or an interrupting signal never leaves a partial or clobbered file.
// A replaced file keeps its permission bits (and owner, where allowed); a
// symbolic link is kept and its target replaced. "-" writes PNG to stdout.
void save_image(const Image& image, const std::string& path, const WriteOptions& options = {});

// The versions of the codecs this kvfx was built with, for --version.
std::string codec_versions();

// SIGINT, SIGTERM, SIGHUP and SIGQUIT remove the temporary file of a write
// in progress before the process dies of the signal; a file-size limit makes
// the write fail (and be reported) instead of killing the process.
void install_signal_cleanup();

}  // namespace kvfx_tool

#endif
