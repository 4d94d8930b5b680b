// The drop shadow's AVX-512 composite and coverage against the AVX2 ones
// (which the native suite holds to the formula for every alpha, channel and
// shadow channel): every source alpha and channel under shadow words of
// every channel, with runs that end inside a vector, apart and in place.
#include "blur/drop_shadow.cpp"
// The effect around the kernels refers to the blur engine, which this image
// leaves out: never called.
struct kvfx::BlurBand::Impl {};
kvfx::BlurBand::BlurBand(int32_t, int32_t, double, int32_t, int32_t, int64_t, bool) {
  __builtin_trap();
}
int64_t kvfx::BlurBand::shared_words() const { __builtin_trap(); }
void kvfx::BlurBand::place(uint32_t*) { __builtin_trap(); }
kvfx::BlurBand::BlurBand(BlurBand&&) noexcept { __builtin_trap(); }
kvfx::BlurBand::~BlurBand() = default;
int32_t kvfx::BlurBand::input_begin() const { __builtin_trap(); }
int32_t kvfx::BlurBand::input_end() const { __builtin_trap(); }
void kvfx::BlurBand::run(BlurRows&) { __builtin_trap(); }
int kvfx::blur_band_count(const Runner&, int64_t, int32_t, double) { __builtin_trap(); }
void kvfx::gaussian_blur_in_place(uint32_t*, int32_t, int32_t, int64_t, double) { __builtin_trap(); }
extern "C" void test_print(const char*);
extern "C" void test_print_u64(uint64_t);
namespace {
uint64_t st = 0x6A09E667F3BCC909ull;
uint32_t rnd() { st ^= st << 13; st ^= st >> 7; st ^= st << 17; return static_cast<uint32_t>(st >> 11); }
constexpr int kWords = 65536 + 13;
alignas(64) uint32_t src[kWords], shadow[kWords], da[kWords], db[kWords];
}
extern "C" int test_main() {
  const kvfx::InverseAlphaTable inverse;
  uint64_t bad = 0, checked = 0;
  for (int round = 0; round < 4; ++round) {
    for (int k = 0; k < kWords; ++k) {
      const uint32_t a = k >> 8 & 0xFF, c = k & 0xFF;
      src[k] = a << 24 | c << 16 | (255 - c) << 8 | (c ^ static_cast<uint32_t>(round * 77));
      const uint32_t hc = rnd() & 0xFF;
      shadow[k] = round == 0 ? hc * 0x01010101u : round == 1 && k % 5 == 0 ? 0u : rnd();
    }
    for (int n : {kWords, 17, 16, 15, 1}) {
      for (int k = 0; k < kWords; ++k) da[k] = db[k] = 0xDEADBEEFu;
      kvfx::composite_run_avx512(src, shadow, da, n, inverse.inv);
      kvfx::composite_run_avx2(src, shadow, db, n, inverse.inv);
      for (int k = 0; k < kWords; ++k) { ++checked; if (da[k] != db[k]) ++bad; }
      // In place: the kernels read the words they write.
      for (int k = 0; k < kWords; ++k) da[k] = db[k] = src[k];
      kvfx::composite_run_avx512(da, shadow, da, n, inverse.inv);
      kvfx::composite_run_avx2(db, shadow, db, n, inverse.inv);
      for (int k = 0; k < kWords; ++k) { ++checked; if (da[k] != db[k]) ++bad; }
      const uint32_t color = rnd();
      kvfx::coverage_span_avx512(src, da, n, color, nullptr);
      const kvfx::ShadowWordTable words(color);
      kvfx::coverage_span_avx2(src, db, n, color, words.word);
      for (int k = 0; k < kWords; ++k) { ++checked; if (da[k] != db[k]) ++bad; }
    }
  }
  test_print("shadow checked "); test_print_u64(checked); test_print(" bad "); test_print_u64(bad); test_print("\n");
  return bad == 0 ? 0 : 1;
}
