// Table lookups for red, green and blue of a run of words. With AVX-512 VBMI
// the 256-byte table sits in four registers and two two-table byte
// permutations plus a select on the index's top bit look up 64 bytes at once;
// with AVX2 sixteen 16-entry shuffles do 32 bytes; with NEON four
// four-register lookups do 16 bytes; elsewhere an unrolled scalar loop keeps
// several independent lookups in flight. All give exactly
// apply_channel_table_word for every word.
#include "core/channel_table.h"

#include "core/simd.h"

// The NEON lookups take the alpha byte to be the fourth in memory.
#if KVFX_NEON && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define KVFX_NEON_TABLE 1
#include <arm_neon.h>
#else
#define KVFX_NEON_TABLE 0
#endif

namespace kvfx {
namespace {

void apply_three_scalar(uint32_t* words, int64_t count, const ChannelTable& red,
                        const ChannelTable& green, const ChannelTable& blue) {
  for (int64_t k = 0; k < count; ++k)
    words[k] = apply_channel_tables_word(words[k], red, green, blue);
}

void apply_scalar(uint32_t* words, int64_t count, const ChannelTable& t) {
  int64_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const uint32_t w0 = words[k], w1 = words[k + 1], w2 = words[k + 2],
                   w3 = words[k + 3];
    words[k] = apply_channel_table_word(w0, t);
    words[k + 1] = apply_channel_table_word(w1, t);
    words[k + 2] = apply_channel_table_word(w2, t);
    words[k + 3] = apply_channel_table_word(w3, t);
  }
  for (; k < count; ++k) words[k] = apply_channel_table_word(words[k], t);
}

#if KVFX_X86

KVFX_TARGET_AVX512_VBMI void apply_vbmi(uint32_t* words, int64_t count, const ChannelTable& t) {
  const ByteTable512 table = load_byte_table(t.data());
  int64_t k = 0;
  for (; k + 32 <= count; k += 32) {
    const __m512i a = _mm512_loadu_si512(words + k);
    const __m512i b = _mm512_loadu_si512(words + k + 16);
    _mm512_storeu_si512(words + k, rgb_through_table16(a, table));
    _mm512_storeu_si512(words + k + 16, rgb_through_table16(b, table));
  }
  for (; k < count; k += 16) {
    const int64_t left = count - k;
    const __mmask16 m = tail_mask16(left);
    const __m512i a = _mm512_maskz_loadu_epi32(m, words + k);
    _mm512_mask_storeu_epi32(words + k, m, rgb_through_table16(a, table));
  }
}

KVFX_TARGET_AVX512_VBMI void apply_three_vbmi(uint32_t* words, int64_t count,
                                              const ChannelTable& red, const ChannelTable& green,
                                              const ChannelTable& blue) {
  const ByteTable512 r = load_byte_table(red.data()), g = load_byte_table(green.data()),
                     b = load_byte_table(blue.data());
  for (int64_t k = 0; k < count; k += 16) {
    const __mmask16 m = tail_mask16(count - k);
    const __m512i a = _mm512_maskz_loadu_epi32(m, words + k);
    _mm512_mask_storeu_epi32(words + k, m, rgb_through_tables16(a, r, g, b));
  }
}


// With AVX2, sixteen in-lane byte shuffles, each by the byte's lower nibble,
// look the byte up in every sixteen-entry part of the table, and a tree of
// fifteen selects on the upper nibble's bits (brought to each byte's top bit
// by shifts) keeps the part the byte indexes.
KVFX_TARGET_AVX2 void apply_avx2(uint32_t* words, int64_t count, const ChannelTable& t) {
  __m256i part[16];
  for (int j = 0; j < 16; ++j)
    part[j] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data() + 16 * j)));
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  int64_t k = 0;
  for (; k + 8 <= count; k += 8) {
    __m256i* at = reinterpret_cast<__m256i*>(words + k);
    const __m256i v = _mm256_loadu_si256(at);
    const __m256i low = _mm256_and_si256(v, nibble);
    __m256i c[16];
    for (int j = 0; j < 16; ++j) c[j] = _mm256_shuffle_epi8(part[j], low);
    __m256i bit = v;  // bit 7, then 6, 5 and 4 of each byte at its top
    for (int half = 8; half >= 1; half /= 2) {
      for (int j = 0; j < half; ++j) c[j] = _mm256_blendv_epi8(c[j], c[j + half], bit);
      bit = _mm256_slli_epi16(bit, 1);
    }
    _mm256_storeu_si256(at, _mm256_blendv_epi8(c[0], v, alpha));
  }
  apply_scalar(words + k, count - k, t);
}

#endif

#if KVFX_NEON_TABLE

// Four 64-byte table lookups cover the 256 entries (an index beyond a
// table's 64 bytes gives 0, so the four results can be or-ed); the alpha
// byte of each word (the fourth in memory) is kept from the input.
void apply_neon(uint32_t* words, int64_t count, const ChannelTable& t) {
  const uint8x16x4_t t0 = vld1q_u8_x4(t.data()), t1 = vld1q_u8_x4(t.data() + 64),
                     t2 = vld1q_u8_x4(t.data() + 128), t3 = vld1q_u8_x4(t.data() + 192);
  const uint8x16_t alpha = vreinterpretq_u8_u32(vdupq_n_u32(0xFF000000u));
  const uint8x16_t step = vdupq_n_u8(64);
  uint8_t* p = reinterpret_cast<uint8_t*>(words);
  int64_t k = 0;
  for (; k + 4 <= count; k += 4, p += 16) {
    const uint8x16_t v = vld1q_u8(p);
    const uint8x16_t v1 = vsubq_u8(v, step), v2 = vsubq_u8(v1, step), v3 = vsubq_u8(v2, step);
    const uint8x16_t looked = vorrq_u8(vorrq_u8(vqtbl4q_u8(t0, v), vqtbl4q_u8(t1, v1)),
                                       vorrq_u8(vqtbl4q_u8(t2, v2), vqtbl4q_u8(t3, v3)));
    vst1q_u8(p, vbslq_u8(alpha, v, looked));
  }
  apply_scalar(words + k, count - k, t);
}
#endif

struct TableKernels {
  void (*apply)(uint32_t* words, int64_t count, const ChannelTable& t);
  void (*apply_three)(uint32_t* words, int64_t count, const ChannelTable& red,
                      const ChannelTable& green, const ChannelTable& blue);
  // How many of its words make one word of split work (split.h).
  int64_t words_per_work;
};

// The byte permutations look up 64 channels at once, about 16 gigapixels a
// second on a 1080p frame (a seventh of a millisecond, which ran at 0.6-0.9
// x in two pieces; a 4K frame at 1.4-2.0 x): their words count at a
// quarter. The other kernels run at 1 to 2 gigapixels a second, about the
// vignette's rate, and count in full.
const TableKernels kScalar = {apply_scalar, apply_three_scalar, 1};
#if KVFX_NEON_TABLE
const TableKernels kNeon = {apply_neon, apply_three_scalar, 1};
#endif
#if KVFX_X86
const TableKernels kVbmi = {apply_vbmi, apply_three_vbmi, 4};
const TableKernels kAvx2 = {apply_avx2, apply_three_scalar, 1};
#endif

// The byte permutations need VBMI on top of the AVX-512 level.
const KernelTable<TableKernels>& table_kernels() {
  static const KernelTable<TableKernels> table = {
      &kScalar,
#if KVFX_X86
      &kAvx2, cpu_has_avx512_vbmi() ? &kVbmi : nullptr,
#else
      nullptr, nullptr,
#endif
#if KVFX_NEON_TABLE
      &kNeon,
#else
      nullptr,
#endif
      nullptr};
  return table;
}

}  // namespace

void apply_channel_table(uint32_t* words, int64_t count, const ChannelTable& t) {
  pick(table_kernels()).apply(words, count, t);
}

int64_t channel_table_work(int64_t words) {
  return words / pick(table_kernels()).words_per_work;
}

void apply_channel_tables(uint32_t* words, int64_t count, const ChannelTable& red,
                          const ChannelTable& green, const ChannelTable& blue) {
  pick(table_kernels()).apply_three(words, count, red, green, blue);
}

}  // namespace kvfx
