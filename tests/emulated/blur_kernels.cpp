// The AVX-512 blur kernels against the AVX2 ones, which the native suite
// holds to the scalar form: strips at every radius and many lengths, and
// column sums down clamped windows, every division form among them.
#include "blur/box_kernels.cpp"
#include "blur/box_kernels_x86.cpp"


extern "C" void test_print(const char*);
extern "C" void test_print_u64(uint64_t);

namespace {
uint64_t rng_state = 88172645463325252ull;
uint32_t rnd() { rng_state ^= rng_state << 13; rng_state ^= rng_state >> 7; rng_state ^= rng_state << 17; return static_cast<uint32_t>(rng_state >> 11); }
uint32_t word() { const uint32_t k = rnd() % 4; return k == 0 ? 0xFFFFFFFFu : k == 1 ? 0x01310A00u : k == 2 ? rnd() : 0u; }

alignas(64) uint32_t in_rows[8 * 4200], out_a[8 * 4200], out_b[8 * 4200];
alignas(64) uint32_t scratch_a[(4200 + 4 * 128 + 3) * 8 + 64], scratch_b[(4200 + 4 * 128 + 3) * 8 + 64];
int failures = 0;
uint64_t checked = 0;

void fail(const char* what, int r, int n, int64_t at) {
  if (++failures > 20) return;
  test_print(what); test_print(" r="); test_print_u64(r); test_print(" n="); test_print_u64(n);
  test_print(" at="); test_print_u64(static_cast<uint64_t>(at)); test_print("\n");
}

void strip_case(int r, int n, int pad) {
  const kvfx::BoxScale sc = kvfx::box_scale_for(r);
  const int64_t stride = n + pad;
  if (kvfx::box_strip_scratch_words(n, r) > static_cast<int64_t>(sizeof(scratch_a) / 4)) {
    fail("scratch too small", r, n, 0);
    return;
  }
  for (int64_t i = 0; i < 8 * stride; ++i) { in_rows[i] = word(); out_a[i] = out_b[i] = 0xA5A5A5A5u; }
  kvfx::strip512(in_rows, stride, out_a, stride, n, r, sc, scratch_a);
  kvfx::strip_avx2(in_rows, stride, out_b, stride, n, r, sc, scratch_b);
  for (int64_t i = 0; i < 8 * stride; ++i) {
    ++checked;
    if (out_a[i] != out_b[i]) { fail("strip mismatch", r, n, i); return; }
  }
}

alignas(64) uint16_t sums_a[4 * 4200], sums_b[4 * 4200];
alignas(64) uint32_t pool[320 * 1040];
alignas(64) uint32_t emit_a[1040], emit_b[1040];

// A clamped window down a column: the first row r + 1 times and rows 1 .. r,
// then each step a new row in and the oldest out, as the vertical pass runs.
void columns_case(int r, int n) {
  const kvfx::BoxScale sc = kvfx::box_scale_for(r);
  const int d = 2 * r + 1, steps = d < 40 ? d + 5 : 45;
  auto row = [&](int i) { return pool + static_cast<int64_t>(i) * n; };
  for (int64_t i = 0; i < static_cast<int64_t>(r + 1 + steps) * n; ++i) pool[i] = word();
  for (int i = 0; i < 4 * n; ++i) sums_a[i] = sums_b[i] = 0;
  const uint32_t* window[600];
  int head = 0, tail = 0;
  for (int k = 0; k <= r; ++k) window[tail++] = row(0);
  for (int k = 1; k <= r; ++k) window[tail++] = row(k);
  kvfx::accumulate_pairs512(sums_a, row(0), n, r + 1);
  kvfx::accumulate_pairs2(sums_b, row(0), n, r + 1);
  for (int k = 1; k <= r; ++k) { kvfx::accumulate_pairs512(sums_a, row(k), n, 1); kvfx::accumulate_pairs2(sums_b, row(k), n, 1); }
  kvfx::emit_pairs512(sums_a, emit_a, n, sc);
  kvfx::emit_pairs2(sums_b, emit_b, n, sc);
  for (int x = 0; x < n; ++x) { ++checked; if (emit_a[x] != emit_b[x]) { fail("emit mismatch", r, n, x); return; } }
  for (int step = 0; step < steps; ++step) {
    const uint32_t* add = row(r + 1 + step);
    const uint32_t* sub = window[head++];
    window[tail++] = add;
    kvfx::slide_and_emit_pairs512(sums_a, add, sub, emit_a, n, sc);
    kvfx::slide_and_emit_pairs2(sums_b, add, sub, emit_b, n, sc);
    for (int x = 0; x < n; ++x) { ++checked; if (emit_a[x] != emit_b[x]) { fail("slide mismatch", r, n, x); return; } }
  }
}
}  // namespace

extern "C" int test_main() {
  // Every radius, at a length of several windows (every sum of each width occurs somewhere).
  for (int r = 1; r <= 128; ++r) strip_case(r, 7 * (2 * r + 1) % 4000 + 40 + r % 7, r % 5);
  test_print("strips by radius done\n");
  const int radii[] = {1, 2, 7, 8, 24, 50, 93, 101, 126, 128};
  const int lengths[] = {1, 2, 3, 4, 5, 8, 15, 16, 17, 31, 32, 33, 34, 35, 36, 63, 64, 65, 66, 67, 100, 255, 256, 257, 300, 1031};
  for (int r : radii) for (int n : lengths) for (int pad = 0; pad < 3; ++pad) strip_case(r, n, pad);
  test_print("strips by length done\n");
  const int widths[] = {1, 7, 8, 15, 16, 17, 31, 32, 33, 47, 48, 49, 100, 1031};
  for (int r : radii) for (int n : widths) columns_case(r, n);
  for (int r = 1; r <= 128; r += 3) columns_case(r, 64);
  test_print("columns done\n");
  test_print("checked words: "); test_print_u64(checked); test_print("\nfailures: "); test_print_u64(static_cast<uint64_t>(failures)); test_print("\n");
  return failures == 0 ? 0 : 1;
}
