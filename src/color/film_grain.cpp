// Film grain: one xorshift32 step per word of the whole run, padding
// included, so a call is reproducible from seed, amount and geometry.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "color/color_effects.h"
#include "core/boundary.h"
#include "core/geometry.h"
#include "core/pixel.h"
#include "color/grain_unit.h"
#include "core/kernels.h"
#include "core/simd.h"
#include "kelvo_fx.h"


namespace kvfx {

uint32_t film_grain_start_state(int32_t seed) {
  // xorshift never leaves 0, so 0 cannot be a seed.
  return seed == 0 ? 123456789u : static_cast<uint32_t>(seed);
}

namespace {

// xorshift32 is linear over GF(2), so n steps at once are a 32 x 32 bit
// matrix: column j is where the state with only bit j set lands.
struct StepMatrix {
  uint32_t column[32];
  uint32_t operator()(uint32_t s) const {
    uint32_t r = 0;
    for (int j = 0; j < 32; ++j) r ^= column[j] & (0u - ((s >> j) & 1u));
    return r;
  }
};

// The matrix of n steps, by squaring.
StepMatrix xorshift_steps(uint64_t n) {
  StepMatrix power, result;
  for (int j = 0; j < 32; ++j) {
    power.column[j] = xorshift32_step(1u << j);
    result.column[j] = 1u << j;
  }
  for (; n != 0; n >>= 1) {
    if (n & 1) {
      StepMatrix next;
      for (int j = 0; j < 32; ++j) next.column[j] = power(result.column[j]);
      result = next;
    }
    StepMatrix square;
    for (int j = 0; j < 32; ++j) square.column[j] = power(power.column[j]);
    power = square;
  }
  return result;
}

// Amplitudes for which the channels can be moved in integers. Write d for
// the double noise of the one-word formula and F for floor(d). When d is not
// within 2^-42 of the integer above it and |C + d| < 2^11 (C a channel),
// channel_to_byte(C + d) is clamp(C + F, 0, 255): C + d is (C + F) + f with
// 0 <= f < 1, and at that size a double is spaced 2^-41 or finer, so
// rounding cannot carry it to C + F + 1.
//
// F itself comes from a float estimate a = v * c - A (v the state's low 16
// bits, c = 2A / 65535 and A rounded to floats, the product rounded before
// the difference). For |A| <= 1024 those four float roundings put a within
// 2^-11.4 of the exact (2v / 65535 - 1) A, and the four double roundings of
// the formula put d within 2^-41 of it, so a lane whose a lies at least
// 2^-10 from every integer has floor(a) = F and f well clear of 1. Blocks
// with any other lane (about one word in three hundred) take the double
// path, as does every block under a rounding mode other than nearest.
struct GrainEstimate {
  float slope, amplitude;
};
inline bool grain_in_integers(double amplitude) {
  if (!rounding_to_nearest()) return false;
  return std::fabs(amplitude) <= 1024.0;
}
inline GrainEstimate grain_estimate(double amplitude) {
  return {static_cast<float>(2.0 * amplitude / 65535.0), static_cast<float>(amplitude)};
}
constexpr float kSureMargin = 0x1p-10f;

// film_grain_word over a block of words and their states, for the compiler
// to vectorize.
KVFX_INLINE void grain_block(uint32_t* words, const uint32_t* states, int64_t count,
                             double amplitude) {
  for (int64_t k = 0; k < count; ++k) words[k] = film_grain_word(words[k], states[k], amplitude);
}
using Block = AtEachLevel<grain_block>;

// The integer form, generic, for the compiler to vectorize where no block is
// written by hand (the portable level, NEON, SIMD128), unsure words by the
// formula. floor(a) is taken as trunc(a + 2048) - 2048 (the sum lies
// between 1023 and 3073, where it rounds by 2^-13 at most): one off only
// where that rounding crosses a whole number, with a within 2^-13 of it, so
// its fraction leaves the sure range and the word goes by the formula.
KVFX_INLINE void grain_block_estimated(uint32_t* words, const uint32_t* states, int64_t count,
                                       double amplitude) {
  if (!grain_in_integers(amplitude)) return grain_block(words, states, count, amplitude);
  const GrainEstimate e = grain_estimate(amplitude);
  auto estimate = [&](int64_t k) {
    const uint32_t w = words[k];
    const float v = static_cast<float>(static_cast<int32_t>(states[k] & 0xFFFFu));
    const float a = v * e.slope - e.amplitude;
    const int32_t floor = truncate_small(a + 2048.0f) - 2048;
    const float frac = a - static_cast<float>(floor);
    const bool unsure = !(frac >= kSureMargin && frac < 1.0f - kSureMargin);
    auto moved = [floor](uint32_t c) {
      return clamp_to_byte(static_cast<int32_t>(c) + floor);
    };
    const uint32_t grained = with_rgb(w, moved(red_of(w)), moved(green_of(w)), moved(blue_of(w)));
    words[k] = unsure ? w : grained;
    return unsure;
  };
  auto fix = [&](int64_t k) { words[k] = film_grain_word(words[k], states[k], amplitude); };
  estimate_then_fix(count, estimate, fix);
}
using Estimated = AtEachLevel<grain_block_estimated>;

#if KVFX_X86

// Eight words at the AVX2 level: as grain16 below, with unsure blocks (and
// every block when the amplitude is past the integer form) word by word.
template <bool kIntegers>
KVFX_TARGET_AVX2 inline __m256i grain8_avx2(__m256i w, __m256i st, double amplitude,
                                            const GrainEstimate& e) {
  const __m256 v = _mm256_cvtepi32_ps(_mm256_and_si256(st, _mm256_set1_epi32(0xFFFF)));
  const __m256 a =
      _mm256_sub_ps(_mm256_mul_ps(v, _mm256_set1_ps(e.slope)), _mm256_set1_ps(e.amplitude));
  const __m256 f = _mm256_floor_ps(a);
  const __m256 frac = _mm256_sub_ps(a, f);
  const __m256 sure = _mm256_and_ps(_mm256_cmp_ps(frac, _mm256_set1_ps(kSureMargin), _CMP_GE_OQ),
                                    _mm256_cmp_ps(frac, _mm256_set1_ps(1.0f - kSureMargin), _CMP_LT_OQ));
  if (!kIntegers || _mm256_movemask_ps(sure) != 0xFF) {
    alignas(32) uint32_t ws[8], ss[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(ws), w);
    _mm256_store_si256(reinterpret_cast<__m256i*>(ss), st);
    for (int k = 0; k < 8; ++k) ws[k] = film_grain_word(ws[k], ss[k], amplitude);
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(ws));
  }
  const __m256i floor = _mm256_cvtps_epi32(
      _mm256_max_ps(_mm256_min_ps(f, _mm256_set1_ps(255.0f)), _mm256_set1_ps(-255.0f)));
  const __m256i up = _mm256_max_epi32(floor, _mm256_setzero_si256());
  const __m256i down = _mm256_sub_epi32(up, floor);
  const __m256i spread = _mm256_setr_epi32(
      static_cast<int>(0x80000000u), static_cast<int>(0x80040404u), static_cast<int>(0x80080808u),
      static_cast<int>(0x800C0C0Cu), static_cast<int>(0x80000000u), static_cast<int>(0x80040404u),
      static_cast<int>(0x80080808u), static_cast<int>(0x800C0C0Cu));
  return _mm256_subs_epu8(_mm256_adds_epu8(w, _mm256_shuffle_epi8(up, spread)),
                          _mm256_shuffle_epi8(down, spread));
}

KVFX_TARGET_AVX2 void grain_block_avx2(uint32_t* words, const uint32_t* states, int64_t count,
                                       double amplitude) {
  if (!grain_in_integers(amplitude)) {
    Block::avx2(words, states, count, amplitude);
    return;
  }
  const GrainEstimate e = grain_estimate(amplitude);
  int64_t k = 0;
  for (; k + 8 <= count; k += 8) {
    __m256i* p = reinterpret_cast<__m256i*>(words + k);
    const __m256i st = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(states + k));
    _mm256_storeu_si256(p, grain8_avx2<true>(_mm256_loadu_si256(p), st, amplitude, e));
  }
  for (; k < count; ++k) words[k] = film_grain_word(words[k], states[k], amplitude);
}

// 8 x 8 words: row j lane i becomes row i lane j.
KVFX_TARGET_AVX2 inline void transpose8(__m256i r[8]) {
  __m256i t[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    r[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
    r[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
    r[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
    r[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  for (int c = 0; c < 4; ++c) {
    t[c] = _mm256_permute2x128_si256(r[c], r[4 + c], 0x20);
    t[4 + c] = _mm256_permute2x128_si256(r[c], r[4 + c], 0x31);
  }
  for (int i = 0; i < 8; ++i) r[i] = t[i];
}

KVFX_TARGET_AVX2 inline __m256i xorshift8(__m256i s) {
  s = _mm256_xor_si256(s, _mm256_slli_epi32(s, 13));
  s = _mm256_xor_si256(s, _mm256_srli_epi32(s, 17));
  return _mm256_xor_si256(s, _mm256_slli_epi32(s, 5));
}

// As grain_streams16 below, with eight streams of `length` words (a multiple
// of 8).
template <bool kIntegers>
KVFX_TARGET_AVX2 uint32_t grain_streams8(uint32_t* words, int64_t length,
                                         const uint32_t* starts, double amplitude) {
  const GrainEstimate e = grain_estimate(amplitude);
  __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(starts));
  for (int64_t t = 0; t < length; t += 8) {
    __m256i st[8];
    for (int j = 0; j < 8; ++j) st[j] = s = xorshift8(s);
    transpose8(st);
    for (int i = 0; i < 8; ++i) {
      __m256i* p = reinterpret_cast<__m256i*>(words + i * length + t);
      _mm256_storeu_si256(p, grain8_avx2<kIntegers>(_mm256_loadu_si256(p), st[i], amplitude, e));
    }
  }
  return static_cast<uint32_t>(_mm256_extract_epi32(s, 7));
}

KVFX_TARGET_AVX2 uint32_t grain_streams_avx2(uint32_t* words, int64_t length,
                                             const uint32_t* starts, double amplitude) {
  return grain_in_integers(amplitude) ? grain_streams8<true>(words, length, starts, amplitude)
                                      : grain_streams8<false>(words, length, starts, amplitude);
}

// film_grain_word on eight words at once, same operations in the same order
// (no fused multiply-add).
KVFX_TARGET_AVX512 inline __m256i grain_channel8(__m256i c, __m512d noise) {
  const __m512d v = _mm512_add_pd(_mm512_cvtepi32_pd(c), noise);
  return channel_to_byte8(v);
}

KVFX_TARGET_AVX512 inline __m512d grain_noise8(__m256i st, __m512d amp) {
  const __m512d u = unit8(st);
  return _mm512_mul_pd(_mm512_sub_pd(_mm512_add_pd(u, u), _mm512_set1_pd(1.0)), amp);
}

KVFX_TARGET_AVX512 inline __m256i grain8(__m256i w, __m256i st, __m512d amp) {
  const __m512d noise = grain_noise8(st, amp);
  return with_rgb8(w, grain_channel8(channel8<16>(w), noise), grain_channel8(channel8<8>(w), noise),
                   grain_channel8(channel8<0>(w), noise));
}

KVFX_TARGET_AVX512 inline __m512i grain16_doubles(__m512i w, __m512i st, __m512d amp) {
  const __m256i lo = grain8(_mm512_castsi512_si256(w), _mm512_castsi512_si256(st), amp);
  const __m256i hi =
      grain8(_mm512_extracti64x4_epi64(w, 1), _mm512_extracti64x4_epi64(st, 1), amp);
  return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
}

// Sixteen words, amplitude within grain_in_integers: clamp(C + F, 0, 255)
// as a saturating add of max(F, 0) and subtract of max(-F, 0), one of which
// is 0, with F from the float estimate where that is sure.
KVFX_TARGET_AVX512 inline __m512i grain16(__m512i w, __m512i st, __m512d amp,
                                          const GrainEstimate& e) {
  const __m512 v = _mm512_cvtepi32_ps(_mm512_and_si512(st, _mm512_set1_epi32(0xFFFF)));
  const __m512 a =
      _mm512_sub_ps(_mm512_mul_ps(v, _mm512_set1_ps(e.slope)), _mm512_set1_ps(e.amplitude));
  const __m512 f = _mm512_roundscale_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  const __m512 frac = _mm512_sub_ps(a, f);
  const __mmask16 sure = _mm512_cmp_ps_mask(frac, _mm512_set1_ps(kSureMargin), _CMP_GE_OQ) &
                         _mm512_cmp_ps_mask(frac, _mm512_set1_ps(1.0f - kSureMargin), _CMP_LT_OQ);
  if (sure != 0xFFFF) return grain16_doubles(w, st, amp);
  const __m512i floor = _mm512_cvtps_epi32(
      _mm512_max_ps(_mm512_min_ps(f, _mm512_set1_ps(255.0f)), _mm512_set1_ps(-255.0f)));
  const __m512i up = _mm512_max_epi32(floor, _mm512_setzero_si512());
  const __m512i down = _mm512_sub_epi32(up, floor);
  // Byte 0 of each lane into its red, green and blue bytes; alpha gets 0.
  const __m512i spread = _mm512_broadcast_i32x4(
      _mm_setr_epi32(static_cast<int>(0x80000000u), static_cast<int>(0x80040404u),
                     static_cast<int>(0x80080808u), static_cast<int>(0x800C0C0Cu)));
  return _mm512_subs_epu8(_mm512_adds_epu8(w, _mm512_shuffle_epi8(up, spread)),
                          _mm512_shuffle_epi8(down, spread));
}

template <bool kIntegers>
KVFX_TARGET_AVX512 inline __m512i grain16_any(__m512i w, __m512i st, __m512d amp,
                                              const GrainEstimate& e) {
  return kIntegers ? grain16(w, st, amp, e) : grain16_doubles(w, st, amp);
}

template <bool kIntegers>
KVFX_TARGET_AVX512 void grain_block16(uint32_t* words, const uint32_t* states, int64_t count,
                                      double amplitude) {
  const __m512d amp = _mm512_set1_pd(amplitude);
  const GrainEstimate e = grain_estimate(amplitude);
  for (int64_t k = 0; k < count; k += 16) {
    const __mmask16 m = tail_mask16(count - k);
    const __m512i w = _mm512_maskz_loadu_epi32(m, words + k);
    const __m512i st = _mm512_maskz_loadu_epi32(m, states + k);
    _mm512_mask_storeu_epi32(words + k, m, grain16_any<kIntegers>(w, st, amp, e));
  }
}

KVFX_TARGET_AVX512 void grain_block_avx512(uint32_t* words, const uint32_t* states,
                                           int64_t count, double amplitude) {
  if (grain_in_integers(amplitude)) grain_block16<true>(words, states, count, amplitude);
  else grain_block16<false>(words, states, count, amplitude);
}

// 16 x 16 words: row j lane i becomes row i lane j.
KVFX_TARGET_AVX512 inline void transpose16(__m512i r[16]) {
  __m512i t[16];
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (int i = 0; i < 16; i += 4) {
    r[i] = _mm512_unpacklo_epi64(t[i], t[i + 2]);
    r[i + 1] = _mm512_unpackhi_epi64(t[i], t[i + 2]);
    r[i + 2] = _mm512_unpacklo_epi64(t[i + 1], t[i + 3]);
    r[i + 3] = _mm512_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  // Rows 4q + c now hold, in 128-bit block b, words c of rows 4b .. 4b + 3
  // for lanes 4q .. 4q + 3; two rounds of block shuffles finish it.
  for (int c = 0; c < 4; ++c) {
    t[c] = _mm512_shuffle_i32x4(r[c], r[4 + c], 0x88);
    t[4 + c] = _mm512_shuffle_i32x4(r[c], r[4 + c], 0xDD);
    t[8 + c] = _mm512_shuffle_i32x4(r[8 + c], r[12 + c], 0x88);
    t[12 + c] = _mm512_shuffle_i32x4(r[8 + c], r[12 + c], 0xDD);
  }
  for (int c = 0; c < 4; ++c) {
    r[c] = _mm512_shuffle_i32x4(t[c], t[8 + c], 0x88);
    r[8 + c] = _mm512_shuffle_i32x4(t[c], t[8 + c], 0xDD);
    r[4 + c] = _mm512_shuffle_i32x4(t[4 + c], t[12 + c], 0x88);
    r[12 + c] = _mm512_shuffle_i32x4(t[4 + c], t[12 + c], 0xDD);
  }
}

KVFX_TARGET_AVX512 inline __m512i xorshift16(__m512i s) {
  s = _mm512_xor_si512(s, _mm512_slli_epi32(s, 13));
  s = _mm512_xor_si512(s, _mm512_srli_epi32(s, 17));
  return _mm512_xor_si512(s, _mm512_slli_epi32(s, 5));
}

// Sixteen streams: stream i is words[i * length .. (i + 1) * length - 1]
// with its generator started at starts[i]; length is a multiple of 16.
// Sixteen steps of all streams at once, transposed, are sixteen consecutive
// states of each. Returns the last stream's final state.
template <bool kIntegers>
KVFX_TARGET_AVX512 uint32_t grain_streams16(uint32_t* words, int64_t length,
                                            const uint32_t* starts, double amplitude) {
  const __m512d amp = _mm512_set1_pd(amplitude);
  const GrainEstimate e = grain_estimate(amplitude);
  __m512i s = _mm512_loadu_si512(starts);
  for (int64_t t = 0; t < length; t += 16) {
    __m512i st[16];
    for (int j = 0; j < 16; ++j) st[j] = s = xorshift16(s);
    transpose16(st);
    for (int i = 0; i < 16; ++i) {
      uint32_t* p = words + i * length + t;
      prefetch_ahead(p);
      _mm512_storeu_si512(p, grain16_any<kIntegers>(_mm512_loadu_si512(p), st[i], amp, e));
    }
  }
  return static_cast<uint32_t>(_mm_extract_epi32(_mm512_extracti32x4_epi32(s, 3), 3));
}

KVFX_TARGET_AVX512 uint32_t grain_streams_avx512(uint32_t* words, int64_t length,
                                                 const uint32_t* starts, double amplitude) {
  return grain_in_integers(amplitude) ? grain_streams16<true>(words, length, starts, amplitude)
                                      : grain_streams16<false>(words, length, starts, amplitude);
}

#endif

// The 64-step matrix a byte at a time: part[b][v] is the sum of the columns
// of the bits of v in byte b.
struct Jump64 {
  uint32_t part[4][256];
  Jump64() {
    const StepMatrix m = xorshift_steps(64);
    for (int b = 0; b < 4; ++b) {
      part[b][0] = 0;
      for (uint32_t v = 1; v < 256; ++v) {
        int low = 0;
        while (!((v >> low) & 1u)) ++low;
        part[b][v] = part[b][v & (v - 1)] ^ m.column[8 * b + low];
      }
    }
  }
  uint32_t operator()(uint32_t s) const {
    return part[0][s & 0xFF] ^ part[1][(s >> 8) & 0xFF] ^ part[2][(s >> 16) & 0xFF] ^
           part[3][s >> 24];
  }
};

// states[0 .. 511] = the 512 states after `state`, the same sequence as
// stepping one at a time: eight chains started 64 steps apart by the jump
// matrix run side by side, which hides the latency of a step (and which the
// compiler runs in vector lanes).
KVFX_INLINE void fill_512_states(uint32_t* states, uint32_t state, const Jump64& jump) {
  uint32_t s[8];
  s[0] = state;
  for (int c = 1; c < 8; ++c) s[c] = jump(s[c - 1]);
  for (int i = 0; i < 64; ++i)
    for (int c = 0; c < 8; ++c) {
      s[c] = xorshift32_step(s[c]);
      states[64 * c + i] = s[c];
    }
}


struct GrainKernels {
  // words[k] = film_grain_word(words[k], states[k], amplitude), k < count.
  void (*block)(uint32_t* words, const uint32_t* states, int64_t count, double amplitude);
  // Optional: `streams` runs of `length` words side by side (see
  // grain_streams_avx512).
  uint32_t (*run_streams)(uint32_t* words, int64_t length, const uint32_t* starts,
                          double amplitude);
  int streams;
};

const GrainKernels kPortable = {Estimated::portable, nullptr, 0};
#if KVFX_X86
const GrainKernels kAvx2 = {grain_block_avx2, grain_streams_avx2, 8};
const GrainKernels kAvx512 = {grain_block_avx512, grain_streams_avx512, 16};
#else
const GrainKernels kAvx2 = {Estimated::avx2, nullptr, 0};
const GrainKernels kAvx512 = {Estimated::avx512, nullptr, 0};
#endif
const KernelTable<GrainKernels> kGrainKernels = {&kPortable, &kAvx2, &kAvx512, nullptr, nullptr};

// The generator fills a block of states ahead of the channel arithmetic,
// which then runs lane-parallel.
void grain_blocks(const GrainKernels& kernels, uint32_t* words, int64_t count, uint32_t state,
                  double amplitude) {
  constexpr int64_t kBlock = 512;
  const Jump64 jump;
  uint32_t states[kBlock];
  for (int64_t k = 0; k < count; k += kBlock) {
    const int64_t n = std::min(kBlock, count - k);
    if (n == kBlock) {
      fill_512_states(states, state, jump);
      state = states[kBlock - 1];
    } else {
      for (int64_t i = 0; i < n; ++i) {
        state = xorshift32_step(state);
        states[i] = state;
      }
    }
    kernels.block(words + k, states, n, amplitude);
  }
}

// Long runs are cut into equal streams, each started by the matrix of its
// length, with what is left over after them done block by block. Below this
// length the matrix costs more than it saves.
constexpr int64_t kStreamedRun = int64_t{1} << 16;

void grain_run(uint32_t* words, int64_t count, uint32_t state, double amplitude) {
  const GrainKernels& kernels = pick(kGrainKernels);
  if (kernels.run_streams && count >= kStreamedRun) {
    const int streams = kernels.streams;
    const int64_t length = count / (16 * streams) * 16;
    const StepMatrix jump = xorshift_steps(static_cast<uint64_t>(length));
    uint32_t starts[16];
    starts[0] = state;
    for (int i = 1; i < streams; ++i) starts[i] = jump(starts[i - 1]);
    state = kernels.run_streams(words, length, starts, amplitude);
    words += streams * length;
    count -= streams * length;
  }
  grain_blocks(kernels, words, count, state, amplitude);
}

}  // namespace

// Split: the run cut into equal spans of words; each span's generator starts
// at the state the one-word loop would have reached there, by the step
// matrix of the span's offset.
int32_t film_grain(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                   double amount, int32_t seed, Runner& runner) {
  return run_effect(entry::kFilmGrain, pixels, width, height, stride, [&](const Buffer& b) {
    const uint32_t state = film_grain_start_state(seed);
    const double amplitude = amount * 255.0;
    const int pieces = pieces_for(runner, b.run_count, b.run_count);
    runner.run(pieces, [&](int i) {
      const Span words = span_of(b.run_count, pieces, i);
      const uint32_t start =
          words.begin == 0 ? state : xorshift_steps(static_cast<uint64_t>(words.begin))(state);
      grain_run(pixels + words.begin, words.end - words.begin, start, amplitude);
    });
  });
}

}  // namespace kvfx
