#include "frame_words.h"

#include <cstring>
#include <new>
#include <vector>

#include "kelvo_fx.h"
#include "straight_alpha.h"

namespace kvfx_gst {
namespace {

using kvfx_catalogue::Held;

int32_t run_on_words(const kvfx_catalogue::Effect& effect, const double* args, uint32_t* words,
                     int32_t width, int32_t height, int32_t stride, FrameAlpha alpha,
                     int32_t threads) {
  const size_t n = static_cast<size_t>(height) * static_cast<size_t>(stride / 4);
  // Only an effect whose colour reads alpha needs the padding byte made
  // opaque; the others carry it along as a channel of its own, and a pass
  // over the whole frame on the streaming thread costs about what the
  // colour effects themselves cost.
  if (alpha == FrameAlpha::kPadding && effect.alpha == kvfx_catalogue::Alpha::kInColour)
    for (size_t i = 0; i < n; ++i) words[i] |= 0xFF000000u;
  // A single element is a chain of one: straight in, converted to what the
  // effect wants, and straight again on the way out.
  const Held wanted = kvfx_catalogue::wanted_by(effect);
  const bool convert = alpha == FrameAlpha::kStraight && wanted != Held::kStraight;
  if (convert) kvfx_catalogue::convert_words(words, n, Held::kStraight, wanted);
  const int32_t rc =
      threads == 1 ? effect.call(words, width, height, stride, args, nullptr)
                   : effect.parallel_call(words, width, height, stride, args, nullptr, threads);
  if (convert) kvfx_catalogue::convert_words(words, n, wanted, Held::kStraight);
  return rc;
}

}  // namespace

bool is_word_run(const FrameView& f) {
  return reinterpret_cast<uintptr_t>(f.data) % 4 == 0 && f.stride % 4 == 0 &&
         f.stride >= 4 * static_cast<int64_t>(f.width) &&
         f.available >= static_cast<size_t>(f.stride) * static_cast<size_t>(f.height);
}

int32_t run_effect(const kvfx_catalogue::Effect& effect, const double* args, const FrameView& f,
                   FrameAlpha alpha, int32_t threads) {
  if (f.width <= 0 || f.height <= 0 || f.stride < 4 * static_cast<int64_t>(f.width))
    return FX_ERR_INVALID_ARGUMENT;
  const size_t row_bytes = 4 * static_cast<size_t>(f.width);
  const size_t stride = static_cast<size_t>(f.stride);
  if (f.available < stride * static_cast<size_t>(f.height - 1) + row_bytes)
    return FX_ERR_INVALID_ARGUMENT;

  if (is_word_run(f))
    return run_on_words(effect, args, reinterpret_cast<uint32_t*>(f.data), f.width, f.height,
                        f.stride, alpha, threads);

  // The same stride (rounded up to words), so the grain of a frame whose
  // last row lacks its padding matches that of a full one.
  const size_t copy_stride = (stride + 3) & ~size_t{3};
  if (copy_stride > INT32_MAX) return FX_ERR_INVALID_ARGUMENT;
  std::vector<uint32_t> copy;
  try {
    copy.assign(copy_stride / 4 * static_cast<size_t>(f.height), 0);
  } catch (const std::bad_alloc&) {
    return FX_ERR_OUT_OF_MEMORY;
  }
  auto* bytes = reinterpret_cast<uint8_t*>(copy.data());
  for (int32_t y = 0; y < f.height; ++y)
    std::memcpy(bytes + y * copy_stride, f.data + y * stride, row_bytes);
  const int32_t rc = run_on_words(effect, args, copy.data(), f.width, f.height,
                                  static_cast<int32_t>(copy_stride), alpha, threads);
  if (rc == FX_OK)
    for (int32_t y = 0; y < f.height; ++y)
      std::memcpy(f.data + y * stride, bytes + y * copy_stride, row_bytes);
  return rc;
}

}  // namespace kvfx_gst
