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
  uint16_t loss_multiplier, sum_loss_multiplier, sum_loss_inverse;
};

KVFX_INLINE NarrowDivision narrow_division(const BoxScale& sc) {
  return {sc.short_division ? sc.short_magic : sc.magic, sc.divisor,
          static_cast<int16_t>(sc.loss_mantissa), sc.short_division ? sc.short_shift : sc.shift,
          sc.loss_multiplier, sc.sum_loss_multiplier, sc.sum_loss_inverse};
}

// The division's shift, told to the compiler to be below 16 (box_scale_for
// makes it so), which lets it shift 16-bit lanes rather than widen every
// lane to 32 bits for a shift it cannot bound. Taken once, before the loops
// that use it and outside them: a bound tested inside a loop keeps the loop
// from vectorizing, and one tested later than where the value is read does
// not reach the loops.
KVFX_INLINE int narrow_shift(const NarrowDivision& dv) {
  const int shift = dv.shift;
#if defined(__GNUC__) || defined(__clang__)
  if (shift < 0 || shift > 15) __builtin_unreachable();
#endif
  return shift;
}

// floor(a * b / 2^16), the high half of a 16-bit product.
KVFX_INLINE uint16_t mulhi16(uint16_t a, uint16_t b) {
  return static_cast<uint16_t>((uint32_t{a} * b) >> 16);
}

// floor(S / d) for a sum below 2^16.
template <bool kShort>
KVFX_INLINE uint16_t quotient_lane(uint16_t s, uint16_t magic, int shift) {
  const uint16_t t = mulhi16(s, magic);
  const uint16_t half = static_cast<uint16_t>(static_cast<uint16_t>(s - t) >> 1);  // s >= t
  return static_cast<uint16_t>((kShort ? t : static_cast<uint16_t>(t + half)) >> shift);
}

// Whether trunc(S * k) falls one below the quotient q = floor(S / d): S is a
// multiple of d and q a lossy one, by a multiplier rule of BoxScale (a
// multiply, an exclusive or and a compare, all in 16-bit lanes), with b the
// high half of q * loss_multiplier or of S * sum_loss_multiplier.
KVFX_INLINE bool lane_loses(uint16_t s, uint16_t q, uint16_t b, uint16_t divisor) {
  const bool multiple = static_cast<uint16_t>(q * divisor) == s;
  return multiple & (static_cast<uint16_t>(b ^ static_cast<uint16_t>(q - 1)) <= b);
}

// q, one less where the lane loses.
KVFX_INLINE uint16_t corrected(uint16_t s, uint16_t q, uint16_t b, uint16_t divisor) {
  return static_cast<uint16_t>(q + (lane_loses(s, q, b, divisor) ? 0xFFFF : 0));
}

// All ones where trunc(S * k) falls one below floor(S / d), from the sum
// alone (a box with a sum_loss_multiplier g; neg_inverse = -1 / d mod 2^16).
// u = S / d mod 2^16 (S times d's inverse) is the quotient where d divides S,
// and at least 258 where it does not (the multiples below 2^16 take u = 0 ..
// 65535 / d, and 65535 / d >= 257 for d < 256); b = (S * g) >> 16 is below
// 256, so b ^ (u - 1) > b there. lane_loses's b ^ (u - 1) <= b thus holds at
// the lossy multiples only, and with y = b ^ (S * neg_inverse) = ~(b ^ (u -
// 1)) it reads y >= ~b. No quotient is waited for: two multiplies, an
// exclusive or and a compare.
KVFX_INLINE uint16_t sum_loss_mask(uint16_t s, uint16_t g, uint16_t neg_inverse) {
  const uint16_t b = mulhi16(s, g);
  const uint16_t y = static_cast<uint16_t>(b ^ static_cast<uint16_t>(uint32_t{s} * neg_inverse));
  return static_cast<uint16_t>(-static_cast<uint16_t>(y >= static_cast<uint16_t>(~b)));
}

// trunc(S * k) for such a box: floor((S - 1) / d) = q - 1 at the lossy
// multiples S = q d. The sum is moved rather than the quotient, which keeps
// the compilers from narrowing the mask into bytes of its own.
template <bool kShort>
KVFX_INLINE uint16_t sum_rule_quotient(uint16_t s, uint16_t magic, int shift, uint16_t g,
                                       uint16_t neg_inverse) {
  return quotient_lane<kShort>(static_cast<uint16_t>(s + sum_loss_mask(s, g, neg_inverse)), magic,
                               shift);
}

// trunc(S * k) as a byte, for a sum below 2^16, one lane at a time.
template <bool kShort, bool kLossy>
KVFX_INLINE uint8_t divide_lane(uint16_t s, const NarrowDivision& dv) {
  uint16_t q = quotient_lane<kShort>(s, dv.magic, dv.shift);
  if (kLossy) q = corrected(s, q, mulhi16(q, dv.loss_multiplier), dv.divisor);
  return static_cast<uint8_t>(q);
}

// trunc(S * k) as bytes for n sums below 2^16, as loops that vectorize. A
// lossy width whose rule can start from the sum corrects in the same loop;
// one whose rule starts from the quotient does so in a loop of its own, so
// that no multiply takes the high half of another's (which the compilers
// would widen to 32 bits).
template <bool kShort, bool kLossy>
KVFX_INLINE void divide_sums(const uint16_t* __restrict s, uint8_t* __restrict out, int64_t n,
                             const NarrowDivision& dv, int shift) {
  const uint16_t magic = dv.magic, divisor = dv.divisor;
  if (kLossy && dv.sum_loss_multiplier != 0) {
    const uint16_t g = dv.sum_loss_multiplier, inverse = dv.sum_loss_inverse;
    for (int64_t i = 0; i < n; ++i)
      out[i] = static_cast<uint8_t>(sum_rule_quotient<kShort>(s[i], magic, shift, g, inverse));
    return;
  }
  for (int64_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(quotient_lane<kShort>(s[i], magic, shift));
  if (kLossy) {
    const uint16_t g = dv.loss_multiplier;
    for (int64_t i = 0; i < n; ++i) {
      const uint16_t q = out[i];
      out[i] = static_cast<uint8_t>(corrected(s[i], q, mulhi16(q, g), divisor));
    }
  }
}

// divide_sums in this box's form. (No lambda between the shift and its loops:
// a captured copy would lose the bound.)
KVFX_INLINE void divide_sums(const uint16_t* __restrict s, uint8_t* __restrict out, int64_t n,
                             const NarrowDivision& dv, bool short_form, bool lossy, int shift) {
  if (short_form) {
    if (lossy) divide_sums<true, true>(s, out, n, dv, shift);
    else divide_sums<true, false>(s, out, n, dv, shift);
  } else {
    if (lossy) divide_sums<false, true>(s, out, n, dv, shift);
    else divide_sums<false, false>(s, out, n, dv, shift);
  }
}

// Which multiplier rule finds a box's lossy multiples: none (not lossy), the
// rule that starts from the sum, or the one that starts from the quotient.
enum class Loss { kNone, kFromSum, kFromQuotient };

KVFX_INLINE Loss loss_of(const BoxScale& sc) {
  return !sc.lossy ? Loss::kNone : sc.sum_loss_multiplier ? Loss::kFromSum : Loss::kFromQuotient;
}

// The multiplier its rule takes the high half with.
KVFX_INLINE uint16_t loss_rule_multiplier(const BoxScale& sc) {
  return loss_of(sc) == Loss::kFromSum ? sc.sum_loss_multiplier : sc.loss_multiplier;
}

// Calls body(loss) with loss_of(sc) as a std::integral_constant.
template <class Body>
KVFX_INLINE void with_loss(const BoxScale& sc, Body body) {
  switch (loss_of(sc)) {
    case Loss::kNone: body(std::integral_constant<Loss, Loss::kNone>{}); break;
    case Loss::kFromSum: body(std::integral_constant<Loss, Loss::kFromSum>{}); break;
    case Loss::kFromQuotient: body(std::integral_constant<Loss, Loss::kFromQuotient>{}); break;
  }
}

// Calls body(short, loss) with this box's division form as
// std::integral_constants.
template <class Body>
KVFX_INLINE void with_form(const BoxScale& sc, Body body) {
  with_loss(sc, [&](auto loss) {
    sc.short_division ? body(std::true_type{}, loss) : body(std::false_type{}, loss);
  });
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
template <int N>
KVFX_INLINE void span_block(const uint8_t* a, const uint8_t* d, uint8_t* out, int n,
                            uint16_t* carry, const NarrowDivision& dv, bool short_form,
                            bool lossy, int shift) {
  uint16_t s[N];
  for (int i = 0; i < n; ++i) s[i] = static_cast<uint16_t>(a[i] - d[i]);
  // The running sum itself: one word after another, its four lanes side by side.
  for (int j = 0; j < n; j += 4)
    for (int i = 0; i < 4; ++i) s[j + i] = carry[i] = static_cast<uint16_t>(carry[i] + s[j + i]);
  divide_sums(s, out, n, dv, short_form, lossy, shift);
}

KVFX_INLINE void run_span(const uint32_t* add, const uint32_t* sub, int32_t count,
                                 int32_t* w, const BoxScale& scale, uint32_t* b) {
  const NarrowDivision dv = narrow_division(scale);
  const int shift = narrow_shift(dv);
  uint16_t carry[4];
  for (int i = 0; i < 4; ++i) carry[i] = static_cast<uint16_t>(w[channel_of_byte(i)]);
  constexpr int kLanes = 4 * kNarrowBlock;
  const uint8_t* a = bytes_of(add);
  const uint8_t* d = bytes_of(sub);
  uint8_t* o = bytes_of(b);
  const int64_t lanes = 4 * int64_t{count};
  const bool short_form = scale.short_division, lossy = scale.lossy;
  int64_t i = 0;
  for (; i + kLanes <= lanes; i += kLanes)
    span_block<kLanes>(a + i, d + i, o + i, kLanes, carry, dv, short_form, lossy, shift);
  if (i < lanes)
    span_block<kLanes>(a + i, d + i, o + i, static_cast<int>(lanes - i), carry, dv, short_form,
                       lossy, shift);
  for (int k = 0; k < 4; ++k) w[channel_of_byte(k)] = carry[k];
}

KVFX_INLINE void accumulate(void* block, const uint32_t* row, int32_t n, int32_t times) {
  uint16_t* sums = static_cast<uint16_t*>(block);
  const uint8_t* a = bytes_of(row);
  const uint16_t t = static_cast<uint16_t>(times);
  for (int64_t i = 0; i < 4 * int64_t{n}; ++i) sums[i] = static_cast<uint16_t>(sums[i] + t * a[i]);
}

// The column sums moved on and divided in one loop.
template <bool kShort, bool kLossy>
KVFX_INLINE void slide_lanes(uint16_t* __restrict sums, const uint8_t* __restrict a,
                             const uint8_t* __restrict d, uint8_t* __restrict o, int64_t lanes,
                             const NarrowDivision& dv, int shift) {
  const uint16_t magic = dv.magic, g = dv.sum_loss_multiplier, inverse = dv.sum_loss_inverse;
  for (int64_t i = 0; i < lanes; ++i) {
    const uint16_t v = static_cast<uint16_t>(sums[i] + a[i] - d[i]);
    sums[i] = v;
    o[i] = static_cast<uint8_t>(kLossy ? sum_rule_quotient<kShort>(v, magic, shift, g, inverse)
                                       : quotient_lane<kShort>(v, magic, shift));
  }
}

// The lossy boxes whose rule starts from the quotient move a block of sums
// on, then divide it.
constexpr int64_t kSlideBlock = 1024;

KVFX_INLINE void slide_and_emit(void* block, const uint32_t* add, const uint32_t* sub,
                                       uint32_t* out, int32_t count, const BoxScale& scale) {
  const NarrowDivision dv = narrow_division(scale);
  const int shift = narrow_shift(dv);
  uint16_t* sums = static_cast<uint16_t*>(block);
  const int64_t lanes = 4 * int64_t{count};
  const uint8_t* a = bytes_of(add);
  const uint8_t* d = bytes_of(sub);
  uint8_t* o = bytes_of(out);
  if (scale.lossy && dv.sum_loss_multiplier == 0) {
    for (int64_t i0 = 0; i0 < lanes; i0 += kSlideBlock) {
      const int64_t n = std::min(kSlideBlock, lanes - i0);
      uint16_t* s = sums + i0;
      for (int64_t i = 0; i < n; ++i) s[i] = static_cast<uint16_t>(s[i] + a[i0 + i] - d[i0 + i]);
      divide_sums(s, o + i0, n, dv, scale.short_division, true, shift);
    }
  } else if (scale.short_division) {
    if (scale.lossy) slide_lanes<true, true>(sums, a, d, o, lanes, dv, shift);
    else slide_lanes<true, false>(sums, a, d, o, lanes, dv, shift);
  } else {
    if (scale.lossy) slide_lanes<false, true>(sums, a, d, o, lanes, dv, shift);
    else slide_lanes<false, false>(sums, a, d, o, lanes, dv, shift);
  }
}

KVFX_INLINE void emit(const void* block, uint32_t* out, int32_t count, const BoxScale& scale) {
  const NarrowDivision dv = narrow_division(scale);
  const int shift = narrow_shift(dv);
  divide_sums(static_cast<const uint16_t*>(block), bytes_of(out), 4 * int64_t{count}, dv,
              scale.short_division, scale.lossy, shift);
}


}  // namespace narrow
}  // namespace kvfx
