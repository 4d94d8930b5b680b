// The colour grade's AVX-512 kernel against its AVX2 one: greys, edges and
// noise through a table, at saturations whose greys keep and drop a level.
#include "color/color_grade.cpp"
// The AVX2 kernel's table pass, as the one-word formula (the native suite
// holds the library's own to it): this image leaves the level dispatch out.
void kvfx::apply_channel_table(uint32_t* words, int64_t count, const ChannelTable& table) {
  for (int64_t k = 0; k < count; ++k) words[k] = apply_channel_table_word(words[k], table);
}
int64_t kvfx::channel_table_work(int64_t words) { return words; }  // no split runs here
bool kvfx::cpu_has_avx512_vbmi() { return true; }  // the emulated model has it
extern "C" double pow(double, double) { __builtin_trap(); }  // only tables with a gamma call it
extern "C" void test_print(const char*);
extern "C" void test_print_u64(uint64_t);
namespace {
uint64_t st = 0x2545F4914F6CDD1Dull;
uint32_t rnd() { st ^= st << 13; st ^= st >> 7; st ^= st << 17; return static_cast<uint32_t>(st >> 11); }
constexpr int kWords = 70001;  // a tail after the last whole vector
alignas(64) uint32_t in[kWords], wa[kWords], wb[kWords];
}
extern "C" int test_main() {
  // Greys of every level and alpha, words near them, then noise.
  for (int k = 0; k < kWords; ++k) {
    const uint32_t c = rnd() & 0xFF, a = rnd() & 0xFF;
    const uint32_t grey = a << 24 | c * 0x010101u;
    in[k] = k % 3 == 0 ? grey : k % 3 == 1 ? grey ^ (1u << (rnd() % 24)) : rnd();
  }
  const kvfx::ChannelTable identity = kvfx::make_channel_table([](uint32_t i) { return i; });
  const kvfx::ChannelTable steep = kvfx::make_channel_table([](uint32_t i) { return i < 40 ? 0 : i > 215 ? 255 : (i - 40) * 255 / 175; });
  const double saturations[] = {1.2, 0.0, -1.0, 0.5, 2.75, 16.0, 17.0};
  uint64_t bad = 0, checked = 0;
  for (const kvfx::ChannelTable* t : {&identity, &steep})
    for (double s : saturations)
      for (int n : {kWords, 15, 1}) {
        for (int k = 0; k < n; ++k) wa[k] = wb[k] = in[k];
        kvfx::grade_vbmi(wa, n, *t, s);
        kvfx::grade_avx2(wb, n, *t, s);
        for (int k = 0; k < n; ++k) { ++checked; if (wa[k] != wb[k]) ++bad; }
      }
  test_print("grade checked "); test_print_u64(checked); test_print(" bad "); test_print_u64(bad); test_print("\n");
  return bad == 0 ? 0 : 1;
}
