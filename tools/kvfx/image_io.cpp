#include "image_io.h"

#include <png.h>
#ifdef KVFX_HAVE_JPEG
#include <jpeglib.h>
#include <jerror.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvfx_tool {

namespace {

// What may come before the image header, and what the compressed data may
// take per pixel once the header is known (16-bit RGBA PNG stored without
// compression needs a little over 8; the rest is room for metadata).
constexpr uint64_t kHeaderBytes = uint64_t{16} << 20;
constexpr uint64_t kSlackBytes = uint64_t{16} << 20;
constexpr uint64_t kBytesPerPixel = 16;

std::string mib(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// A bounded, streaming view of the input: the decoders pull bytes through
// it, and it stops them at the end of the data, at a read error, or at a cap
// on how much they may consume. Its methods never throw (they run inside
// libpng and libjpeg callbacks).
class Input {
 public:
  enum class Stop { kNone, kEnd, kCap, kError };

  explicit Input(int fd) : fd_(fd) {}
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // Copies up to n bytes; fewer only when stop() says why.
  size_t read(uint8_t* dst, size_t n) noexcept {
    size_t done = 0;
    while (done < n) {
      if (consumed_ >= cap_) {
        // The decoder wants more than it may have; was there more?
        stop_ = fill(1) ? Stop::kCap : stop_;
        break;
      }
      if (ahead_pos_ == ahead_len_ && !fill(1)) break;
      size_t k = std::min({n - done, ahead_len_ - ahead_pos_, static_cast<size_t>(cap_ - consumed_)});
      std::memcpy(dst + done, ahead_ + ahead_pos_, k);
      ahead_pos_ += k;
      done += k;
      consumed_ += k;
    }
    return done;
  }

  // Up to n (at most sizeof ahead_) bytes from the current position, not consumed.
  size_t peek(uint8_t* dst, size_t n) noexcept {
    n = std::min(n, sizeof ahead_);
    fill(n);
    size_t k = std::min(n, ahead_len_ - ahead_pos_);
    std::memcpy(dst, ahead_ + ahead_pos_, k);
    return k;
  }

  // At most `total` bytes from the start may be consumed; `why` is the
  // message for a decoder that wants more.
  void cap_at(uint64_t total, std::string why) {
    cap_ = total;
    cap_message_ = std::move(why);
  }
  uint64_t consumed() const { return consumed_; }
  Stop stop() const { return stop_; }
  // The message for a stop other than the plain end of the data. Written
  // into the caller's buffer without allocating: the decoders longjmp right
  // after, which would skip a temporary string's destructor.
  void describe_stop(char (&out)[256]) const noexcept {
    if (stop_ == Stop::kCap)
      std::snprintf(out, sizeof out, "%s", cap_message_.c_str());
    else if (stop_ == Stop::kError)
      std::snprintf(out, sizeof out, "read error: %s", std::strerror(error_));
    else
      std::snprintf(out, sizeof out, "the data ends early");
  }

 private:
  // Makes at least `want` bytes available ahead, if the source has them.
  bool fill(size_t want) noexcept {
    if (ahead_pos_ == ahead_len_) ahead_pos_ = ahead_len_ = 0;
    if (ahead_len_ - ahead_pos_ >= want) return true;
    if (ahead_pos_ > 0) {
      std::memmove(ahead_, ahead_ + ahead_pos_, ahead_len_ - ahead_pos_);
      ahead_len_ -= ahead_pos_;
      ahead_pos_ = 0;
    }
    while (ahead_len_ < want) {
      size_t room = sizeof ahead_ - ahead_len_;
      size_t got = 0;
      if (fd_ >= 0) {
        ssize_t r = ::read(fd_, ahead_ + ahead_len_, room);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
          error_ = errno;
          stop_ = Stop::kError;
          return false;
        }
        got = static_cast<size_t>(r);
      } else {
        got = std::min(room, size_ - offset_);
        std::memcpy(ahead_ + ahead_len_, data_ + offset_, got);
        offset_ += got;
      }
      if (got == 0) {
        stop_ = Stop::kEnd;
        return false;
      }
      ahead_len_ += got;
    }
    return true;
  }

  int fd_ = -1;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0, offset_ = 0;
  uint8_t ahead_[65536];
  size_t ahead_pos_ = 0, ahead_len_ = 0;
  uint64_t consumed_ = 0;
  uint64_t cap_ = kHeaderBytes;
  std::string cap_message_ = "no image header in the first " + mib(kHeaderBytes);
  Stop stop_ = Stop::kNone;
  int error_ = 0;
};

// Once the size is known, the data may take what such an image can need.
void cap_for_image(Input& in, uint64_t width, uint64_t height) {
  const uint64_t cap = kSlackBytes + kBytesPerPixel * width * height;
  in.cap_at(cap, "more than " + mib(cap) + " of data for a " + std::to_string(width) + " x " +
                     std::to_string(height) + " image");
}

// Where the encoders' bytes go. write() never throws; a failure keeps errno.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool write(const uint8_t* p, size_t n) noexcept = 0;
  virtual bool flush() noexcept { return true; }
  int error = 0;
};

class MemorySink final : public Sink {
 public:
  bool write(const uint8_t* p, size_t n) noexcept override {
    try {
      bytes.insert(bytes.end(), p, p + n);
      return true;
    } catch (...) {
      error = ENOMEM;
      return false;
    }
  }
  std::vector<uint8_t> bytes;
};

class FdSink final : public Sink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  bool write(const uint8_t* p, size_t n) noexcept override {
    if (error) return false;
    if (used_ + n > sizeof buf_ && !flush()) return false;
    if (n >= sizeof buf_) return put(p, n);
    std::memcpy(buf_ + used_, p, n);
    used_ += n;
    return true;
  }
  bool flush() noexcept override {
    if (error) return false;
    bool ok = put(buf_, used_);
    used_ = 0;
    return ok;
  }

 private:
  bool put(const uint8_t* p, size_t n) noexcept {
    while (n > 0) {
      ssize_t w = ::write(fd_, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        error = w < 0 ? errno : EIO;
        return false;
      }
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
  int fd_;
  uint8_t buf_[65536];
  size_t used_ = 0;
};

void copy_message(char (&dst)[256], const char* src) {
  std::snprintf(dst, sizeof dst, "%s", src);
}

// The straight colour of a word.
inline uint32_t straight_word(uint32_t w, Held held) {
  return held == Held::kStraight ? w : kvfx_catalogue::unpremultiply_word(w);
}

inline uint32_t word_from(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  return a << 24 | r << 16 | g << 8 | b;
}

// Pixel memory for a checked size; false (with a message) when there is none.
bool allocate(Image& image, uint32_t width, uint32_t height, char (&message)[256]) noexcept {
  try {
    image = Image(static_cast<int32_t>(width), static_cast<int32_t>(height));
    image.held = Held::kStraight;
    return true;
  } catch (...) {
    copy_message(message, "out of memory");
    return false;
  }
}

bool within_limits(uint64_t width, uint64_t height, const Limits& limits, char (&message)[256]) {
  try {
    check_dimensions(width, height, limits);
    return true;
  } catch (const std::exception& e) {
    copy_message(message, e.what());
    return false;
  }
}

// The orientation (1..8) in EXIF data (a TIFF header and its first
// directory), 1 when absent or unreadable.
int exif_orientation(const uint8_t* p, size_t n) {
  if (n < 8) return 1;
  const bool little = p[0] == 'I' && p[1] == 'I';
  if (!little && !(p[0] == 'M' && p[1] == 'M')) return 1;
  auto u16 = [&](size_t at) -> uint32_t {
    return little ? p[at] | p[at + 1] << 8 : p[at] << 8 | p[at + 1];
  };
  auto u32 = [&](size_t at) -> uint32_t { return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2); };
  if (u16(2) != 42) return 1;
  const uint32_t ifd = u32(4);
  if (ifd > n - 2) return 1;
  const uint32_t count = u16(ifd);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t e = size_t{ifd} + 2 + size_t{i} * 12;
    if (e + 12 > n) break;
    if (u16(e) == 0x0112 && u16(e + 2) == 3) {  // Orientation, SHORT
      const uint32_t v = u16(e + 8);
      return v >= 1 && v <= 8 ? static_cast<int>(v) : 1;
    }
  }
  return 1;
}

// The picture as the camera meant it: EXIF orientations 2..8 mirror and
// rotate. 2..4 are done in place; the quarter turns need a second image.
void apply_orientation(Image& im, int orientation) {
  const int32_t w = im.width, h = im.height;
  if (orientation <= 1 || orientation > 8) return;
  if (orientation <= 4) {
    if (orientation == 2 || orientation == 3)
      for (int32_t y = 0; y < h; ++y) std::reverse(&im.at(0, y), &im.at(0, y) + w);
    if (orientation == 3 || orientation == 4)
      for (int32_t y = 0; y < h / 2; ++y) std::swap_ranges(&im.at(0, y), &im.at(0, y) + w, &im.at(0, h - 1 - y));
    return;
  }
  Image out(h, w);
  out.held = im.held;
  for (int32_t y = 0; y < w; ++y)
    for (int32_t x = 0; x < h; ++x) {
      int32_t sx, sy;
      switch (orientation) {
        case 5: sx = y, sy = x; break;                  // transpose
        case 6: sx = y, sy = h - 1 - x; break;          // a quarter turn clockwise
        case 7: sx = w - 1 - y, sy = h - 1 - x; break;  // transverse
        default: sx = w - 1 - y, sy = x; break;         // a quarter turn anticlockwise
      }
      out.at(x, y) = im.at(sx, sy);
    }
  im = std::move(out);
}

// ---------------------------------------------------------------- PNG ----

// Everything the libpng calls share. libpng reports errors by longjmp, so
// what owns memory lives outside the functions that call setjmp.
struct PngRead {
  Input* in;
  const Limits* limits;
  Image* image;
  int orientation = 1;
  bool rows_done = false;  // every pixel is in; what follows is optional
  char message[256] = "";
  bool plain = false;  // message stands alone (not a libpng complaint)
};

// Orientation as in JPEG files, from an eXIf chunk read so far.
void read_orientation(png_structp png, png_infop info, PngRead& st) {
  png_bytep exif = nullptr;
  png_uint_32 size = 0;
  if (png_get_eXIf_1(png, info, &size, &exif) != 0 && exif) st.orientation = exif_orientation(exif, size);
}

void png_fail(png_structp png, png_const_charp message) {
  auto* st = static_cast<PngRead*>(png_get_error_ptr(png));
  if (!st->message[0]) copy_message(st->message, message);
  png_longjmp(png, 1);
}

void png_quiet(png_structp, png_const_charp) {}

void png_pull(png_structp png, png_bytep out, size_t n) {
  auto* st = static_cast<PngRead*>(png_get_io_ptr(png));
  if (st->in->read(out, n) == n) return;
  if (st->in->stop() != Input::Stop::kEnd) st->plain = true;
  st->in->describe_stop(st->message);
  png_longjmp(png, 1);
}

// Ancillary chunks that change nothing kvfx keeps; skipping them means their
// compressed text and profiles are never inflated.
const png_byte kSkippedChunks[] =
    "bKGD\0cHRM\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0sBIT\0sCAL\0sPLT\0sRGB\0"
    "tEXt\0tIME\0zTXt";

bool png_decode(PngRead& st) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &st, png_fail, png_quiet);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    copy_message(st.message, "out of memory");
    st.plain = true;
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    // Damage after the last row costs only what it would have said.
    if (st.rows_done) {
      read_orientation(png, info, st);
      st.message[0] = '\0';
      st.plain = false;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return st.rows_done;
  }
  png_set_read_fn(png, &st, png_pull);
  png_set_user_limits(png, kMaxSide, kMaxSide);
  png_set_chunk_cache_max(png, 128);
  png_set_chunk_malloc_max(png, 1 << 20);
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kSkippedChunks,
                              static_cast<int>(sizeof kSkippedChunks / 5));
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  if (!within_limits(width, height, *st.limits, st.message)) {
    st.plain = true;
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  const int depth = png_get_bit_depth(png, info);
  const int type = png_get_color_type(png, info);
  const bool trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  // Every kind becomes 8-bit RGBA. 16-bit samples are scaled, not treated as
  // linear light: no gamma is applied anywhere.
  if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (trns) png_set_tRNS_to_alpha(png);
  if (depth == 16) png_set_scale_16(png);
  if (!(type & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
  if (!(type & PNG_COLOR_MASK_ALPHA) && !trns) png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != size_t{width} * 4) {
    copy_message(st.message, "unsupported pixel layout");
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  if (!allocate(*st.image, width, height, st.message)) {
    st.plain = true;
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  // Rows are decoded as RGBA bytes straight into the pixel memory (a row of
  // bytes is exactly as long as a row of words) and turned into words once
  // every pass is in.
  uint32_t* words = st.image->px.data();
  for (int pass = 0; pass < passes; ++pass)
    for (png_uint_32 y = 0; y < height; ++y)
      png_read_row(png, reinterpret_cast<png_bytep>(words + size_t{y} * width), nullptr);
  // On to the end, for an eXIf chunk written after the image data.
  st.rows_done = true;
  png_read_end(png, info);
  read_orientation(png, info, st);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

void rgba_bytes_to_words(Image& image) {
  const size_t n = image.px.size();
  uint32_t* w = image.px.data();
  for (size_t i = 0; i < n; ++i) {
    const auto* p = reinterpret_cast<const uint8_t*>(w + i);
    w[i] = word_from(p[0], p[1], p[2], p[3]);
  }
}

Image decode_png(Input& in, const Limits& limits) {
  // The size is refused from the header bytes, before libpng is involved.
  uint8_t head[24];
  if (in.peek(head, sizeof head) == sizeof head && std::memcmp(head + 12, "IHDR", 4) == 0) {
    auto be32 = [](const uint8_t* p) {
      return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    };
    check_dimensions(be32(head + 16), be32(head + 20), limits);
    cap_for_image(in, be32(head + 16), be32(head + 20));
  }
  Image image;
  PngRead st{&in, &limits, &image};
  if (!png_decode(st)) {
    if (st.plain) throw Failure(st.message);
    throw Failure(std::string("not a valid PNG: ") + st.message);
  }
  rgba_bytes_to_words(image);
  apply_orientation(image, st.orientation);
  return image;
}

struct PngWrite {
  const Image* image;
  Sink* sink;
  std::vector<uint8_t> row;
  bool opaque;
  char message[256] = "";
};

void png_write_fail(png_structp png, png_const_charp message) {
  auto* st = static_cast<PngWrite*>(png_get_error_ptr(png));
  if (!st->message[0]) copy_message(st->message, message);
  png_longjmp(png, 1);
}

void png_push(png_structp png, png_bytep data, size_t n) {
  auto* st = static_cast<PngWrite*>(png_get_io_ptr(png));
  if (!st->sink->write(data, n)) {
    copy_message(st->message, std::strerror(st->sink->error));
    png_longjmp(png, 1);
  }
}

void png_no_flush(png_structp) {}

void fill_png_row(PngWrite& st, int32_t y) noexcept {
  const Image& im = *st.image;
  const uint32_t* src = im.px.data() + size_t(y) * im.width;
  uint8_t* out = st.row.data();
  for (int32_t x = 0; x < im.width; ++x) {
    const uint32_t w = straight_word(src[x], im.held);
    *out++ = static_cast<uint8_t>(w >> 16);
    *out++ = static_cast<uint8_t>(w >> 8);
    *out++ = static_cast<uint8_t>(w);
    if (!st.opaque) *out++ = static_cast<uint8_t>(w >> 24);
  }
}

bool png_encode(PngWrite& st) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &st, png_write_fail, png_quiet);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    copy_message(st.message, "out of memory");
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &st, png_push, png_no_flush);
  const Image& im = *st.image;
  png_set_IHDR(png, info, static_cast<png_uint_32>(im.width), static_cast<png_uint_32>(im.height), 8,
               st.opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int32_t y = 0; y < im.height; ++y) {
    fill_png_row(st, y);
    png_write_row(png, st.row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

void encode_png(const Image& image, Sink& sink) {
  bool opaque = true;
  for (uint32_t w : image.px) opaque = opaque && (w >> 24) == 255;
  PngWrite st{&image, &sink, std::vector<uint8_t>(size_t(image.width) * (opaque ? 3 : 4)), opaque};
  if (!png_encode(st) || !sink.flush())
    throw Failure(st.message[0] ? st.message : std::strerror(sink.error));
}

// --------------------------------------------------------------- JPEG ----
#ifdef KVFX_HAVE_JPEG

// A progressive file may have this many scans; each costs a pass over the
// whole coefficient memory, so a file of thousands of tiny scans is refused.
constexpr int kMaxScans = 500;

struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[256];
  bool plain;
};

[[noreturn]] void jpeg_fail_with(j_common_ptr info, const char* message, bool plain) {
  auto* err = reinterpret_cast<JpegError*>(info->err);
  copy_message(err->message, message);
  err->plain = plain;
  std::longjmp(err->jump, 1);
}

void jpeg_fail(j_common_ptr info) {
  auto* err = reinterpret_cast<JpegError*>(info->err);
  char text[JMSG_LENGTH_MAX];
  (*info->err->format_message)(info, text);
  if (!err->message[0]) copy_message(err->message, text);
  std::longjmp(err->jump, 1);
}

// A damaged stream only draws warnings (and grey filler); refuse it instead.
void jpeg_warning(j_common_ptr info, int level) {
  if (level < 0) jpeg_fail(info);
}

void jpeg_progress(j_common_ptr info) {
  if (info->is_decompressor &&
      reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxScans)
    jpeg_fail_with(info, "more than 500 progressive scans", false);
}

struct JpegSource {
  jpeg_source_mgr pub;
  Input* in;
  JOCTET buf[16384];
};

void src_init(j_decompress_ptr) {}
void src_term(j_decompress_ptr) {}

boolean src_fill(j_decompress_ptr info) {
  auto* src = reinterpret_cast<JpegSource*>(info->src);
  size_t n = src->in->read(src->buf, sizeof src->buf);
  if (n == 0) {
    if (src->in->stop() != Input::Stop::kEnd) {
      char why[256];
      src->in->describe_stop(why);
      jpeg_fail_with(reinterpret_cast<j_common_ptr>(info), why, true);
    }
    // The usual end-of-data answer: a warning (fatal here), then a fake EOI.
    WARNMS(info, JWRN_JPEG_EOF);
    src->buf[0] = 0xFF;
    src->buf[1] = JPEG_EOI;
    n = 2;
  }
  src->pub.next_input_byte = src->buf;
  src->pub.bytes_in_buffer = n;
  return TRUE;
}

void src_skip(j_decompress_ptr info, long count) {
  auto* src = reinterpret_cast<JpegSource*>(info->src);
  while (count > 0) {
    if (src->pub.bytes_in_buffer == 0) src_fill(info);
    const size_t k = std::min(static_cast<size_t>(count), src->pub.bytes_in_buffer);
    src->pub.next_input_byte += k;
    src->pub.bytes_in_buffer -= k;
    count -= static_cast<long>(k);
  }
}

struct JpegRead {
  Input* in;
  const Limits* limits;
  Image* image;
  std::vector<uint8_t>* row;
  int orientation = 1;
  char message[256] = "";
  bool plain = false;
};

// Straight words from one decoded row.
void jpeg_row_to_words(const j_decompress_ptr info, const uint8_t* row, uint32_t* out) {
  const JDIMENSION w = info->output_width;
  switch (info->out_color_space) {
    case JCS_GRAYSCALE:
      for (JDIMENSION x = 0; x < w; ++x) out[x] = word_from(row[x], row[x], row[x], 255);
      break;
    case JCS_CMYK: {
      // Adobe's files store inverted inks (255 = no ink); others store ink.
      const bool inverted = info->saw_Adobe_marker;
      for (JDIMENSION x = 0; x < w; ++x) {
        const uint8_t* p = row + x * 4;
        uint32_t c = p[0], m = p[1], y = p[2], k = p[3];
        if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
        out[x] = word_from((c * k + 127) / 255, (m * k + 127) / 255, (y * k + 127) / 255, 255);
      }
      break;
    }
    default:
      for (JDIMENSION x = 0; x < w; ++x)
        out[x] = word_from(row[x * 3], row[x * 3 + 1], row[x * 3 + 2], 255);
  }
}

bool jpeg_decode(JpegRead& st) {
  jpeg_decompress_struct info;
  JpegError err;
  JpegSource src;
  jpeg_progress_mgr progress;
  info.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpeg_fail;
  err.mgr.emit_message = jpeg_warning;
  err.message[0] = '\0';
  err.plain = false;
  if (setjmp(err.jump)) {
    copy_message(st.message, err.message);
    st.plain = err.plain;
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  src.in = st.in;
  src.pub.init_source = src_init;
  src.pub.fill_input_buffer = src_fill;
  src.pub.skip_input_data = src_skip;
  src.pub.resync_to_restart = jpeg_resync_to_restart;
  src.pub.term_source = src_term;
  src.pub.bytes_in_buffer = 0;
  src.pub.next_input_byte = nullptr;
  info.src = &src.pub;
  progress.progress_monitor = jpeg_progress;
  info.progress = &progress;
  jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
  jpeg_read_header(&info, TRUE);
  if (!within_limits(info.image_width, info.image_height, *st.limits, st.message)) {
    st.plain = true;
    jpeg_destroy_decompress(&info);
    return false;
  }
  cap_for_image(*st.in, info.image_width, info.image_height);
  for (jpeg_saved_marker_ptr m = info.marker_list; m; m = m->next)
    if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 && std::memcmp(m->data, "Exif\0\0", 6) == 0) {
      st.orientation = exif_orientation(m->data + 6, m->data_length - 6);
      break;
    }
  switch (info.jpeg_color_space) {
    case JCS_GRAYSCALE: info.out_color_space = JCS_GRAYSCALE; break;
    case JCS_CMYK:
    case JCS_YCCK: info.out_color_space = JCS_CMYK; break;
    default: info.out_color_space = JCS_RGB;
  }
  // Whole-image coefficient memory (progressive files) takes at most two
  // bytes per sample; more than that for this size is a forged file.
  const uint64_t pixels = uint64_t{info.image_width} * info.image_height;
  const uint64_t budget = kSlackBytes + 2 * 5 * pixels;
  info.mem->max_memory_to_use = static_cast<long>(std::min<uint64_t>(budget, LONG_MAX));
  jpeg_start_decompress(&info);
  if (!allocate(*st.image, info.output_width, info.output_height, st.message)) {
    st.plain = true;
    jpeg_destroy_decompress(&info);
    return false;
  }
  try {
    st.row->resize(size_t{info.output_width} * static_cast<size_t>(info.output_components));
  } catch (...) {
    copy_message(st.message, "out of memory");
    st.plain = true;
    jpeg_destroy_decompress(&info);
    return false;
  }
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {st.row->data()};
    const JDIMENSION y = info.output_scanline;
    if (jpeg_read_scanlines(&info, rows, 1) != 1)
      jpeg_fail_with(reinterpret_cast<j_common_ptr>(&info), "no progress", false);
    jpeg_row_to_words(&info, st.row->data(), st.image->px.data() + size_t{y} * info.output_width);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

Image decode_jpeg(Input& in, const Limits& limits) {
  Image image;
  std::vector<uint8_t> row;
  JpegRead st{&in, &limits, &image, &row};
  if (!jpeg_decode(st)) {
    if (st.plain) throw Failure(st.message);
    throw Failure(std::string("not a valid JPEG: ") + st.message);
  }
  row = std::vector<uint8_t>();
  apply_orientation(image, st.orientation);
  return image;
}

struct JpegDest {
  jpeg_destination_mgr pub;
  Sink* sink;
  JOCTET buf[65536];
};

void dest_init(j_compress_ptr info) {
  auto* d = reinterpret_cast<JpegDest*>(info->dest);
  d->pub.next_output_byte = d->buf;
  d->pub.free_in_buffer = sizeof d->buf;
}

boolean dest_empty(j_compress_ptr info) {
  auto* d = reinterpret_cast<JpegDest*>(info->dest);
  if (!d->sink->write(d->buf, sizeof d->buf))
    jpeg_fail_with(reinterpret_cast<j_common_ptr>(info), std::strerror(d->sink->error), true);
  dest_init(info);
  return TRUE;
}

void dest_term(j_compress_ptr info) {
  auto* d = reinterpret_cast<JpegDest*>(info->dest);
  if (!d->sink->write(d->buf, sizeof d->buf - d->pub.free_in_buffer))
    jpeg_fail_with(reinterpret_cast<j_common_ptr>(info), std::strerror(d->sink->error), true);
}

bool jpeg_encode(const Image& image, Sink& sink, int quality, std::vector<uint8_t>& row,
                 char (&message)[256]) {
  jpeg_compress_struct info;
  JpegError err;
  JpegDest dest;
  info.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpeg_fail;
  err.message[0] = '\0';
  if (setjmp(err.jump)) {
    copy_message(message, err.message);
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  dest.sink = &sink;
  dest.pub.init_destination = dest_init;
  dest.pub.empty_output_buffer = dest_empty;
  dest.pub.term_destination = dest_term;
  info.dest = &dest.pub;
  info.image_width = static_cast<JDIMENSION>(image.width);
  info.image_height = static_cast<JDIMENSION>(image.height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  const bool straight = image.held == Held::kStraight;
  while (info.next_scanline < info.image_height) {
    const uint32_t* src = image.px.data() + size_t{info.next_scanline} * image.width;
    // No alpha in JPEG: the image over black, which is the premultiplied colour.
    for (int32_t x = 0; x < image.width; ++x) {
      const uint32_t w = straight ? kvfx_catalogue::premultiply_word(src[x]) : src[x];
      row[x * 3] = static_cast<uint8_t>(w >> 16);
      row[x * 3 + 1] = static_cast<uint8_t>(w >> 8);
      row[x * 3 + 2] = static_cast<uint8_t>(w);
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

void encode_jpeg(const Image& image, Sink& sink, int quality) {
  std::vector<uint8_t> row(static_cast<size_t>(image.width) * 3);
  char message[256] = "";
  if (!jpeg_encode(image, sink, quality, row, message) || !sink.flush())
    throw Failure(message[0] ? message : std::strerror(sink.error));
}
#endif

void encode(const Image& image, Format format, Sink& sink, const WriteOptions& options) {
  if (format == Format::Png) return encode_png(image, sink);
#ifdef KVFX_HAVE_JPEG
  encode_jpeg(image, sink, options.jpeg_quality);
#else
  (void)sink;
  (void)options;
  throw Failure("this kvfx was built without JPEG support");
#endif
}

Image decode(Input& in, const Limits& limits) {
  static const uint8_t png_magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  uint8_t head[8];
  const size_t n = in.peek(head, sizeof head);
  if (n == 8 && std::memcmp(head, png_magic, 8) == 0) return decode_png(in, limits);
  if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
#ifdef KVFX_HAVE_JPEG
    return decode_jpeg(in, limits);
#else
    throw Failure("this kvfx was built without JPEG support");
#endif
  }
  if (in.stop() == Input::Stop::kError) {
    char why[256];
    in.describe_stop(why);
    throw Failure(why);
  }
  if (n == 0) throw Failure("empty file");
  throw Failure("not a PNG or JPEG image");
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

// ------------------------------------------------------------ writing ----

// The temporary file of the write in progress, for the signal handler.
char g_temp[PATH_MAX + 64];
volatile sig_atomic_t g_temp_live = 0;
const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void remove_temp_and_die(int sig) {
  if (g_temp_live) unlink(g_temp);
  std::signal(sig, SIG_DFL);
  raise(sig);
}

// Keeps the cleanup signals out while the temporary file is made, renamed or
// removed, so the handler never sees a name half-recorded.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kCleanupSignals) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

// Where an output really goes, and what the replaced file was.
struct Target {
  std::string path;  // the file to replace: OUT, or the target of the link OUT
  bool exists = false;
  struct stat st {};
};

std::string why(int err) { return std::strerror(err); }

Target resolve_target(const std::string& path) {
  Target t;
  t.path = path;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      char* real = realpath(path.c_str(), nullptr);
      if (!real) {
        const int e = errno;
        char link[PATH_MAX + 1];
        ssize_t n = readlink(path.c_str(), link, PATH_MAX);
        link[n < 0 ? 0 : n] = '\0';
        throw Failure("cannot write " + path + ": it is a symbolic link to " + link + ", which " +
                      (e == ENOENT ? std::string("does not exist") : "cannot be followed (" + why(e) + ")"));
      }
      t.path = real;
      std::free(real);
      if (stat(t.path.c_str(), &st) != 0) throw Failure("cannot write " + path + ": " + why(errno));
    }
    if (S_ISDIR(st.st_mode)) throw Failure("cannot write " + path + ": is a directory");
    if (!S_ISREG(st.st_mode)) throw Failure("cannot write " + path + ": not a regular file");
    t.exists = true;
    t.st = st;
  } else if (errno != ENOENT) {
    throw Failure("cannot write " + path + ": " + why(errno));
  }
  const size_t slash = t.path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : t.path.substr(0, slash + 1);
  struct stat ds;
  if (stat(dir.c_str(), &ds) != 0) throw Failure("cannot write " + path + ": " + why(errno));
  if (!S_ISDIR(ds.st_mode)) throw Failure("cannot write " + path + ": " + why(ENOTDIR));
  if (access(dir.c_str(), W_OK) != 0) throw Failure("cannot write " + path + ": " + why(errno));
  return t;
}

void write_stdout(const Image& image) {
  FdSink sink(STDOUT_FILENO);
  try {
    encode(image, Format::Png, sink, WriteOptions{});
  } catch (const Failure& e) {
    throw Failure(std::string("cannot write stdout: ") + e.what());
  }
}

}  // namespace

void convert_image(Image& image, Held wanted) {
  kvfx_catalogue::convert_words(image.px.data(), image.px.size(), image.held, wanted);
  image.held = wanted;
}

void check_dimensions(uint64_t width, uint64_t height, const Limits& limits) {
  if (width == 0 || height == 0) throw Failure("image has no pixels");
  if (width > kMaxSide || height > kMaxSide)
    throw Failure("image too large (" + std::to_string(width) + " x " + std::to_string(height) +
                  "; no side may exceed " + std::to_string(kMaxSide) + ")");
  if (width * height > limits.max_pixels)
    throw Failure("image too large (" + std::to_string(width) + " x " + std::to_string(height) + " is " +
                  std::to_string(width * height) + " pixels; the limit is " +
                  std::to_string(limits.max_pixels) + ", see --max-pixels)");
}

Image decode_image(const uint8_t* data, size_t size, const Limits& limits) {
  auto in = std::make_unique<Input>(data, size);
  return decode(*in, limits);
}

Image load_image(const std::string& path, const Limits& limits) {
  const bool std_in = path == "-";
  const std::string shown = std_in ? std::string("stdin") : path;
  int fd = STDIN_FILENO;
  if (!std_in) {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Failure("cannot open " + path + ": " + why(errno));
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      close(fd);
      throw Failure("cannot read " + path + ": is a directory");
    }
  }
  struct Closer {
    int fd;
    bool own;
    ~Closer() {
      if (own) close(fd);
    }
  } closer{fd, !std_in};
  auto in = std::make_unique<Input>(fd);
  try {
    return decode(*in, limits);
  } catch (const Failure& e) {
    throw Failure(shown + ": " + e.what());
  } catch (const std::bad_alloc&) {
    throw Failure(shown + ": out of memory");
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

std::vector<uint8_t> encode_image(const Image& image, Format format, const WriteOptions& options) {
  MemorySink sink;
  encode(image, format, sink, options);
  return std::move(sink.bytes);
}

void check_output(const std::string& path) {
  format_for_path(path);
  if (path == "-") {
    if (isatty(STDOUT_FILENO))
      throw Failure("stdout is a terminal: not writing image data to it (redirect it, or name an output file)");
    return;
  }
  resolve_target(path);
}

void save_image(const Image& image, const std::string& path, const WriteOptions& options) {
  const Format format = format_for_path(path);
  if (path == "-") return write_stdout(image);
  const Target target = resolve_target(path);
  const size_t slash = target.path.find_last_of('/');
  const std::string temp =
      (slash == std::string::npos ? std::string() : target.path.substr(0, slash + 1)) + ".kvfx-XXXXXX";
  if (temp.size() >= sizeof g_temp) throw Failure("cannot write " + path + ": " + why(ENAMETOOLONG));
  int fd;
  {
    SignalsHeld held;
    std::memcpy(g_temp, temp.c_str(), temp.size() + 1);
    fd = mkstemp(g_temp);
    if (fd >= 0) g_temp_live = 1;
  }
  if (fd < 0) throw Failure("cannot write " + path + ": " + why(errno));
  auto discard = [&](const std::string& reason) {
    close(fd);
    SignalsHeld held;
    unlink(g_temp);
    g_temp_live = 0;
    return Failure("cannot write " + path + ": " + reason);
  };
  // The replaced file's permission bits (and owner, where allowed) carry
  // over; a new file gets what a plain create would give.
  mode_t mode;
  if (target.exists) {
    mode = target.st.st_mode & 07777;
    if ((target.st.st_uid != geteuid() || target.st.st_gid != getegid()) &&
        fchown(fd, target.st.st_uid, target.st.st_gid) != 0)
      mode &= ~mode_t{S_ISUID | S_ISGID};
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (fchmod(fd, mode) != 0) throw discard(why(errno));
  try {
    FdSink sink(fd);
    encode(image, format, sink, options);
  } catch (const Failure& e) {
    throw discard(e.what());
  } catch (const std::bad_alloc&) {
    throw discard("out of memory");
  }
  if (close(fd) != 0) {
    const int e = errno;
    SignalsHeld held;
    unlink(g_temp);
    g_temp_live = 0;
    throw Failure("cannot write " + path + ": " + why(e));
  }
  SignalsHeld held;
  if (std::rename(g_temp, target.path.c_str()) != 0) {
    const int e = errno;
    unlink(g_temp);
    g_temp_live = 0;
    throw Failure("cannot write " + path + ": " + why(e));
  }
  g_temp_live = 0;
}

std::string codec_versions() {
  std::string v = std::string("libpng ") + png_get_libpng_ver(nullptr);
#ifdef KVFX_HAVE_JPEG
  v += ", libjpeg " + std::to_string(JPEG_LIB_VERSION / 10) +
       (JPEG_LIB_VERSION % 10 ? std::string(1, static_cast<char>('a' + JPEG_LIB_VERSION % 10 - 1)) : "");
#else
  v += ", no JPEG";
#endif
  return v;
}

void install_signal_cleanup() {
  for (int sig : kCleanupSignals) {
    struct sigaction old;
    // A signal the caller chose to ignore (nohup, a background job) stays so.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = remove_temp_and_die;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace kvfx_tool
