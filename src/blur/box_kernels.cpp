#include "blur/box_kernels.h"
#include "blur/box_kernels_narrow.h"
#include "blur/box_strip.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "core/kernels.h"

namespace kvfx {
namespace {

// ---- Any box, generic: int32 sums and the double product -------------------
//
// Lanes follow the words' bytes in memory, as in the narrow kernels (see
// box_kernels_narrow.h); the conversion is trunc(S * k) itself.

using narrow::bytes_of;
using narrow::channel_of_byte;

KVFX_INLINE void run_span_any(const uint32_t* add, const uint32_t* sub, int32_t count, int32_t* w,
                              const BoxScale& scale, uint32_t* b) {
  constexpr int kBlock = 4 * narrow::kNarrowBlock;
  int32_t carry[4];
  for (int i = 0; i < 4; ++i) carry[i] = w[channel_of_byte(i)];
  const uint8_t* a = bytes_of(add);
  const uint8_t* d = bytes_of(sub);
  uint8_t* o = bytes_of(b);
  const double k = scale.k;
  const int64_t lanes = 4 * int64_t{count};
  for (int64_t i0 = 0; i0 < lanes; i0 += kBlock) {
    const int n = static_cast<int>(std::min<int64_t>(kBlock, lanes - i0));
    int32_t s[kBlock];
    for (int i = 0; i < n; ++i) s[i] = int32_t{a[i0 + i]} - int32_t{d[i0 + i]};
    for (int j = 0; j < n; j += 4)
      for (int i = 0; i < 4; ++i) s[j + i] = carry[i] += s[j + i];
    for (int i = 0; i < n; ++i) o[i0 + i] = static_cast<uint8_t>(box_sum_to_byte(s[i], k));
  }
  for (int i = 0; i < 4; ++i) w[channel_of_byte(i)] = carry[i];
}

KVFX_INLINE void accumulate_any(void* block, const uint32_t* row, int32_t n, int32_t times) {
  int32_t* sums = static_cast<int32_t*>(block);
  const uint8_t* a = bytes_of(row);
  for (int64_t i = 0; i < 4 * int64_t{n}; ++i) sums[i] += times * int32_t{a[i]};
}

KVFX_INLINE void emit_any(const void* block, uint32_t* out, int32_t n, const BoxScale& scale) {
  const int32_t* sums = static_cast<const int32_t*>(block);
  uint8_t* o = bytes_of(out);
  const double k = scale.k;
  for (int64_t i = 0; i < 4 * int64_t{n}; ++i) o[i] = static_cast<uint8_t>(box_sum_to_byte(sums[i], k));
}

KVFX_INLINE void slide_and_emit_any(void* block, const uint32_t* add, const uint32_t* sub,
                                    uint32_t* out, int32_t n, const BoxScale& scale) {
  int32_t* sums = static_cast<int32_t*>(block);
  const uint8_t* a = bytes_of(add);
  const uint8_t* d = bytes_of(sub);
  uint8_t* o = bytes_of(out);
  const double k = scale.k;
  for (int64_t i = 0; i < 4 * int64_t{n}; ++i) {
    sums[i] += int32_t{a[i]} - int32_t{d[i]};
    o[i] = static_cast<uint8_t>(box_sum_to_byte(sums[i], k));
  }
}

const BoxKernels kPortable = {
    AtEachLevel<run_span_any>::portable, AtEachLevel<accumulate_any>::portable,
    AtEachLevel<slide_and_emit_any>::portable, AtEachLevel<emit_any>::portable};

const BoxKernels kPortableNarrow = {
    AtEachLevel<narrow::run_span>::portable, AtEachLevel<narrow::accumulate>::portable,
    AtEachLevel<narrow::slide_and_emit>::portable, AtEachLevel<narrow::emit>::portable};

// Rows shorter than their window: each output straight from the clamped
// window, counting the positions beyond an end as copies of the end word.
// O(n) per row whatever r is; p holds 4 (n + 1) prefix sums.
void clamped_row(const uint32_t* a, uint32_t* b, int32_t n, int32_t r, double k,
                 uint32_t* p) {
  for (int c = 0; c < 4; ++c) p[c] = 0;
  for (int32_t i = 0; i < n; ++i)
    for (int c = 0; c < 4; ++c) p[4 * i + 4 + c] = p[4 * i + c] + lane(a[i], c);
  for (int32_t j = 0; j < n; ++j) {
    const int64_t lo = int64_t{j} - r, hi = int64_t{j} + r;
    const int64_t left = lo < 0 ? -lo : 0, right = hi > n - 1 ? hi - (n - 1) : 0;
    const int64_t in_lo = std::max<int64_t>(lo, 0), in_hi = std::min<int64_t>(hi, n - 1);
    uint32_t w = 0;
    for (int c = 0; c < 4; ++c) {
      const int64_t s = left * lane(a[0], c) + right * lane(a[n - 1], c) +
                        int64_t{p[4 * (in_hi + 1) + c]} - int64_t{p[4 * in_lo + c]};
      w |= box_sum_to_byte(s, k) << (8 * c);
    }
    b[j] = w;
  }
}

}  // namespace

BoxScale box_scale_for(int32_t r) {
  const int64_t d = 2 * int64_t{r} + 1;
  BoxScale s;
  s.k = 1.0 / static_cast<double>(d);
  s.kf = static_cast<float>(s.k);
  // floor(S / d) is what trunc(S * k) gives, except at multiples q * d where
  // the double product falls just below q (10 of the widths up to 257 do
  // that for some q). For d <= 257, S <= 255 d < 2^16, and S * kf + 1/512
  // in single precision lies within 5e-5 of S / d + 1/512, which keeps every
  // quotient's floor: multiples land above q, and other sums stay at least
  // 1/d - 1/512 - 5e-5 below the next integer.
  s.fits16 = d <= 257;
  s.lossy = false;
  for (auto& bits : s.loss_bits) bits = 0;
  for (int64_t q = 0; s.fits16 && q < 256; ++q) {
    if (box_sum_to_byte(q * d, s.k) != static_cast<uint32_t>(q)) {
      s.lossy = true;
      s.loss_bits[q >> 4] = static_cast<uint16_t>(s.loss_bits[q >> 4] | (1u << (q & 15)));
    }
  }
  // The lossy q by rule (see loss_mantissa): checked for every q, and a
  // width where it would not hold (none up to 257 does) keeps to the wide
  // kernels.
  s.loss_mantissa = 256;
  for (int64_t q = 1; s.lossy && q < 256; ++q)
    if (box_sum_to_byte(q * d, s.k) != static_cast<uint32_t>(q) && narrow::narrow_mantissa(int16_t(q)) != 128)
      s.loss_mantissa = std::min<uint16_t>(s.loss_mantissa, uint16_t(narrow::narrow_mantissa(int16_t(q))));
  // The multiplier rules on lanes of multiples q * d, exactly as the kernels
  // apply them.
  auto rule_holds = [&](bool from_sum, uint16_t g) {
    for (int64_t q = 0; q < 256; ++q) {
      const uint16_t sum = static_cast<uint16_t>(q * d);
      const uint16_t b = narrow::mulhi16(from_sum ? sum : static_cast<uint16_t>(q), g);
      const bool loses = box_sum_to_byte(q * d, s.k) != static_cast<uint32_t>(q);
      if (narrow::lane_loses(sum, static_cast<uint16_t>(q), b, static_cast<uint16_t>(d)) != loses)
        return false;
    }
    return true;
  };
  s.loss_multiplier = 0;
  s.sum_loss_multiplier = 0;
  s.sum_loss_inverse = 0;
  if (s.lossy && s.fits16) {
    for (int64_t q = 0; q < 256; ++q) {
      const bool loses = box_sum_to_byte(q * d, s.k) != static_cast<uint32_t>(q);
      if (loses != narrow::narrow_rule_loses(int16_t(q), int16_t(s.loss_mantissa))) s.fits16 = false;
    }
    s.loss_multiplier = static_cast<uint16_t>(((int64_t{1} << 23) + s.loss_mantissa - 1) /
                                              s.loss_mantissa);
    if (!rule_holds(false, s.loss_multiplier)) s.fits16 = false;
    // The rule from the sum alone (narrow::sum_loss_mask) also needs d < 256
    // and b below 256 for every sum.
    const int64_t near = (int64_t{1} << 23) / (int64_t{s.loss_mantissa} * d);
    for (int64_t g = std::max<int64_t>(1, near - 2); g <= near + 8 && !s.sum_loss_multiplier; ++g)
      if (d < 256 && ((255 * d * g) >> 16) < 256 && rule_holds(true, static_cast<uint16_t>(g)))
        s.sum_loss_multiplier = static_cast<uint16_t>(g);
    if (s.sum_loss_multiplier) {
      uint32_t inverse = static_cast<uint32_t>(d);  // Newton's steps: 3, 6, 12, 24 bits
      for (int i = 0; i < 4; ++i) inverse *= 2u - static_cast<uint32_t>(d) * inverse;
      s.sum_loss_inverse = static_cast<uint16_t>(0u - inverse);
    }
  }
  s.exact_in_float = s.fits16 && !s.lossy;
  // Unsigned division by a constant for 16-bit dividends (exact for every
  // S < 2^16): l = ceil(log2 d), magic = floor(2^16 (2^l - d) / d) + 1.
  s.divisor = s.fits16 ? static_cast<uint16_t>(d) : 0;
  s.magic = 0;
  s.shift = 0;
  if (s.fits16) {
    int32_t l = 0;
    while ((int64_t{1} << l) < d) ++l;
    s.magic = static_cast<uint16_t>((int64_t{65536} * ((int64_t{1} << l) - d)) / d + 1);
    s.shift = l - 1;
  }
  // The shorter form rounds 2^k / d up to a 16-bit m; with e = m d - 2^k,
  // S m / 2^k exceeds S / d by S e / (d 2^k), which keeps the floor for every
  // S <= 255 d when 255 d e < 2^k.
  s.short_division = false;
  s.short_magic = 0;
  s.short_shift = 0;
  // (Shifts stay below 16, as the kernels assume: a shift of 16 would only
  // ever give 0.)
  for (int32_t extra = 0; s.fits16 && !s.short_division && extra <= 15; ++extra) {
    const int64_t two_k = int64_t{1} << (16 + extra);
    const int64_t m = (two_k + d - 1) / d;
    if (m > 65535) continue;
    if (255 * d * (m * d - two_k) < two_k) {
      s.short_division = true;
      s.short_magic = static_cast<uint16_t>(m);
      s.short_shift = extra;
    }
  }
  return s;
}

const BoxKernels kBoxKernelsPortableAny = kPortable;
// A build with no vector unit at all (WebAssembly without SIMD128) gains
// nothing from turning strips on their side, and pays for the transposes;
// one lane at a time, the double product is also cheaper than the 16-bit
// division's correction at the lossy widths.
#if defined(__wasm__) && !KVFX_SIMD128
constexpr bool kScalarOnly = true;
#else
constexpr bool kScalarOnly = false;
#endif
const BoxKernelSet kPortableSet = {&kPortable, &kPortableNarrow, !kScalarOnly,
                                   kScalarOnly ? nullptr : AtEachLevel<strip::blur_strip>::portable};

const KernelTable<BoxKernelSet>& box_kernel_table() {
  static const KernelTable<BoxKernelSet> table = {
      &kPortableSet,
#if KVFX_X86
      &kBoxKernelsAvx2, &kBoxKernelsAvx512,
#else
      nullptr, nullptr,
#endif
#if KVFX_NEON
      &kBoxKernelsNeon,
#else
      nullptr,
#endif
#if KVFX_SIMD128
      &kBoxKernelsSimd128};
#else
      nullptr};
#endif
  return table;
}

const BoxKernels& box_kernels(const BoxScale& scale) {
  const BoxKernelSet& set = pick(box_kernel_table());
  const bool narrow = scale.fits16 && set.narrow && (set.narrow_when_lossy || !scale.lossy);
  return narrow ? *set.narrow : *set.any;
}

BoxStripKernel box_strip_kernel(const BoxScale& scale) {
  return scale.fits16 ? pick(box_kernel_table()).strip : nullptr;
}

int64_t box_strip_scratch_words(int32_t n, int32_t r) {
  // Room for a row's two halves side by side, each padded by 2r + 1 words.
  return (int64_t{n} + 4 * int64_t{r} + 3) * kStripRows;
}

int64_t box_row_scratch_words(int32_t n) {
  // A padded row (n + 2r + 1 words with r <= n), the end pads, or the prefix
  // sums, whichever the row needs.
  return std::max<int64_t>(3 * int64_t{n} + 2, 4 * (int64_t{n} + 1));
}

void box_blur_row(const BoxKernels& kern, const uint32_t* a, uint32_t* b,
                  int32_t n, int32_t r, const BoxScale& scale, uint32_t* scratch) {
  if (r > n) {
    // Padding such a row would cost more than the row: work from prefix sums.
    clamped_row(a, b, n, r, scale.k, scratch);
    return;
  }
  // Output j sums a[clamp(j + t, 0, n - 1)] for t = -r .. r. The running sum
  // adds the word entering on the right and drops the one leaving on the
  // left; beyond either end those are copies of the end word.
  int32_t w[4] = {0, 0, 0, 0};
  for (int c = 0; c < 4; ++c) w[c] = (r + 1) * (lane(a[0], c));
  if (n < 2 * r + 2) {
    // Short row: both ends matter at once, so pad a copy of it.
    // e[i] = a[clamp(i - r - 1, 0, n - 1)], i = 0 .. n + 2r.
    uint32_t* e = scratch;
    std::fill(e, e + r + 1, a[0]);
    std::memcpy(e + r + 1, a, sizeof(uint32_t) * static_cast<size_t>(n));
    std::fill(e + r + 1 + n, e + n + 2 * r + 1, a[n - 1]);
    for (int32_t i = r + 1; i <= 2 * r; ++i)
      for (int c = 0; c < 4; ++c) w[c] += (lane(e[i], c));
    kern.run_span(e + 2 * r + 1, e, n, w, scale, b);
    return;
  }
  for (int32_t i = 0; i < r; ++i)
    for (int c = 0; c < 4; ++c) w[c] += (lane(a[i], c));
  uint32_t* first = scratch;          // r + 1 copies of a[0]
  uint32_t* last = scratch + r + 1;   // r copies of a[n - 1]
  std::fill(first, first + r + 1, a[0]);
  std::fill(last, last + r, a[n - 1]);
  const int32_t middle = n - 2 * r - 1;
  kern.run_span(a + r, first, r + 1, w, scale, b);
  kern.run_span(a + 2 * r + 1, a, middle, w, scale, b + r + 1);
  kern.run_span(last, a + middle, r, w, scale, b + n - r);
}

}  // namespace kvfx
