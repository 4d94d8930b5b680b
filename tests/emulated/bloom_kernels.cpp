// Bloom's AVX-512 bright pass and 2 x 2 means against the AVX2 ones (which
// the native suite holds to the one-word formulas, the bright pass for every
// colour): greys, bright words, dark runs and noise, with tails and in
// place. The bright pass's estimated path only: the emulator refuses
// gathers whose index register is zmm16 or above, so the gathers
// (thresholds beyond -2^23) are left to the native suite on AVX-512
// machines.
#include "blur/bloom_formulas.cpp"
#include "blur/bloom_tables.cpp"
bool kvfx::cpu_has_avx512_vbmi() { return true; }  // the emulated model has it
extern "C" void test_print(const char*);
extern "C" void test_print_u64(uint64_t);
namespace {
uint64_t st = 0xD1B54A32D192ED03ull;
uint32_t rnd() { st ^= st << 13; st ^= st >> 7; st ^= st << 17; return static_cast<uint32_t>(st >> 11); }
constexpr int kWords = 60007;  // a tail after the last whole pair of vectors
alignas(64) uint32_t in[kWords], wa[kWords], wb[kWords];
alignas(64) uint8_t tables[3][kvfx::kTableEntries + 3];
}
extern "C" int test_main() {
  for (int k = 0; k < kWords; ++k) {
    const uint32_t a = rnd() & 0xFF, c = rnd() & 0xFF;
    in[k] = k % 4 == 0 ? a << 24 | c * 0x010101u                 // greys
            : k % 4 == 1 ? rnd() | 0x00C0C0C0u                    // bright
            : k % 8 == 2 ? (k / 64 % 2 ? 0xFF000000u : rnd() & 0xFF3F3F3Fu)  // dark runs
                         : rnd();
  }
  struct Setting { double threshold; uint32_t tint; };
  const Setting settings[] = {{0.7, 0xFFFFE0C0u}, {0.0, 0xFFFFFFFFu}, {-1.0, 0x00FF8001u},
                              {0.999, 0xFF102030u}, {-3e4, 0xFFC08040u}};
  uint64_t bad = 0, checked = 0;
  for (const Setting& c : settings) {
    const int32_t thr = kvfx::bloom_threshold(c.threshold);
    const double denom = kvfx::bloom_denominator(thr);
    const double tint[3] = {kvfx::red_of(c.tint) / 255.0, kvfx::green_of(c.tint) / 255.0,
                            kvfx::blue_of(c.tint) / 255.0};
    const uint8_t* t[3] = {tables[0], tables[1], tables[2]};
    for (int ch = 0; ch < 3; ++ch)
      for (uint32_t luma = 0; luma < 256; ++luma)
        for (uint32_t v = 0; v < 256; ++v)
          tables[ch][luma << 8 | v] = static_cast<uint8_t>(
              kvfx::bloom_passes(luma, thr)
                  ? kvfx::bloom_bright_channel(v, kvfx::bloom_pass_factor(luma, thr, denom), tint[ch])
                  : 0);
    for (int n : {kWords, 47, 33, 32, 17, 16, 15, 1}) {
      for (int k = 0; k < n; ++k) wa[k] = wb[k] = 0xDEADBEEFu;
      kvfx::bright_row_avx512(in, wa, n, thr, t, denom, tint);
      kvfx::bright_row_avx2(in, wb, n, thr, t, denom, tint);
      for (int k = 0; k < kWords; ++k) { ++checked; if (wa[k] != wb[k]) ++bad; }
    }
    // In place, as a caller's row may be.
    for (int k = 0; k < kWords; ++k) wa[k] = wb[k] = in[k];
    kvfx::bright_row_avx512(wa, wa, kWords, thr, t, denom, tint);
    kvfx::bright_row_avx2(wb, wb, kWords, thr, t, denom, tint);
    for (int k = 0; k < kWords; ++k) { ++checked; if (wa[k] != wb[k]) ++bad; }
  }
  // The 2 x 2 means, with words whose channels sum to the largest totals.
  for (int k = 0; k < kWords; k += 5) in[k] = 0xFFFFFFFFu;
  for (int hw : {kWords / 2, 31, 17, 16, 15, 1}) {
    for (int k = 0; k < kWords; ++k) wa[k] = wb[k] = 0xDEADBEEFu;
    kvfx::downsample_row_avx512(in, in + kWords / 2, wa, hw / 2);
    kvfx::downsample_row_avx2(in, in + kWords / 2, wb, hw / 2);
    for (int k = 0; k < kWords; ++k) { ++checked; if (wa[k] != wb[k]) ++bad; }
  }
  test_print("bloom checked "); test_print_u64(checked); test_print(" bad "); test_print_u64(bad); test_print("\n");
  return bad == 0 ? 0 : 1;
}
