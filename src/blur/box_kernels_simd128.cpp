// WebAssembly SIMD128 forms of the 16-bit box kernels: the column kernels and
// the strip kernel of box_strip.h, giving exactly the words of the generic
// ones (the same multiply-shift division and multiplier rules, eight lanes
// per register). The compiler keeps the generic forms' 16-bit high products
// and shifts scalar here (SIMD128 has no 16-bit high multiply, the widened
// 32-bit products are not narrowed back, and a shift by a count held in a
// variable goes one lane at a time), so these are written out: the high
// halves of the two widening products, and the box's shift as one more
// such multiply.
#include "blur/box_kernels.h"

#if KVFX_SIMD128

#include <wasm_simd128.h>

#include <algorithm>
#include <type_traits>

#include "blur/box_kernels_narrow.h"
#include "core/kernels.h"

namespace kvfx {
namespace {

// The division's constants. Its shift is a multiply by 2^(16 - shift) that
// keeps the high half: the compiler turns a shift of 16-bit lanes by a count
// held in a variable into one lane at a time.
struct Division {
  v128_t magic, divisor, multiplier, inverse, one, power;
};

Division division(const BoxScale& sc) {
  const narrow::NarrowDivision dv = narrow::narrow_division(sc);
  const uint16_t g = sc.lossy ? narrow::loss_rule_multiplier(sc) : 0;
  const uint16_t power = dv.shift > 0 ? static_cast<uint16_t>(1u << (16 - dv.shift)) : 0;
  return {wasm_u16x8_splat(dv.magic), wasm_u16x8_splat(dv.divisor), wasm_u16x8_splat(g),
          wasm_u16x8_splat(dv.sum_loss_inverse), wasm_u16x8_splat(1), wasm_u16x8_splat(power)};
}

// The high halves of the two widening products, by shifts and a pack (a
// two-register shuffle costs engines more).
inline v128_t mulhi(v128_t a, v128_t b) {
  const v128_t lo = wasm_u32x4_extmul_low_u16x8(a, b), hi = wasm_u32x4_extmul_high_u16x8(a, b);
  return wasm_u16x8_narrow_i32x4(wasm_u32x4_shr(lo, 16), wasm_u32x4_shr(hi, 16));
}

// The forms of a box's division: short or long multiply-shift, and where
// lossy, the rule from the sum or from the quotient.
using narrow::Loss;

// kShort: the short multiply-shift; kShift: a shift after it (every long one
// has one).
template <bool kShort, bool kShift, Loss kLoss>
inline v128_t divide(v128_t s, const Division& dv) {
  const v128_t t = mulhi(s, dv.magic);
  v128_t q = kShort ? t : wasm_i16x8_add(t, wasm_u16x8_shr(wasm_i16x8_sub(s, t), 1));
  if (kShift) q = mulhi(q, dv.power);
  if (kLoss == Loss::kFromSum) {  // narrow::sum_loss_mask: y >= ~b as a saturating y + b
    const v128_t b = mulhi(s, dv.multiplier);
    const v128_t y = wasm_v128_xor(b, wasm_i16x8_mul(s, dv.inverse));
    q = wasm_i16x8_add(q, wasm_i16x8_eq(wasm_u16x8_add_sat(y, b), wasm_i16x8_splat(-1)));
  } else if (kLoss == Loss::kFromQuotient) {
    const v128_t b = mulhi(q, dv.multiplier);
    const v128_t multiple = wasm_i16x8_eq(wasm_i16x8_mul(q, dv.divisor), s);
    const v128_t rule = wasm_u16x8_le(wasm_v128_xor(b, wasm_i16x8_sub(q, dv.one)), b);
    q = wasm_i16x8_add(q, wasm_v128_and(multiple, rule));  // all ones: one less
  }
  return q;
}

// The multiply-shifts: short without a shift, short with one, long.
constexpr int kShortForm = 0, kShortShifted = 1, kLongForm = 2;
constexpr bool is_short(int form) { return form != kLongForm; }
constexpr bool is_shifted(int form) { return form != kShortForm; }

// Calls body(form, loss) with the box's division form as template arguments.
template <class Body>
void with_form(const BoxScale& sc, Body body) {
  auto pick = [&](auto short_form) {
    narrow::with_loss(sc, [&](auto loss) { body(short_form, loss); });
  };
  if (!sc.short_division) pick(std::integral_constant<int, kLongForm>{});
  else if (sc.short_shift != 0) pick(std::integral_constant<int, kShortShifted>{});
  else pick(std::integral_constant<int, kShortForm>{});
}

inline v128_t load16(const void* p) { return wasm_v128_load(p); }
inline void store16(void* p, v128_t v) { wasm_v128_store(p, v); }

// ---- Column kernels ---------------------------------------------------------

void accumulate_simd128(void* block, const uint32_t* row, int32_t n, int32_t times) {
  uint16_t* sums = static_cast<uint16_t*>(block);
  const uint8_t* a = narrow::bytes_of(row);
  const v128_t t = wasm_u16x8_splat(static_cast<uint16_t>(times));
  const int64_t lanes = 4 * int64_t{n};
  int64_t i = 0;
  for (; i + 16 <= lanes; i += 16) {
    const v128_t v = load16(a + i);
    store16(sums + i, wasm_i16x8_add(load16(sums + i), wasm_i16x8_mul(wasm_u16x8_extend_low_u8x16(v), t)));
    store16(sums + i + 8,
            wasm_i16x8_add(load16(sums + i + 8), wasm_i16x8_mul(wasm_u16x8_extend_high_u8x16(v), t)));
  }
  for (; i < lanes; ++i) sums[i] = static_cast<uint16_t>(sums[i] + times * a[i]);
}

template <int kForm, Loss kLoss>
void slide_and_emit_t(uint16_t* sums, const uint8_t* a, const uint8_t* d, uint8_t* o,
                      int64_t lanes, const BoxScale& sc) {
  const Division dv = division(sc);
  int64_t i = 0;
  for (; i + 16 <= lanes; i += 16) {
    const v128_t va = load16(a + i), vd = load16(d + i);
    const v128_t lo = wasm_i16x8_sub(wasm_i16x8_add(load16(sums + i), wasm_u16x8_extend_low_u8x16(va)),
                                     wasm_u16x8_extend_low_u8x16(vd));
    const v128_t hi = wasm_i16x8_sub(wasm_i16x8_add(load16(sums + i + 8), wasm_u16x8_extend_high_u8x16(va)),
                                     wasm_u16x8_extend_high_u8x16(vd));
    store16(sums + i, lo);
    store16(sums + i + 8, hi);
    store16(o + i, wasm_u8x16_narrow_i16x8(divide<is_short(kForm), is_shifted(kForm), kLoss>(lo, dv), divide<is_short(kForm), is_shifted(kForm), kLoss>(hi, dv)));
  }
  const narrow::NarrowDivision nd = narrow::narrow_division(sc);
  for (; i < lanes; ++i) {
    sums[i] = static_cast<uint16_t>(sums[i] + a[i] - d[i]);
    o[i] = kLoss == Loss::kNone ? narrow::divide_lane<is_short(kForm), false>(sums[i], nd)
                                : narrow::divide_lane<is_short(kForm), true>(sums[i], nd);
  }
}

void slide_and_emit_simd128(void* block, const uint32_t* add, const uint32_t* sub, uint32_t* out,
                            int32_t n, const BoxScale& sc) {
  with_form(sc, [&](auto short_form, auto loss) {
    slide_and_emit_t<decltype(short_form)::value, decltype(loss)::value>(
        static_cast<uint16_t*>(block), narrow::bytes_of(add), narrow::bytes_of(sub),
        narrow::bytes_of(out), 4 * int64_t{n}, sc);
  });
}

template <int kForm, Loss kLoss>
void emit_t(const uint16_t* sums, uint8_t* o, int64_t lanes, const BoxScale& sc) {
  const Division dv = division(sc);
  int64_t i = 0;
  for (; i + 16 <= lanes; i += 16)
    store16(o + i, wasm_u8x16_narrow_i16x8(divide<is_short(kForm), is_shifted(kForm), kLoss>(load16(sums + i), dv),
                                           divide<is_short(kForm), is_shifted(kForm), kLoss>(load16(sums + i + 8), dv)));
  const narrow::NarrowDivision nd = narrow::narrow_division(sc);
  for (; i < lanes; ++i)
    o[i] = kLoss == Loss::kNone ? narrow::divide_lane<is_short(kForm), false>(sums[i], nd)
                                : narrow::divide_lane<is_short(kForm), true>(sums[i], nd);
}

void emit_simd128(const void* block, uint32_t* out, int32_t n, const BoxScale& sc) {
  with_form(sc, [&](auto short_form, auto loss) {
    emit_t<decltype(short_form)::value, decltype(loss)::value>(
        static_cast<const uint16_t*>(block), narrow::bytes_of(out), 4 * int64_t{n}, sc);
  });
}

// ---- The strip kernel ---------------------------------------------------------
//
// As box_strip.h: quads of four rows on their side, running sums along the
// columns, divided as they are made, and back into rows, a chunk of columns
// at a time.

constexpr int kQuads = kStripRows / 4;
constexpr int kChunk = 32;

// Four registers of four words each, rows to columns.
inline void transpose4(v128_t& a, v128_t& b, v128_t& c, v128_t& d) {
  const v128_t ab_lo = wasm_i32x4_shuffle(a, b, 0, 4, 1, 5), ab_hi = wasm_i32x4_shuffle(a, b, 2, 6, 3, 7);
  const v128_t cd_lo = wasm_i32x4_shuffle(c, d, 0, 4, 1, 5), cd_hi = wasm_i32x4_shuffle(c, d, 2, 6, 3, 7);
  a = wasm_i32x4_shuffle(ab_lo, cd_lo, 0, 1, 4, 5);
  b = wasm_i32x4_shuffle(ab_lo, cd_lo, 2, 3, 6, 7);
  c = wasm_i32x4_shuffle(ab_hi, cd_hi, 0, 1, 4, 5);
  d = wasm_i32x4_shuffle(ab_hi, cd_hi, 2, 3, 6, 7);
}

// Four rows from `in` (stride words apart) into columns t + 4x, padded as
// box_strip.h's transpose_in.
void quad_in(const uint32_t* in, int64_t stride, int32_t n, int32_t r, uint32_t* t) {
  for (int64_t p = 0; p <= r; ++p)
    for (int i = 0; i < 4; ++i) t[4 * p + i] = in[i * stride];
  uint32_t* m = t + 4 * (int64_t{r} + 1);
  int64_t x = 0;
  for (; x + 4 <= n; x += 4) {
    v128_t a = load16(in + x), b = load16(in + stride + x), c = load16(in + 2 * stride + x),
           d = load16(in + 3 * stride + x);
    transpose4(a, b, c, d);
    store16(m + 4 * x, a);
    store16(m + 4 * x + 4, b);
    store16(m + 4 * x + 8, c);
    store16(m + 4 * x + 12, d);
  }
  for (; x < n; ++x)
    for (int i = 0; i < 4; ++i) m[4 * x + i] = in[i * stride + x];
  uint32_t* e = m + 4 * int64_t{n};
  for (int64_t p = 0; p < r; ++p)
    for (int i = 0; i < 4; ++i) e[4 * p + i] = in[i * stride + n - 1];
}

// count columns t + 4x back into four rows of `out`.
void quad_out(const uint32_t* t, uint32_t* out, int64_t stride, int count) {
  int x = 0;
  for (; x + 4 <= count; x += 4) {
    v128_t a = load16(t + 4 * x), b = load16(t + 4 * x + 4), c = load16(t + 4 * x + 8),
           d = load16(t + 4 * x + 12);
    transpose4(a, b, c, d);
    store16(out + x, a);
    store16(out + stride + x, b);
    store16(out + 2 * stride + x, c);
    store16(out + 3 * stride + x, d);
  }
  for (; x < count; ++x)
    for (int i = 0; i < 4; ++i) out[i * stride + x] = t[4 * x + i];
}

template <int kForm, Loss kLoss>
void strip_columns(const uint8_t* const* t, int32_t n, int32_t r, uint32_t* out,
                   int64_t out_stride, const BoxScale& sc) {
  const Division dv = division(sc);
  // The window of the column before the first: columns 0 .. 2r.
  v128_t lo[kQuads], hi[kQuads];
  for (int q = 0; q < kQuads; ++q) {
    lo[q] = hi[q] = wasm_i16x8_splat(0);
    for (int64_t p = 0; p <= 2 * int64_t{r}; ++p) {
      const v128_t v = load16(t[q] + 16 * p);
      lo[q] = wasm_i16x8_add(lo[q], wasm_u16x8_extend_low_u8x16(v));
      hi[q] = wasm_i16x8_add(hi[q], wasm_u16x8_extend_high_u8x16(v));
    }
  }
  alignas(16) uint32_t bytes[kQuads][4 * kChunk];
  for (int32_t j0 = 0; j0 < n; j0 += kChunk) {
    const int count = std::min(kChunk, n - j0);
    for (int q = 0; q < kQuads; ++q) {
      const uint8_t* add = t[q] + 16 * (int64_t{j0} + 2 * int64_t{r} + 1);
      const uint8_t* sub = t[q] + 16 * int64_t{j0};
      v128_t l = lo[q], h = hi[q];
      for (int j = 0; j < count; ++j) {
        const v128_t a = load16(add + 16 * j), d = load16(sub + 16 * j);
        l = wasm_i16x8_sub(wasm_i16x8_add(l, wasm_u16x8_extend_low_u8x16(a)), wasm_u16x8_extend_low_u8x16(d));
        h = wasm_i16x8_sub(wasm_i16x8_add(h, wasm_u16x8_extend_high_u8x16(a)), wasm_u16x8_extend_high_u8x16(d));
        store16(bytes[q] + 4 * j,
                wasm_u8x16_narrow_i16x8(divide<is_short(kForm), is_shifted(kForm), kLoss>(l, dv), divide<is_short(kForm), is_shifted(kForm), kLoss>(h, dv)));
      }
      lo[q] = l;
      hi[q] = h;
      quad_out(bytes[q], out + 4 * q * out_stride + j0, out_stride, count);
    }
  }
}

void strip_simd128(const uint32_t* in, int64_t in_stride, uint32_t* out, int64_t out_stride,
                   int32_t n, int32_t r, const BoxScale& sc, uint32_t* scratch) {
  const int64_t columns = int64_t{n} + 2 * int64_t{r} + 1;
  const uint8_t* t[kQuads];
  for (int q = 0; q < kQuads; ++q) {
    uint32_t* plane = scratch + 4 * columns * q;
    quad_in(in + 4 * q * in_stride, in_stride, n, r, plane);
    t[q] = narrow::bytes_of(plane);
  }
  with_form(sc, [&](auto short_form, auto loss) {
    strip_columns<decltype(short_form)::value, decltype(loss)::value>(t, n, r, out, out_stride, sc);
  });
}

const BoxKernels kSimd128Narrow = {AtEachLevel<narrow::run_span>::portable, accumulate_simd128,
                                   slide_and_emit_simd128, emit_simd128};

}  // namespace

// Wide boxes (d > 257) keep the portable kernels; only enormous sigmas
// reach them.
const BoxKernelSet kBoxKernelsSimd128 = {&kBoxKernelsPortableAny, &kSimd128Narrow, true,
                                         strip_simd128};

}  // namespace kvfx

#endif
