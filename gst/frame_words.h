// One effect on one mapped video frame: the part of the elements that knows
// nothing of GStreamer, so it reads as the rule it follows.
//
// A frame whose memory is a proper word run (4-byte aligned, a stride that is
// a whole number of words and memory for height * stride bytes) is handed to
// the library as it is, padding included: the whole-run effects then rewrite
// the padding words too, which the frame owns. Any other frame (a video meta
// may describe one) is worked on through a copy of its visible pixels with the
// stride rounded up to whole words, and only the visible pixels come back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "effect_catalogue.h"

namespace kvfx_gst {

// What the frame's top byte holds.
enum class FrameAlpha {
  kPadding,   // BGRx / xRGB: set to 255 first where the colour reads alpha
  kStraight,  // BGRA / ARGB: straight alpha, premultiplied around the effects that want it
};

struct FrameView {
  uint8_t* data;     // the plane's first byte
  int32_t width;
  int32_t height;
  int32_t stride;    // bytes from one row start to the next, as the frame gives it
  size_t available;  // mapped bytes from data on
};

// Whether the library can work on the frame's own memory.
bool is_word_run(const FrameView& frame);

// Runs `effect` with `args` (catalogue call order) on the frame and returns the
// library's result; FX_ERR_OUT_OF_MEMORY also when a copy cannot be made.
// threads 1 calls the core library on this thread; any other count (0: as
// many as the process may run on) the parallel library, with the same bits.
int32_t run_effect(const kvfx_catalogue::Effect& effect, const double* args,
                   const FrameView& frame, FrameAlpha alpha, int32_t threads);

}  // namespace kvfx_gst
