// Row kernels of the box blur, in a portable form and in vector forms that
// give identical words. Lane c of a word is bits 8c .. 8c + 7 (blue, green,
// red, alpha); sums keep four int32 lanes per word in that order. All sums are
// exact window sums of bytes, at most 255 * (2r + 1) < 2^31.
#pragma once

#include <cstdint>

#include "core/cpu.h"
#include "core/pixel.h"

namespace kvfx {

// Lane c of a word: bits 8c .. 8c + 7 (blue, green, red, alpha for c = 0..3).
inline int32_t lane(uint32_t w, int c) { return static_cast<int32_t>((w >> (8 * c)) & 0xFFu); }

// A window sum to its byte: trunc(S * k), k = 1.0 / (2r + 1) as a double.
// The exact sum times the one rounded reciprocal, never a division. (The
// product lies in 0 .. 255; truncating through int32 lets loops of it
// vectorize.)
KVFX_INLINE uint32_t box_sum_to_byte(int64_t s, double k) {
  return static_cast<uint32_t>(static_cast<int32_t>(static_cast<double>(s) * k));
}

// How a window sum S becomes a byte: trunc(S * k) with k = 1.0 / (2r + 1).
// That is floor(S / d), d = 2r + 1, except at a few multiples q * d where the
// double product falls just below q (for 10 of the widths up to 257). The
// vector kernels may compute it as
//   - single precision, when `exact_in_float` (no such multiple for this d);
//   - 16-bit integers, when `fits16` (d <= 257, so S < 2^16): a multiply-shift
//     floor(S / d), then one less where S = q * d and bit q of `loss_bits`
//     (equivalently, q's mantissa passes the `loss_mantissa` rule).
struct BoxScale {
  double k;
  float kf;
  bool exact_in_float;
  bool fits16;
  uint16_t divisor;     // d, when fits16
  uint16_t magic;       // floor(S / d) = (t + ((S - t) >> 1)) >> shift,
  int32_t shift;        //   t = (S * magic) >> 16
  bool short_division;  // also floor(S / d) = ((S * short_magic) >> 16) >> short_shift
  uint16_t short_magic; //   for every S <= 255 d (most widths up to 201)
  int32_t short_shift;
  bool lossy;
  uint16_t loss_bits[16];
  // The lossy multiples q * d by rule rather than table: q >= 1 whose 8-bit
  // mantissa (q shifted left until bit 7 is set) is 128 (a power of two) or
  // at least loss_mantissa. box_scale_for checks the rule against every q.
  uint16_t loss_mantissa;
  // The same multiples by a multiply, for lanes that cannot each shift by
  // their own count: q >= 1 loses where b ^ (q - 1) <= b (16-bit unsigned),
  // b = (q * loss_multiplier) >> 16, loss_multiplier = ceil(2^23 /
  // loss_mantissa). That is b >= 2^e for the e with 2^e <= q - 1 < 2^(e + 1)
  // (b is below 2^(e + 1)): q * 128 / loss_mantissa reaches the octave of
  // q - 1, which is the mantissa rule with powers of two at the top of the
  // octave below them, q = 1 (b = 0 = q - 1) always and q = 0 never.
  // Checked against every q too; a width where it would not hold (none up
  // to 257) keeps to the wide kernels.
  uint16_t loss_multiplier;
  // Where the same rule holds with b = (S * sum_loss_multiplier) >> 16 for
  // every multiple S = q * d, the multiplier (about 2^23 / (loss_mantissa
  // d)); 0 where none does (2 of the 10 lossy widths up to 257). b then
  // comes from the sum, not from another product's high half.
  uint16_t sum_loss_multiplier;
  // With it, -1 / d mod 2^16 (d is odd), which lets the rule skip the
  // quotient and its multiple test (narrow::sum_loss_mask); box_scale_for
  // takes a sum_loss_multiplier only where that holds.
  uint16_t sum_loss_inverse;
};

BoxScale box_scale_for(int32_t r);

// Column sums are kept in a block of 4 * width int32 lanes; the 16-bit
// kernels keep them as 4 * width uint16 lanes in the same block, so the block
// is opaque here.
struct BoxKernels {
  // A running window sum along a row: for j = 0 .. count - 1,
  // w += lanes(add[j]) - lanes(sub[j]) and b[j] = bytes of w. w (four lanes)
  // carries the sum from one span of a row to the next.
  void (*run_span)(const uint32_t* add, const uint32_t* sub, int32_t count,
                   int32_t* w, const BoxScale& scale, uint32_t* b);
  // sums += times * lanes of row[0 .. n - 1].
  void (*accumulate)(void* sums, const uint32_t* row, int32_t n, int32_t times);
  // sums += lanes(add) - lanes(sub), then out = bytes of sums, per word.
  void (*slide_and_emit)(void* sums, const uint32_t* add, const uint32_t* sub,
                         uint32_t* out, int32_t n, const BoxScale& scale);
  // out = bytes of sums, per word.
  void (*emit)(const void* sums, uint32_t* out, int32_t n, const BoxScale& scale);
};

// Rows blurred along the row at once by a strip kernel (box_strip.h).
constexpr int kStripRows = 8;

// The horizontal half for kStripRows rows at once: rows in + i * in_stride
// of n words into out + i * out_stride (strides at least n), radius r,
// windows clamped to the row; scratch holds box_strip_scratch_words(n, r).
using BoxStripKernel = void (*)(const uint32_t* in, int64_t in_stride, uint32_t* out,
                                int64_t out_stride, int32_t n, int32_t r,
                                const BoxScale& scale, uint32_t* scratch);

int64_t box_strip_scratch_words(int32_t n, int32_t r);

// A level's kernels: for any box, and (or nullptr) for boxes whose sums fit
// 16 bits, lossy widths included or not (their correction may cost more than
// the narrow lanes save); and (or nullptr) a strip kernel that takes the
// horizontal half of boxes whose sums fit 16 bits in place of run_span.
struct BoxKernelSet {
  const BoxKernels* any;
  const BoxKernels* narrow;
  bool narrow_when_lossy;
  BoxStripKernel strip;
};

// The kernels the active level runs for this box.
const BoxKernels& box_kernels(const BoxScale& scale);

// The strip kernel the active level runs for this box's horizontal half, or
// nullptr where it blurs rows one at a time with run_span.
BoxStripKernel box_strip_kernel(const BoxScale& scale);

// The portable kernels for any box, which other levels may keep for wide ones.
extern const BoxKernels kBoxKernelsPortableAny;
#if KVFX_X86
extern const BoxKernelSet kBoxKernelsAvx2;
extern const BoxKernelSet kBoxKernelsAvx512;
#endif
#if KVFX_NEON
extern const BoxKernelSet kBoxKernelsNeon;
#endif
#if KVFX_SIMD128
extern const BoxKernelSet kBoxKernelsSimd128;
#endif

// Words of scratch that box_blur_row needs for rows of up to n words.
int64_t box_row_scratch_words(int32_t n);

// The horizontal half for one row of n words with radius r, windows clamped
// to the row (short rows included). `scratch` holds box_row_scratch_words(n).
void box_blur_row(const BoxKernels& kern, const uint32_t* a, uint32_t* b,
                  int32_t n, int32_t r, const BoxScale& scale, uint32_t* scratch);

}  // namespace kvfx
