#include "image_io.h"

#include <png.h>
#ifdef KVFX_HAVE_JPEG
#include <jpeglib.h>
#include <csetjmp>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvfx_tool {

void check_dimensions(uint64_t width, uint64_t height) {
  if (width == 0 || height == 0) throw Failure("image has no pixels");
  if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
    throw Failure("image too large (" + std::to_string(width) + " x " +
                  std::to_string(height) + "; limit 32768 x 32768 and 2^28 pixels)");
}

uint32_t premultiply(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  auto mul = [a](uint32_t c) { return (c * a + 127) / 255; };
  return (uint32_t{a} << 24) | (mul(r) << 16) | (mul(g) << 8) | mul(b);
}

void unpremultiply(uint32_t word, uint8_t out[4]) {
  uint32_t a = word >> 24;
  out[3] = static_cast<uint8_t>(a);
  for (int i = 0; i < 3; ++i) {
    uint32_t c = (word >> (16 - 8 * i)) & 0xFF;
    uint32_t v = a == 0 ? 0 : (c * 255 + a / 2) / a;
    out[i] = static_cast<uint8_t>(v > 255 ? 255 : v);
  }
}

std::vector<uint8_t> read_all(const std::string& path) {
  FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!f) throw Failure("cannot open " + path + ": " + std::strerror(errno));
  if (path != "-") {
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
      std::fclose(f);
      throw Failure("cannot read " + path + ": is a directory");
    }
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  bool bad = std::ferror(f) != 0;
  int saved = errno;
  if (f != stdin) std::fclose(f);
  if (bad) throw Failure("cannot read " + path + ": " + std::strerror(saved));
  return bytes;
}

namespace {

Image decode_png(const std::vector<uint8_t>& bytes) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size()))
    throw Failure(std::string("not a valid PNG: ") + png.message);
  try {
    check_dimensions(png.width, png.height);
  } catch (...) {
    png_image_free(&png);
    throw;
  }
  png.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, rgba.data(), 0, nullptr))
    throw Failure(std::string("not a valid PNG: ") + png.message);
  Image image(static_cast<int32_t>(png.width), static_cast<int32_t>(png.height));
  for (size_t i = 0; i < image.px.size(); ++i) {
    const uint8_t* p = &rgba[i * 4];
    image.px[i] = premultiply(p[0], p[1], p[2], p[3]);
  }
  return image;
}

#ifdef KVFX_HAVE_JPEG
struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void jpeg_fail(j_common_ptr info) {
  JpegError* err = reinterpret_cast<JpegError*>(info->err);
  (*info->err->format_message)(info, err->message);
  std::longjmp(err->jump, 1);
}

// A damaged stream only draws warnings (and grey filler); refuse it instead.
void jpeg_warning(j_common_ptr info, int level) {
  if (level < 0) jpeg_fail(info);
}

// libjpeg reports errors by longjmp, so everything that owns memory lives in
// the caller's frame and this function keeps only plain locals.
bool decode_jpeg_rows(const std::vector<uint8_t>& bytes, Image& image, std::vector<uint8_t>& row,
                      std::string& message) {
  jpeg_decompress_struct info;
  JpegError err;
  info.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpeg_fail;
  err.mgr.emit_message = jpeg_warning;
  if (setjmp(err.jump)) {
    message = err.message;
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  try {
    check_dimensions(info.image_width, info.image_height);
    image = Image(static_cast<int32_t>(info.image_width), static_cast<int32_t>(info.image_height));
    row.resize(static_cast<size_t>(info.image_width) * 3);
  } catch (const std::exception& e) {
    message = e.what();
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_start_decompress(&info);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {row.data()};
    int32_t y = static_cast<int32_t>(info.output_scanline);
    jpeg_read_scanlines(&info, rows, 1);
    for (int32_t x = 0; x < image.width; ++x)
      image.at(x, y) = premultiply(row[x * 3], row[x * 3 + 1], row[x * 3 + 2], 255);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

Image decode_jpeg(const std::vector<uint8_t>& bytes) {
  Image image;
  std::vector<uint8_t> row;
  std::string message;
  if (!decode_jpeg_rows(bytes, image, row, message)) {
    if (message.rfind("image too large", 0) == 0 || message == "image has no pixels")
      throw Failure(message);
    throw Failure("not a valid JPEG: " + message);
  }
  return image;
}

void encode_jpeg(const Image& image, FILE* out) {
  jpeg_compress_struct info;
  JpegError err;
  std::vector<uint8_t> row(static_cast<size_t>(image.width) * 3);
  info.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpeg_fail;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&info);
    throw Failure(std::string("cannot write JPEG: ") + err.message);
  }
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, out);
  info.image_width = static_cast<JDIMENSION>(image.width);
  info.image_height = static_cast<JDIMENSION>(image.height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 92, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    const uint32_t* src = &image.px[static_cast<size_t>(info.next_scanline) * image.width];
    // No alpha in JPEG: the premultiplied colour is the image over black.
    for (int32_t x = 0; x < image.width; ++x) {
      row[x * 3] = static_cast<uint8_t>(src[x] >> 16);
      row[x * 3 + 1] = static_cast<uint8_t>(src[x] >> 8);
      row[x * 3 + 2] = static_cast<uint8_t>(src[x]);
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
}
#endif

void encode_png(const Image& image, FILE* out) {
  bool opaque = true;
  for (uint32_t w : image.px) opaque = opaque && (w >> 24) == 255;
  const int channels = opaque ? 3 : 4;
  std::vector<uint8_t> bytes(image.px.size() * channels);
  for (size_t i = 0; i < image.px.size(); ++i) {
    uint8_t c[4];
    unpremultiply(image.px[i], c);
    std::memcpy(&bytes[i * channels], c, channels);
  }
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = opaque ? PNG_FORMAT_RGB : PNG_FORMAT_RGBA;
  if (!png_image_write_to_stdio(&png, out, 0, bytes.data(), 0, nullptr))
    throw Failure(std::string("cannot write PNG: ") + png.message);
}

void encode(const Image& image, Format format, FILE* out) {
  if (format == Format::Png) return encode_png(image, out);
#ifdef KVFX_HAVE_JPEG
  encode_jpeg(image, out);
#else
  throw Failure("this kvfx was built without JPEG support");
#endif
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

}  // namespace

Image decode_image(const std::vector<uint8_t>& bytes) {
  static const uint8_t png_magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), png_magic, 8) == 0) return decode_png(bytes);
  if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) {
#ifdef KVFX_HAVE_JPEG
    return decode_jpeg(bytes);
#else
    throw Failure("this kvfx was built without JPEG support");
#endif
  }
  if (bytes.empty()) throw Failure("empty file");
  throw Failure("not a PNG or JPEG image");
}

Image load_image(const std::string& path) {
  std::vector<uint8_t> bytes = read_all(path);
  try {
    return decode_image(bytes);
  } catch (const Failure& e) {
    throw Failure((path == "-" ? std::string("stdin") : path) + ": " + e.what());
  }
}

Format format_for_path(const std::string& path) {
  if (path == "-") return Format::Png;
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                        ? std::string()
                        : lower(path.substr(dot));
  if (ext == ".png") return Format::Png;
  if (ext == ".jpg" || ext == ".jpeg") {
#ifdef KVFX_HAVE_JPEG
    return Format::Jpeg;
#else
    throw Failure(path + ": this kvfx was built without JPEG support");
#endif
  }
  throw Failure(path + ": unknown output type (use .png, .jpg or .jpeg)");
}

void save_image(const Image& image, const std::string& path) {
  Format format = format_for_path(path);
  if (path == "-") {
    encode(image, format, stdout);
    if (std::fflush(stdout) != 0) throw Failure(std::string("cannot write stdout: ") + std::strerror(errno));
    return;
  }
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  std::string temp = dir + (slash == std::string::npos ? "/" : "") + ".kvfx-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) throw Failure("cannot write " + path + ": " + std::strerror(errno));
  // mkstemp makes the file private; give it the mode a plain create would.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  FILE* f = fdopen(fd, "wb");
  if (!f) {
    int saved = errno;
    close(fd);
    unlink(name.data());
    throw Failure("cannot write " + path + ": " + std::strerror(saved));
  }
  try {
    encode(image, format, f);
    if (std::fflush(f) != 0 || std::ferror(f)) throw Failure("cannot write " + path + ": " + std::strerror(errno));
  } catch (...) {
    std::fclose(f);
    unlink(name.data());
    throw;
  }
  if (std::fclose(f) != 0) {
    int saved = errno;
    unlink(name.data());
    throw Failure("cannot write " + path + ": " + std::strerror(saved));
  }
  if (std::rename(name.data(), path.c_str()) != 0) {
    int saved = errno;
    unlink(name.data());
    throw Failure("cannot write " + path + ": " + std::strerror(saved));
  }
}

}  // namespace kvfx_tool
