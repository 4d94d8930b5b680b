// The module's words against the native golden checksums: every case of
// tests/core/golden_test.cpp, padded rows and bottom-up strides included, on
// the portable and the SIMD128 build.
import assert from 'node:assert/strict';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { describe, test } from 'node:test';

import { BUILDS, BUILD_DIR, SITE_DIR, fnv1aWords, goldenCases, goldenImage, loadModule } from './support.mjs';

const golden = goldenCases();
const rowPixels = golden.width + golden.padding;
const words = golden.height * rowPixels;

test('the golden cases cover every effect of the catalogue', async () => {
  const fx = await loadModule(false);
  const covered = new Set(golden.cases.map((c) => c.fn));
  assert.deepEqual([...covered].sort(), fx.effects.map((e) => e.function).sort());
  assert.ok(golden.padding > 0, 'the golden rows are padded');
  assert.ok(golden.cases.some((c) => c.bottomUp), 'some case runs bottom-up');
});

// The emitter run under Node writes what the native one writes: numbers
// printed by the module's C library, not glibc's.
const nativeCatalogue = join(BUILD_DIR, 'native', 'kelvo_fx', 'catalogue.json');
test('the page reads the catalogue the native build writes', { skip: !existsSync(nativeCatalogue) }, () => {
  assert.equal(readFileSync(join(SITE_DIR, 'catalogue.json'), 'utf8'), readFileSync(nativeCatalogue, 'utf8'));
});

for (const simd of BUILDS) {
  describe(simd ? 'SIMD128 build' : 'portable build', async () => {
    const fx = await loadModule(simd);
    for (const c of golden.cases) {
      test(c.name, () => {
        const img = goldenImage(golden.seeds.img, words);
        const other = goldenImage(golden.seeds.other, words);
        const rc = fx.runWords(c.fn, img, {
          width: golden.width,
          height: golden.height,
          stride: c.strideSign * rowPixels * 4,
          params: c.params,
          dst: c.into === 'other' ? other : null,
          // The C calls as the native suite makes them, out-of-range values included.
          check: false,
        });
        assert.equal(rc, 0);
        const h = (fnv1aWords(img) ^ ((31n * fnv1aWords(other)) & ((1n << 64n) - 1n)));
        assert.equal(h.toString(16).padStart(16, '0'), c.expected.toString(16).padStart(16, '0'));
      });
    }
  });
}
