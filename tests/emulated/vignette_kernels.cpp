// The vignette's AVX-512 kernels against its AVX2 ones: the slope's
// estimated weights, the formula's weights, the mirrored half and the blend.
#include "color/vignette.cpp"
extern "C" void test_print(const char*);
extern "C" void test_print_u64(uint64_t);
namespace {
uint64_t st = 0x9E3779B97F4A7C15ull;
uint32_t rnd() { st ^= st << 13; st ^= st >> 7; st ^= st << 17; return static_cast<uint32_t>(st >> 11); }
alignas(64) double va[5000], vb[5000];
alignas(64) uint32_t ra[5000], rb[5000];
}
extern "C" int test_main() {
  using E = kvfx::AtEachLevel<kvfx::estimated_weights>;
  using W = kvfx::AtEachLevel<kvfx::weights_in_place>;
  using M = kvfx::AtEachLevel<kvfx::mirror_weights>;
  struct A { int w, h; double s, r, soft; uint32_t color; };  // black has a blend of its own
  const A args[] = {{3840, 2160, 0.6, 0.5, 0.4, 0xFF000000u}, {1031, 617, 16.0, 0.45, 0.3, 0xFF102030u},
                    {640, 360, -1.0, 0.3, 0.2, 0x00000000u}, {1920, 1080, 0.8, 0.6, 1e-6, 0xFF102030u},
                    {101, 77, 1.0, 0.0, 1.0, 0xFF102030u}};
  uint64_t bad = 0, n_checked = 0;
  for (const A& a : args) {
    const kvfx::VignetteParams p = kvfx::vignette_params(a.w, a.h, a.s, a.r, a.soft, a.color);
    for (int y = 0; y < a.h; y += 7) {
      const double dy = static_cast<double>(y) - p.cy;
      const int x0 = static_cast<int>(rnd() % 50), n = a.w / 2 - x0;
      const int za = E::avx512(va, x0, n, dy, &p), zb = E::avx2(vb, x0, n, dy, &p);
      if (za != zb) ++bad;
      for (int i = 0; i < n; ++i) { ++n_checked; if (__builtin_memcmp(&va[i], &vb[i], 8) != 0) ++bad; }
      for (int i = 0; i < n; ++i) va[i] = vb[i] = 0.5 * (i + x0) + dy;
      W::avx512(va, n, &p); W::avx2(vb, n, &p);
      for (int i = 0; i < n; ++i) { ++n_checked; if (__builtin_memcmp(&va[i], &vb[i], 8) != 0) ++bad; }
      for (int i = 0; i < a.w; ++i) va[i] = vb[i] = i * 0.25;
      M::avx512(va, a.w / 2, a.w); M::avx2(vb, a.w / 2, a.w);
      for (int i = 0; i < a.w; ++i) { ++n_checked; if (va[i] != vb[i]) ++bad; }
      for (int i = 0; i < a.w; ++i) ra[i] = rb[i] = rnd();
      const kvfx::ExactWeights ex = {dy, 0};
      E::avx2(vb, 0, a.w, dy, &p);
      kvfx::kBlendAvx512(ra, vb, a.w, &p, &ex); kvfx::kBlendAvx2(rb, vb, a.w, &p, &ex);
      for (int i = 0; i < a.w; ++i) { ++n_checked; if (ra[i] != rb[i]) ++bad; }
    }
  }
  test_print("vignette checked "); test_print_u64(n_checked); test_print(" bad "); test_print_u64(bad); test_print("\n");
  return bad == 0 ? 0 : 1;
}
