// The box kernels on 16-bit sums in generic form: the portable level's
// kernels (which the compilers vectorize for SSE2, NEON and SIMD128), and the
// per-lane pieces hand-written vector kernels use for their tails.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "blur/box_kernels.h"
#include "core/pixel.h"

namespace kvfx {
namespace narrow {

// For d = 2r + 1 <= 257 every window sum is below 2^16, so sums live in
// 16-bit lanes and become bytes by an exact division: floor(S / d) by
// multiply-shift, then one less where the double product trunc(S * k) falls
// just below a whole quotient (the lossy multiples of BoxScale). Written as
// plain loops over blocks of words for the compiler to vectorize.
//
// All four channels are summed alike and apart, so the lanes follow the
// words' bytes in memory (byte 4j + i of a run is lane i of word j), whatever
// channel a byte holds; only the running sum carried between spans is named
// by channel. Differences wrap in 16 bits, which leaves every true sum exact
// since each lies in 0 .. 65535.

constexpr int kNarrowBlock = 16;  // words of a running sum taken at once

// The channel (lane(w, c)) that byte i of a word in memory holds.
constexpr int channel_of_byte(int i) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return 3 - i;
#else
  return i;
#endif
}

KVFX_INLINE const uint8_t* bytes_of(const uint32_t* w) { return reinterpret_cast<const uint8_t*>(w); }
KVFX_INLINE uint8_t* bytes_of(uint32_t* w) { return reinterpret_cast<uint8_t*>(w); }

// q (1 .. 255) shifted left until bit 7 is set. Signed 16-bit lanes: every
// vector unit compares those.
KVFX_INLINE int16_t narrow_mantissa(int16_t q) {
  q = static_cast<int16_t>(q < 16 ? q << 4 : q);
  q = static_cast<int16_t>(q < 64 ? q << 2 : q);
  q = static_cast<int16_t>(q < 128 ? q << 1 : q);
  return q;
}

// Whether trunc(q * d * k) < q for a lossy width, by the mantissa rule.
KVFX_INLINE bool narrow_rule_loses(int16_t q, int16_t loss_mantissa) {
  const int16_t m = narrow_mantissa(q);
  return q != 0 && (m == 128 || m >= loss_mantissa);
}

// The division's form for one box, fixed for a whole span.
struct NarrowDivision {
  uint16_t magic, divisor;
  int16_t loss_mantissa;
  int shift;
};

KVFX_INLINE NarrowDivision narrow_division(const BoxScale& sc) {
  return {sc.short_division ? sc.short_magic : sc.magic, sc.divisor,
          static_cast<int16_t>(sc.loss_mantissa), sc.short_division ? sc.short_shift : sc.shift};
}

// trunc(S * k) as a byte, for a sum below 2^16.
template <bool kShort, bool kLossy>
KVFX_INLINE uint8_t divide_lane(uint16_t s, const NarrowDivision& dv) {
  const uint16_t t = static_cast<uint16_t>((uint32_t{s} * dv.magic) >> 16);
  const uint16_t half = static_cast<uint16_t>(static_cast<uint16_t>(s - t) >> 1);  // s >= t
  uint16_t q = static_cast<uint16_t>((kShort ? t : static_cast<uint16_t>(t + half)) >> dv.shift);
  if (kLossy) {
    const bool lose = static_cast<uint16_t>(q * dv.divisor) == s &&
                      narrow_rule_loses(static_cast<int16_t>(q), dv.loss_mantissa);
    q = static_cast<uint16_t>(q - lose);
  }
  return static_cast<uint8_t>(q);
}

template <bool kShort, bool kLossy>
KVFX_INLINE void divide_narrow(const uint16_t* s, uint8_t* out, int64_t n, const NarrowDivision& dv) {
  for (int64_t i = 0; i < n; ++i) out[i] = divide_lane<kShort, kLossy>(s[i], dv);
}

// Calls body.template operator()<kShort, kLossy>() for this box's form.
template <class Body>
KVFX_INLINE void with_division(const BoxScale& sc, Body body) {
  if (sc.short_division) {
    if (sc.lossy) body(std::true_type{}, std::true_type{});
    else body(std::true_type{}, std::false_type{});
  } else {
    if (sc.lossy) body(std::false_type{}, std::true_type{});
    else body(std::false_type{}, std::false_type{});
  }
}

// One block of a running sum: n lanes (whole words) of differences scanned
// into sums and divided into bytes. N, the block's size, is fixed, so the
// compiler lays out each full block's loops without tails.
template <int N, bool kShort, bool kLossy>
KVFX_INLINE void span_block(const uint8_t* a, const uint8_t* d, uint8_t* out, int n,
                            uint16_t* carry, const NarrowDivision& dv) {
  uint16_t s[N];
  for (int i = 0; i < n; ++i) s[i] = static_cast<uint16_t>(a[i] - d[i]);
  // The running sum itself: one word after another, its four lanes side by side.
  for (int j = 0; j < n; j += 4)
    for (int i = 0; i < 4; ++i) s[j + i] = carry[i] = static_cast<uint16_t>(carry[i] + s[j + i]);
  for (int i = 0; i < n; ++i) out[i] = divide_lane<kShort, kLossy>(s[i], dv);
}

KVFX_INLINE void run_span(const uint32_t* add, const uint32_t* sub, int32_t count,
                                 int32_t* w, const BoxScale& scale, uint32_t* b) {
  const NarrowDivision dv = narrow_division(scale);
  uint16_t carry[4];
  for (int i = 0; i < 4; ++i) carry[i] = static_cast<uint16_t>(w[channel_of_byte(i)]);
  with_division(scale, [&](auto short_form, auto lossy) {
    constexpr bool kShort = decltype(short_form)::value, kLossy = decltype(lossy)::value;
    constexpr int kLanes = 4 * kNarrowBlock;
    const uint8_t* a = bytes_of(add);
    const uint8_t* d = bytes_of(sub);
    uint8_t* o = bytes_of(b);
    const int64_t lanes = 4 * int64_t{count};
    int64_t i = 0;
    for (; i + kLanes <= lanes; i += kLanes)
      span_block<kLanes, kShort, kLossy>(a + i, d + i, o + i, kLanes, carry, dv);
    if (i < lanes)
      span_block<kLanes, kShort, kLossy>(a + i, d + i, o + i, static_cast<int>(lanes - i), carry, dv);
  });
  for (int i = 0; i < 4; ++i) w[channel_of_byte(i)] = carry[i];
}

KVFX_INLINE void accumulate(void* block, const uint32_t* row, int32_t n, int32_t times) {
  uint16_t* sums = static_cast<uint16_t*>(block);
  const uint8_t* a = bytes_of(row);
  const uint16_t t = static_cast<uint16_t>(times);
  for (int64_t i = 0; i < 4 * int64_t{n}; ++i) sums[i] = static_cast<uint16_t>(sums[i] + t * a[i]);
}

KVFX_INLINE void slide_and_emit(void* block, const uint32_t* add, const uint32_t* sub,
                                       uint32_t* out, int32_t count, const BoxScale& scale) {
  const NarrowDivision dv = narrow_division(scale);
  uint16_t* sums = static_cast<uint16_t*>(block);
  with_division(scale, [&](auto short_form, auto lossy) {
    const int64_t lanes = 4 * int64_t{count};
    const uint8_t* a = bytes_of(add);
    const uint8_t* d = bytes_of(sub);
    uint8_t* o = bytes_of(out);
    for (int64_t i = 0; i < lanes; ++i) {
      const uint16_t v = static_cast<uint16_t>(sums[i] + a[i] - d[i]);
      sums[i] = v;
      o[i] = divide_lane<decltype(short_form)::value, decltype(lossy)::value>(v, dv);
    }
  });
}

KVFX_INLINE void emit(const void* block, uint32_t* out, int32_t count, const BoxScale& scale) {
  const NarrowDivision dv = narrow_division(scale);
  const uint16_t* sums = static_cast<const uint16_t*>(block);
  with_division(scale, [&](auto short_form, auto lossy) {
    divide_narrow<decltype(short_form)::value, decltype(lossy)::value>(sums, bytes_of(out),
                                                                       4 * int64_t{count}, dv);
  });
}


}  // namespace narrow
}  // namespace kvfx
