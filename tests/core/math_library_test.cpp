// The effects that call the C runtime's mathematics (pow in the colour
// grade's table, hypot in the vignette, sin and cos in the chromatic
// aberration's shift) over wide sweeps of their arguments, each hashed and
// held to one constant from an x86-64 Linux build. Each platform brings its
// own pow, hypot, sin and cos, which may differ from glibc's in the last bits
// of a result; the golden checksums try a few settings, these try thousands,
// so a difference that reaches an output byte anywhere in them shows up here
// with the effect named.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "displace/displace_effects.h"
#include "kelvo_fx.h"
#include "support/hooks.h"
#include "support/image.h"

namespace {

void hash_word(uint64_t& h, uint32_t w) {
  for (int shift = 0; shift < 32; shift += 8) {
    h ^= (w >> shift) & 0xFFu;
    h *= 0x100000001b3ull;
  }
}

constexpr uint64_t kFnvBasis = 0xcbf29ce484222325ull;

// Every channel value through 450 grade tables: gamma 0.1 .. 5.0 against a
// few contrasts and brightnesses (saturation 1, so the table is all there is).
uint64_t grade_tables() {
  std::vector<uint32_t> ramp(256);
  uint64_t h = kFnvBasis;
  for (int g = 1; g <= 50; ++g)
    for (double brightness : {-0.2, 0.0, 0.15})
      for (double contrast : {0.8, 1.0, 1.3}) {
        for (uint32_t i = 0; i < 256; ++i) ramp[i] = kvfx_test::argb(0xFF, i, i, i);
        EXPECT_EQ(kv_fx_color_grade(ramp.data(), 256, 1, 256 * 4, brightness, contrast,
                                    1.0, g * 0.1),
                  FX_OK);
        for (uint32_t w : ramp) hash_word(h, w);
      }
  return h;
}

// Vignettes on 121 image sizes, odd and even, from 1 to 144 pixels a side.
uint64_t vignettes() {
  static const int32_t kSides[] = {1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144};
  uint64_t h = kFnvBasis;
  for (int32_t w : kSides)
    for (int32_t ht : kSides)
      for (int setting = 0; setting < 2; ++setting) {
        kvfx_test::Image im(w, ht);
        kvfx_test::fill_random_premultiplied(im.words, static_cast<uint32_t>(w * 1000 + ht));
        const int32_t rc = setting == 0
            ? kv_fx_vignette(im.data(), w, ht, im.stride(), 0.8, 0.3, 0.5, 0)
            : kv_fx_vignette(im.data(), w, ht, im.stride(), 1.0, 0.1, 0.9, 0x203040);
        EXPECT_EQ(rc, FX_OK);
        for (uint32_t word : im.words) hash_word(h, word);
      }
  return h;
}

// Red and blue offsets for 4096 angles in about (-2 pi, 2 pi) at strengths
// whose products land near halves, where rounding turns on the last bit.
// (Far larger angles reach sin and cos unreduced, and there the runtimes'
// own argument reductions disagree by far more than a bit: MinGW-w64's x87
// reduction gives other shifts than glibc's from 2^63 on.)
uint64_t chromatic_shifts() {
  uint64_t h = kFnvBasis;
  for (int a = -2048; a < 2048; ++a)
    for (double strength : {0.5, 2.5, 7.0, 100.5}) {
      const kvfx::ChromaticShift s = kvfx::chromatic_shift(strength, strength * 1.5, a / 326.0);
      for (int32_t v : {s.rx, s.ry, s.bx, s.by}) hash_word(h, static_cast<uint32_t>(v));
    }
  return h;
}

struct Sweep {
  const char* name;
  std::function<uint64_t()> hash;
  uint64_t expected;
};

TEST(MathLibrary, SweepsMatchTheirChecksums) {
  const Sweep sweeps[] = {
      {"grade_tables (pow)", grade_tables, 0xab33d530c283411eull},
      {"vignettes (hypot)", vignettes, 0x9e870f7682bda1f5ull},
      {"chromatic_shifts (sin, cos)", chromatic_shifts, 0x7fa2e52afc6ea134ull},
  };
  for (const Sweep& s : sweeps) {
    SCOPED_TRACE(s.name);
    kvfx_test::for_each_level([&] {
      const uint64_t h = s.hash();
      if (h != s.expected)
        std::printf("      {\"%s\", ..., 0x%016llxull},\n", s.name,
                    static_cast<unsigned long long>(h));
      EXPECT_EQ(h, s.expected);
    });
  }
}

}  // namespace
