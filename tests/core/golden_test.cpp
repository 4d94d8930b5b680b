// Golden checksums: every effect on one fixed image with fixed arguments, the
// output hashed word by word. The constants come from an x86-64 build; the
// same test run on arm64 and s390x (tests/cross/run.sh) proves the results are
// the same bits on other CPUs and byte orders. The hash reads word values, not
// memory bytes, so it does not depend on byte order.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "kelvo_fx.h"
#include "support/hooks.h"

namespace {

constexpr int32_t kWidth = 61, kHeight = 37, kPadding = 3;
constexpr int32_t kRowPixels = kWidth + kPadding;
constexpr int32_t kStride = kRowPixels * 4;
constexpr size_t kWords = static_cast<size_t>(kHeight) * kRowPixels;

// Half the words premultiplied, half arbitrary, padding included.
std::vector<uint32_t> golden_image(uint32_t seed) {
  std::vector<uint32_t> v(kWords);
  uint32_t s = seed;
  for (size_t i = 0; i < v.size(); ++i) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    uint32_t w = s;
    if (i % 2 == 0) {
      const uint32_t a = w >> 24;
      w = a << 24 | ((w >> 16) & 0xFF) % (a + 1) << 16 | ((w >> 8) & 0xFF) % (a + 1) << 8 |
          (w & 0xFF) % (a + 1);
    }
    v[i] = w;
  }
  return v;
}

uint64_t fnv1a_words(const std::vector<uint32_t>& v) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint32_t w : v)
    for (int shift = 0; shift < 32; shift += 8) {
      h ^= (w >> shift) & 0xFFu;
      h *= 0x100000001b3ull;
    }
  return h;
}

struct GoldenCase {
  const char* name;
  // Runs the effect on `img` (kWidth x kHeight, kStride); may use `other`, a
  // second image of the same shape, as an output.
  std::function<int32_t(uint32_t* img, uint32_t* other)> run;
  uint64_t expected;
};

uint32_t* bottom_up(uint32_t* img) { return img + (kHeight - 1) * kRowPixels; }

const std::vector<GoldenCase>& golden_cases() {
  static const std::vector<GoldenCase> cases = {
      {"blur_0_8", [](uint32_t* p, uint32_t*) { return kv_fx_gaussian_blur(p, kWidth, kHeight, kStride, 0.8); }, 0x4f2390b59caac1b6ull},
      {"blur_2_5", [](uint32_t* p, uint32_t*) { return kv_fx_gaussian_blur(p, kWidth, kHeight, kStride, 2.5); }, 0x5824689e0d129191ull},
      {"blur_9", [](uint32_t* p, uint32_t*) { return kv_fx_gaussian_blur(p, kWidth, kHeight, kStride, 9.0); }, 0x3f367699d45a0e5dull},
      {"bloom_full_unblurred", [](uint32_t* p, uint32_t*) { return kv_fx_bloom(p, kWidth, kHeight, kStride, 0.4, 0.7, 0.0, 0xFFFFFF); }, 0x3e1f6cea659a570cull},
      {"bloom_full_blurred", [](uint32_t* p, uint32_t*) { return kv_fx_bloom(p, kWidth, kHeight, kStride, 0.5, 1.3, 2.0, 0xFF8040); }, 0xbaed81cb81f23ffcull},
      {"bloom_half_size", [](uint32_t* p, uint32_t*) { return kv_fx_bloom(p, kWidth, kHeight, kStride, 0.3, 0.9, 6.5, 0x40C0FF); }, 0x37eaa076adcc0e35ull},
      {"bloom_darkening", [](uint32_t* p, uint32_t*) { return kv_fx_bloom(p, kWidth, kHeight, kStride, 0.2, -0.6, 1.0, 0xFFFFFF); }, 0xb3ad5e2667bfbc07ull},
      {"drop_shadow_sharp", [](uint32_t* p, uint32_t* d) { return kv_fx_drop_shadow(p, d, kWidth, kHeight, kStride, 3.0, 4.0, 0.0, 0x80000000u); }, 0xaf3a61ad1c569a1dull},
      {"drop_shadow_blurred", [](uint32_t* p, uint32_t* d) { return kv_fx_drop_shadow(p, d, kWidth, kHeight, kStride, -2.5, 1.5, 2.0, 0xC0102030u); }, 0xe9b6784644ed431cull},
      {"drop_shadow_in_place", [](uint32_t* p, uint32_t*) { return kv_fx_drop_shadow(p, p, kWidth, kHeight, kStride, 1.0, -6.0, 5.0, 0xFF000000u); }, 0x7ff3dc9d1f25dd21ull},
      {"tone_map_0_5", [](uint32_t* p, uint32_t*) { return kv_fx_tone_map_aces(p, kWidth, kHeight, kStride, 0.5); }, 0x433b551f0b543859ull},
      {"tone_map_1", [](uint32_t* p, uint32_t*) { return kv_fx_tone_map_aces(p, kWidth, kHeight, kStride, 1.0); }, 0x2f01e870b01ca023ull},
      {"tone_map_3_7", [](uint32_t* p, uint32_t*) { return kv_fx_tone_map_aces(p, kWidth, kHeight, kStride, 3.7); }, 0x1cc18d4a7167b784ull},
      {"grade_all", [](uint32_t* p, uint32_t*) { return kv_fx_color_grade(p, kWidth, kHeight, kStride, 0.1, 1.2, 0.8, 2.2); }, 0x40e1cfaf3ac3270eull},
      {"grade_table_only", [](uint32_t* p, uint32_t*) { return kv_fx_color_grade(p, kWidth, kHeight, kStride, -0.05, 0.9, 1.0, 1.0); }, 0x94445ca3d84572dfull},
      {"grade_saturate", [](uint32_t* p, uint32_t*) { return kv_fx_color_grade(p, kWidth, kHeight, kStride, 0.0, 1.0, 1.6, 0.7); }, 0x01ee250314eedeb5ull},
      {"vignette_black", [](uint32_t* p, uint32_t*) { return kv_fx_vignette(p, kWidth, kHeight, kStride, 0.8, 0.3, 0.5, 0); }, 0x44b1e00a818f55d1ull},
      {"vignette_colour", [](uint32_t* p, uint32_t*) { return kv_fx_vignette(p, kWidth, kHeight, kStride, 1.0, 0.0, 0.2, 0x203040); }, 0xe6e4f0d5359afa5dull},
      {"vignette_bottom_up", [](uint32_t* p, uint32_t*) { return kv_fx_vignette(bottom_up(p), kWidth, kHeight, -kStride, 0.6, 0.5, 0.0, 0xFF00FF); }, 0x35b27e88446832e1ull},
      {"grain_seed_42", [](uint32_t* p, uint32_t*) { return kv_fx_film_grain(p, kWidth, kHeight, kStride, 0.1, 42); }, 0x03ef921e5e0225ddull},
      {"grain_default_seed", [](uint32_t* p, uint32_t*) { return kv_fx_film_grain(p, kWidth, kHeight, kStride, 0.25, 0); }, 0x760a5d7b9e756bb6ull},
      {"scanlines_2", [](uint32_t* p, uint32_t*) { return kv_fx_scanlines(p, kWidth, kHeight, kStride, 2, 0.5); }, 0x1e953bcc251e7eabull},
      {"scanlines_3_bottom_up", [](uint32_t* p, uint32_t*) { return kv_fx_scanlines(bottom_up(p), kWidth, kHeight, -kStride, 3, 0.3); }, 0x9b13ebc0b890094aull},
      {"chromatic_small", [](uint32_t* p, uint32_t*) { return kv_fx_chromatic_aberration(p, kWidth, kHeight, kStride, 3.0, 2.0, 0.7); }, 0x620075f230db70b0ull},
      {"chromatic_large", [](uint32_t* p, uint32_t*) { return kv_fx_chromatic_aberration(p, kWidth, kHeight, kStride, 5.5, -4.0, 2.0); }, 0xc0de5ba5e091268bull},
      {"glitch_seeded", [](uint32_t* p, uint32_t*) { return kv_fx_glitch_displacement(p, kWidth, kHeight, kStride, 6, 10, 1234); }, 0x13620ca5a3d544c9ull},
      {"glitch_negative_shift", [](uint32_t* p, uint32_t*) { return kv_fx_glitch_displacement(p, kWidth, kHeight, kStride, 12, -7, 0); }, 0xa0554b0a5442976dull},
  };
  return cases;
}

TEST(Golden, EveryEffectMatchesItsChecksum) {
  for (const GoldenCase& c : golden_cases()) {
    SCOPED_TRACE(c.name);
    kvfx_test::for_each_level([&] {
      std::vector<uint32_t> img = golden_image(0x2545F491u);
      std::vector<uint32_t> other = golden_image(0x9E3779B9u);
      ASSERT_EQ(c.run(img.data(), other.data()), FX_OK);
      const uint64_t h = fnv1a_words(img) ^ 31 * fnv1a_words(other);
      if (h != c.expected)
        std::printf("      {\"%s\", 0x%016llxull},\n", c.name, static_cast<unsigned long long>(h));
      EXPECT_EQ(h, c.expected);
    });
  }
}

// The checksum itself must read word values: the same words give the same
// hash whatever the byte order, and a one-bit change anywhere changes it.
TEST(Golden, HashSeesEveryWordAndBit) {
  const std::vector<uint32_t> img = golden_image(0x2545F491u);
  EXPECT_EQ(fnv1a_words(img), fnv1a_words(golden_image(0x2545F491u)));
  for (size_t i : {size_t{0}, kWords / 2, kWords - 1}) {
    std::vector<uint32_t> changed = img;
    changed[i] ^= 0x80000000u;
    EXPECT_NE(fnv1a_words(changed), fnv1a_words(img)) << i;
  }
}

}  // namespace
