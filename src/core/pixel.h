// Pixel words and the conversions every effect shares.
//
// A channel is addressed by its bit position in the 32-bit word, never by a
// byte's place in memory, so results do not depend on the machine's byte order.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

// Generic code that the vector levels compile into their own kernels: forced
// inline, so it takes the target of the kernel it is inlined into.
#if defined(__GNUC__) || defined(__clang__)
#define KVFX_INLINE inline __attribute__((always_inline))
#else
#define KVFX_INLINE inline
#endif

namespace kvfx {

KVFX_INLINE uint32_t alpha_of(uint32_t w) { return w >> 24; }
KVFX_INLINE uint32_t red_of(uint32_t w) { return (w >> 16) & 0xFFu; }
KVFX_INLINE uint32_t green_of(uint32_t w) { return (w >> 8) & 0xFFu; }
KVFX_INLINE uint32_t blue_of(uint32_t w) { return w & 0xFFu; }

KVFX_INLINE uint32_t pack_argb(uint32_t a, uint32_t r, uint32_t g, uint32_t b) {
  return (a & 0xFFu) << 24 | (r & 0xFFu) << 16 | (g & 0xFFu) << 8 | (b & 0xFFu);
}

// The input's alpha bits with new red, green and blue.
KVFX_INLINE uint32_t with_rgb(uint32_t w, uint32_t r, uint32_t g, uint32_t b) {
  return (w & 0xFF000000u) | (r & 0xFFu) << 16 | (g & 0xFFu) << 8 | (b & 0xFFu);
}

// Upper bound first, so a NaN lands on the upper bound; then truncation.
KVFX_INLINE double clamp_upper_first(double v, double lo, double hi) {
  if (!(v <= hi)) v = hi;
  if (v < lo) v = lo;
  return v;
}

// A double channel value back to a byte: at most 255 (NaN gives 255), at
// least 0, truncated toward zero. Never rounds to nearest. (Through int32,
// which every vector unit converts to, so loops of it vectorize.)
KVFX_INLINE uint32_t channel_to_byte(double v) {
  return static_cast<uint32_t>(static_cast<int32_t>(clamp_upper_first(v, 0.0, 255.0)));
}

// The float and integer forms the vectorized estimates work in: a channel
// byte as a float, and an estimate's integer clamped back to a byte.
KVFX_INLINE float channel_float(uint32_t c) { return static_cast<float>(static_cast<int32_t>(c)); }
KVFX_INLINE uint32_t clamp_to_byte(int32_t v) {
  return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// trunc(x) for |x| < 2^22, as static_cast<int32_t> gives it. WebAssembly's
// vector conversion saturates, which costs several instructions a vector
// where the engine's CPU has no such conversion; rounding toward zero as a
// float and reading the integer from the bits of t + 1.5 * 2^23 (exact, and
// in the binade [2^23, 2^24), whose unit is 1) takes three.
KVFX_INLINE int32_t truncate_small(float x) {
#if defined(__wasm_simd128__)
  const float biased = __builtin_truncf(x) + 12582912.0f;
  int32_t bits;
  std::memcpy(&bits, &biased, sizeof bits);
  return bits - 0x4B400000;
#else
  return static_cast<int32_t>(x);
#endif
}

// Truncation toward zero to a signed 32-bit integer; NaN, infinities and
// values whose truncation lies outside the int32 range give INT32_MIN.
inline int32_t double_to_int32(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// Nearest integer with halves away from zero (2.5 -> 3, -2.5 -> -3), then
// double_to_int32.
inline int32_t round_to_int32(double v) { return double_to_int32(std::round(v)); }

}  // namespace kvfx

namespace kvfx {

// Applies a per-channel map to red, green and blue; alpha is kept.
template <class Map>
KVFX_INLINE uint32_t map_rgb(uint32_t w, Map map) {
  return with_rgb(w, map(red_of(w)), map(green_of(w)), map(blue_of(w)));
}

}  // namespace kvfx
