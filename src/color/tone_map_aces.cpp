// ACES filmic tone map. The result for a channel depends only on its value
// and the exposure, so the curve is evaluated 256 times per call into a table
// and the whole run goes through the table.
#include "color/color_effects.h"
#include "core/boundary.h"
#include "core/channel_table.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "kelvo_fx.h"

namespace kvfx {

uint32_t tone_map_channel(uint32_t c, double exposure) {
  const double x = (static_cast<double>(c) / 255.0) * exposure;
  double y = ((x * 2.51 + 0.03) * x) / ((x * 2.43 + 0.59) * x + 0.14);
  // 0 * inf and inf / inf give NaN here, which must land on 1.
  y = clamp_upper_first(y, 0.0, 1.0);
  return channel_to_byte(y * 255.0);
}

uint32_t tone_map_word(uint32_t w, double exposure) {
  return map_rgb(w, [&](uint32_t c) { return tone_map_channel(c, exposure); });
}


// Split: the run cut into equal spans of words.
int32_t tone_map_aces(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                      double exposure, Runner& runner) {
  return run_effect(entry::kToneMapAces, pixels, width, height, stride, [&](const Buffer& b) {
    const ChannelTable table =
        make_channel_table([&](uint32_t c) { return tone_map_channel(c, exposure); });
    const int pieces = pieces_for(runner, channel_table_work(b.run_count), b.run_count);
    runner.run(pieces, [&](int i) {
      const Span words = span_of(b.run_count, pieces, i);
      apply_channel_table(pixels + words.begin, words.end - words.begin, table);
    });
  });
}

}  // namespace kvfx
