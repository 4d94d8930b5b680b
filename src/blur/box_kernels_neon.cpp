// arm64 NEON forms of the box kernels on 16-bit sums (d = 2r + 1 <= 257).
// They give exactly the words of the generic narrow kernels: the same exact
// multiply-shift division and the same rules for the lossy multiples, on
// eight lanes (two words) per register. The running sum along a row does
// not vectorize by itself, so its in-register scan is written out here:
// within two words, then across a pair of registers, with only one addition
// carried from one group of four words to the next.
#include "blur/box_kernels.h"

#if KVFX_NEON

#include <arm_neon.h>

#include "blur/box_kernels_narrow.h"

namespace kvfx {
namespace {

// The division's constants, kept in registers across a span.
struct NeonDivision {
  uint16x8_t magic, divisor, loss_mantissa, multiplier, inverse;
  int16x8_t right;  // -shift, for vshlq
};

NeonDivision neon_division(const narrow::NarrowDivision& dv) {
  return {vdupq_n_u16(dv.magic), vdupq_n_u16(dv.divisor),
          vdupq_n_u16(static_cast<uint16_t>(dv.loss_mantissa)),
          vdupq_n_u16(dv.sum_loss_multiplier), vdupq_n_u16(dv.sum_loss_inverse),
          vdupq_n_s16(static_cast<int16_t>(-dv.shift))};
}

using narrow::Loss;

// The high halves of s * m: floor(s * m / 2^16) per lane.
inline uint16x8_t mulhi(uint16x8_t s, uint16x8_t m) {
  const uint32x4_t lo = vmull_u16(vget_low_u16(s), vget_low_u16(m));
  const uint32x4_t hi = vmull_high_u16(s, m);
  return vshrn_high_n_u32(vshrn_n_u32(lo, 16), hi, 16);
}

// narrow_mantissa, in lanes: q (1 .. 255) shifted left until bit 7 is set.
inline uint16x8_t mantissa(uint16x8_t q) {
  q = vbslq_u16(vcltq_u16(q, vdupq_n_u16(16)), vshlq_n_u16(q, 4), q);
  q = vbslq_u16(vcltq_u16(q, vdupq_n_u16(64)), vshlq_n_u16(q, 2), q);
  return vbslq_u16(vcltq_u16(q, vdupq_n_u16(128)), vshlq_n_u16(q, 1), q);
}

// The lossy multiples by narrow::sum_loss_mask (y >= ~b as a saturating y +
// b of all ones) where the box has that rule, else by the mantissa rule.
template <bool kShort, Loss kLoss>
inline uint16x8_t divide(uint16x8_t s, const NeonDivision& dv) {
  const uint16x8_t t = mulhi(s, dv.magic);
  uint16x8_t q = kShort ? t : vaddq_u16(t, vshrq_n_u16(vsubq_u16(s, t), 1));
  q = vshlq_u16(q, dv.right);
  if (kLoss == Loss::kFromSum) {
    const uint16x8_t b = mulhi(s, dv.multiplier);
    const uint16x8_t y = veorq_u16(b, vmulq_u16(s, dv.inverse));
    q = vaddq_u16(q, vceqq_u16(vqaddq_u16(y, b), vdupq_n_u16(0xFFFF)));
  } else if (kLoss == Loss::kFromQuotient) {
    const uint16x8_t m = mantissa(q);
    const uint16x8_t rule = vorrq_u16(vceqq_u16(m, vdupq_n_u16(128)), vcgeq_u16(m, dv.loss_mantissa));
    const uint16x8_t multiple = vceqq_u16(vmulq_u16(q, dv.divisor), s);
    const uint16x8_t lose = vandq_u16(vandq_u16(rule, multiple), vtstq_u16(q, q));
    q = vaddq_u16(q, lose);  // lose is all ones (-1) where a level is lost
  }
  return q;
}

template <bool kShort, Loss kLoss>
void run_span_t(const uint32_t* add, const uint32_t* sub, int32_t count, int32_t* w,
                const BoxScale& scale, uint32_t* b) {
  const narrow::NarrowDivision nd = narrow::narrow_division(scale);
  const NeonDivision dv = neon_division(nd);
  // Lanes follow the bytes in memory; the carried sum is named by channel.
  uint16_t c4[4];
  for (int i = 0; i < 4; ++i) c4[i] = static_cast<uint16_t>(w[narrow::channel_of_byte(i)]);
  uint16x8_t carry = vcombine_u16(vld1_u16(c4), vld1_u16(c4));
  const uint16x8_t zero = vdupq_n_u16(0);
  const uint8_t* a = narrow::bytes_of(add);
  const uint8_t* d = narrow::bytes_of(sub);
  uint8_t* o = narrow::bytes_of(b);
  int32_t j = 0;
  for (; j + 4 <= count; j += 4) {
    const uint8x16_t a16 = vld1q_u8(a + 4 * j), d16 = vld1q_u8(d + 4 * j);
    uint16x8_t lo = vsubl_u8(vget_low_u8(a16), vget_low_u8(d16));  // words j, j + 1
    uint16x8_t hi = vsubl_high_u8(a16, d16);                        // words j + 2, j + 3
    lo = vaddq_u16(lo, vextq_u16(zero, lo, 4));  // + the word before, within the register
    hi = vaddq_u16(hi, vextq_u16(zero, hi, 4));
    const uint16x4_t lo_total = vget_high_u16(lo);
    hi = vaddq_u16(hi, vcombine_u16(lo_total, lo_total));
    lo = vaddq_u16(lo, carry);
    hi = vaddq_u16(hi, carry);
    const uint16x4_t last = vget_high_u16(hi);
    carry = vcombine_u16(last, last);
    const uint8x16_t q = vcombine_u8(vmovn_u16(divide<kShort, kLoss>(lo, dv)),
                                     vmovn_u16(divide<kShort, kLoss>(hi, dv)));
    vst1q_u8(o + 4 * j, q);
  }
  vst1_u16(c4, vget_low_u16(carry));
  for (; j < count; ++j)
    for (int i = 0; i < 4; ++i) {
      c4[i] = static_cast<uint16_t>(c4[i] + a[4 * j + i] - d[4 * j + i]);
      o[4 * j + i] = narrow::divide_lane<kShort, kLoss != Loss::kNone>(c4[i], nd);
    }
  for (int i = 0; i < 4; ++i) w[narrow::channel_of_byte(i)] = c4[i];
}

void run_span_neon(const uint32_t* add, const uint32_t* sub, int32_t count, int32_t* w,
                   const BoxScale& sc, uint32_t* b) {
  narrow::with_form(sc, [&](auto short_form, auto loss) {
    run_span_t<decltype(short_form)::value, decltype(loss)::value>(add, sub, count, w, sc, b);
  });
}

void accumulate_neon(void* block, const uint32_t* row, int32_t n, int32_t times) {
  uint16_t* sums = static_cast<uint16_t*>(block);
  const uint8_t* a = narrow::bytes_of(row);
  const uint16x8_t t = vdupq_n_u16(static_cast<uint16_t>(times));
  const int64_t lanes = 4 * int64_t{n};
  int64_t i = 0;
  for (; i + 8 <= lanes; i += 8)
    vst1q_u16(sums + i, vmlaq_u16(vld1q_u16(sums + i), vmovl_u8(vld1_u8(a + i)), t));
  for (; i < lanes; ++i) sums[i] = static_cast<uint16_t>(sums[i] + times * a[i]);
}

template <bool kShort, Loss kLoss>
void slide_and_emit_t(uint16_t* sums, const uint32_t* add, const uint32_t* sub, uint32_t* out,
                      int32_t count, const BoxScale& scale) {
  const narrow::NarrowDivision nd = narrow::narrow_division(scale);
  const NeonDivision dv = neon_division(nd);
  const uint8_t* a = narrow::bytes_of(add);
  const uint8_t* d = narrow::bytes_of(sub);
  uint8_t* o = narrow::bytes_of(out);
  const int64_t lanes = 4 * int64_t{count};
  int64_t i = 0;
  for (; i + 16 <= lanes; i += 16) {
    const uint8x16_t a16 = vld1q_u8(a + i), d16 = vld1q_u8(d + i);
    const uint16x8_t lo = vsubw_u8(vaddw_u8(vld1q_u16(sums + i), vget_low_u8(a16)), vget_low_u8(d16));
    const uint16x8_t hi = vsubw_high_u8(vaddw_high_u8(vld1q_u16(sums + i + 8), a16), d16);
    vst1q_u16(sums + i, lo);
    vst1q_u16(sums + i + 8, hi);
    vst1q_u8(o + i, vcombine_u8(vmovn_u16(divide<kShort, kLoss>(lo, dv)),
                                vmovn_u16(divide<kShort, kLoss>(hi, dv))));
  }
  for (; i < lanes; ++i) {
    sums[i] = static_cast<uint16_t>(sums[i] + a[i] - d[i]);
    o[i] = narrow::divide_lane<kShort, kLoss != Loss::kNone>(sums[i], nd);
  }
}

void slide_and_emit_neon(void* block, const uint32_t* add, const uint32_t* sub, uint32_t* out,
                         int32_t n, const BoxScale& sc) {
  narrow::with_form(sc, [&](auto short_form, auto loss) {
    slide_and_emit_t<decltype(short_form)::value, decltype(loss)::value>(
        static_cast<uint16_t*>(block), add, sub, out, n, sc);
  });
}

template <bool kShort, Loss kLoss>
void emit_t(const uint16_t* sums, uint32_t* out, int32_t count, const BoxScale& scale) {
  const narrow::NarrowDivision nd = narrow::narrow_division(scale);
  const NeonDivision dv = neon_division(nd);
  uint8_t* o = narrow::bytes_of(out);
  const int64_t lanes = 4 * int64_t{count};
  int64_t i = 0;
  for (; i + 8 <= lanes; i += 8) vst1_u8(o + i, vmovn_u16(divide<kShort, kLoss>(vld1q_u16(sums + i), dv)));
  for (; i < lanes; ++i) o[i] = narrow::divide_lane<kShort, kLoss != Loss::kNone>(sums[i], nd);
}

void emit_neon(const void* block, uint32_t* out, int32_t n, const BoxScale& sc) {
  narrow::with_form(sc, [&](auto short_form, auto loss) {
    emit_t<decltype(short_form)::value, decltype(loss)::value>(static_cast<const uint16_t*>(block),
                                                                out, n, sc);
  });
}

const BoxKernels kNeonNarrow = {run_span_neon, accumulate_neon, slide_and_emit_neon, emit_neon};

}  // namespace

// Wide boxes (d > 257) keep the portable kernels, which the compiler
// vectorizes; only enormous sigmas reach them.
const BoxKernelSet kBoxKernelsNeon = {&kBoxKernelsPortableAny, &kNeonNarrow, true, nullptr};

}  // namespace kvfx

#endif
