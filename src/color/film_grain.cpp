// Film grain: one xorshift32 step per word of the whole run, padding
// included, so a call is reproducible from seed, amount and geometry.
#include <algorithm>
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

#if KVFX_X86

// film_grain_word on eight words at once, same operations in the same order
// (no fused multiply-add).
KVFX_TARGET_AVX512 inline __m256i grain_channel8(__m256i c, __m512d noise) {
  const __m512d v = _mm512_add_pd(_mm512_cvtepi32_pd(c), noise);
  return channel_to_byte8(v);
}

KVFX_TARGET_AVX512 inline __m256i grain8(__m256i w, __m256i st, __m512d amp) {
  const __m512d u = unit8(st);
  const __m512d noise =
      _mm512_mul_pd(_mm512_sub_pd(_mm512_add_pd(u, u), _mm512_set1_pd(1.0)), amp);
  return with_rgb8(w, grain_channel8(channel8<16>(w), noise), grain_channel8(channel8<8>(w), noise),
                   grain_channel8(channel8<0>(w), noise));
}

KVFX_TARGET_AVX512 void grain_block_avx512(uint32_t* words, const uint32_t* states,
                                           int64_t count, double amplitude) {
  const __m512d amp = _mm512_set1_pd(amplitude);
  int64_t k = 0;
  for (; k + 8 <= count; k += 8) {
    // The state fill between blocks interrupts the stream of loads enough
    // for the hardware prefetcher to fall behind; ask for the next block.
    // (An address, not a pointer into the run: it may lie past the end.)
    _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(words + k) + 2048),
                 _MM_HINT_T0);
    __m256i* p = reinterpret_cast<__m256i*>(words + k);
    const __m256i st = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(states + k));
    _mm256_storeu_si256(p, grain8(_mm256_loadu_si256(p), st, amp));
  }
  if (k < count) {
    const __mmask8 m = tail_mask8(count - k);
    const __m256i w = _mm256_maskz_loadu_epi32(m, words + k);
    const __m256i st = _mm256_maskz_loadu_epi32(m, states + k);
    _mm256_mask_storeu_epi32(words + k, m, grain8(w, st, amp));
  }
}

#endif

// xorshift32 is linear over GF(2): 64 steps at once are a 32 x 32 bit
// matrix, column j being where the state with only bit j set lands. Applied
// a byte at a time: part[b][v] is the sum of the columns of the bits of v
// in byte b.
struct Jump64 {
  uint32_t part[4][256];
  Jump64() {
    uint32_t column[32];
    for (int j = 0; j < 32; ++j) {
      uint32_t s = 1u << j;
      for (int i = 0; i < 64; ++i) s = xorshift32_step(s);
      column[j] = s;
    }
    for (int b = 0; b < 4; ++b) {
      part[b][0] = 0;
      for (uint32_t v = 1; v < 256; ++v) {
        int low = 0;
        while (!((v >> low) & 1u)) ++low;
        part[b][v] = part[b][v & (v - 1)] ^ column[8 * b + low];
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

// film_grain_word over a block of words and their states, for the compiler
// to vectorize.
KVFX_INLINE void grain_block(uint32_t* words, const uint32_t* states, int64_t count,
                             double amplitude) {
  for (int64_t k = 0; k < count; ++k) words[k] = film_grain_word(words[k], states[k], amplitude);
}

struct GrainKernels {
  // words[k] = film_grain_word(words[k], states[k], amplitude), k < count.
  void (*block)(uint32_t* words, const uint32_t* states, int64_t count, double amplitude);
};

using Block = AtEachLevel<grain_block>;
const GrainKernels kPortable = {Block::portable}, kAvx2 = {Block::avx2};
#if KVFX_X86
const GrainKernels kAvx512 = {grain_block_avx512};
#else
const GrainKernels kAvx512 = {Block::avx512};
#endif
const KernelTable<GrainKernels> kGrainKernels = {&kPortable, &kAvx2, &kAvx512, nullptr, nullptr};

// The generator fills a block of states ahead of the channel arithmetic,
// which then runs lane-parallel.
void grain_run(uint32_t* words, int64_t count, uint32_t state, double amplitude) {
  const GrainKernels& kernels = pick(kGrainKernels);
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

}  // namespace

}  // namespace kvfx

extern "C" KV_FX_API int32_t kv_fx_film_grain(uint32_t* pixels, int32_t width,
                                              int32_t height, int32_t stride,
                                              double amount, int32_t seed) {
  return kvfx::run_effect(kvfx::entry::kFilmGrain, pixels, width, height, stride,
                          [&](const kvfx::Buffer& b) {
    kvfx::grain_run(pixels, b.run_count, kvfx::film_grain_start_state(seed), amount * 255.0);
  });
}
