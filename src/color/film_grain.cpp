// Film grain: one xorshift32 step per word of the whole run, padding
// included, so a call is reproducible from seed, amount and geometry.
#include "color/color_effects.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "kelvo_fx.h"

namespace kvfx {

uint32_t xorshift32_step(uint32_t state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

uint32_t film_grain_start_state(int32_t seed) {
  // xorshift never leaves 0, so 0 cannot be a seed.
  return seed == 0 ? 123456789u : static_cast<uint32_t>(seed);
}

uint32_t film_grain_word(uint32_t w, uint32_t state, double amplitude) {
  const double u = static_cast<double>(state & 0xFFFFu) / 65535.0;
  const double noise = ((u + u) - 1.0) * amplitude;
  return map_rgb(w, [&](uint32_t c) {
    return channel_to_byte(static_cast<double>(c) + noise);
  });
}

}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_film_grain(uint32_t* pixels, int32_t width,
                                              int32_t height, int32_t stride,
                                              double amount, int32_t seed) {
  if (!pixels || width <= 0 || height <= 0) return FX_ERR_INVALID_ARGUMENT;
  const int64_t n = kvfx::run_count_of(height, stride);
  if (n < 0) return FX_ERR_INVALID_ARGUMENT;
  if (n == 0) return FX_OK;
  return kvfx::guarded([&] {
    uint32_t state = kvfx::film_grain_start_state(seed);
    const double amplitude = amount * 255.0;
    kvfx::walk_run(pixels, n, [&](uint32_t w) {
      state = kvfx::xorshift32_step(state);
      return kvfx::film_grain_word(w, state, amplitude);
    });
    return FX_OK;
  });
}
