// The module's words against the native golden checksums: every case of
// tests/core/golden_test.cpp, padded rows and bottom-up strides included, on
// every build (the threaded one at several thread counts); and the builds
// against each other on images large enough to be cut into pieces.
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

for (const [label, options] of BUILDS) {
  describe(label, async () => {
    const fx = await loadModule(options);
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

// The golden image is one piece for the parallel split, so the threads
// above never share a call; here each effect gets an image of a few pieces,
// with padded rows (and bottom-up), and the threaded build on more than one
// thread must give the single-thread SIMD128 build's words. A module loaded fresh for it also grows its memory
// during the first calls, from the pool's threads too, which the loader's
// views of that memory must follow.
const threaded = BUILDS.filter(([label]) => label.startsWith('threaded'));
const bottomUp = new Set(golden.cases.filter((c) => c.bottomUp).map((c) => c.fn));
describe('the builds agree on images cut into pieces', { skip: threaded.length === 0 }, async () => {
  // Just over one piece's worth of the split's 2^18 words: two pieces, the
  // second short.
  const width = 640;
  const height = 430;
  const row = width + 5;
  // One thread runs the pieces one after the other, which the golden cases
  // above already do: here only the counts that share a call.
  const sharing = threaded.filter(([, options]) => options.threads !== 1);
  const [reference, ...others] = await Promise.all([['SIMD128 build', { simd: true }], ...sharing]
    .map(([label, options]) => loadModule(options).then((fx) => [label, fx])));
  const fx = reference[1];
  for (const e of fx.effects) {
    // Bottom-up where the native suite runs the effect so.
    for (const strideSign of bottomUp.has(e.function) ? [1, -1] : [1]) {
      test(`${e.name}, stride ${strideSign > 0 ? '' : '-'}${row * 4}`, () => {
        const source = goldenImage(0x5eed0000 + e.params.length, row * height);
        // Away from the defaults, so each parameter is used: 0.7 of the way
        // across each slider.
        const params = Object.fromEntries(e.params.filter((p) => !p.kind.startsWith('colour'))
          .map((p) => [p.name, p.kind === 'integer' ? Math.round(p.soft_min + 0.7 * (p.soft_max - p.soft_min))
            : p.soft_min + 0.7 * (p.soft_max - p.soft_min)]));
        const run = (module) => {
          const words = source.slice();
          const dst = e.two_buffers ? new Uint32Array(words.length) : null;
          const rc = module.runWords(e.name, words, { width, height, stride: strideSign * row * 4, params, dst });
          assert.equal(rc, 0);
          return dst ?? words;
        };
        const expected = fnv1aWords(run(fx));
        for (const [label, other] of others) {
          assert.equal(fnv1aWords(run(other)), expected, label);
        }
      });
    }
  }
});

// Images that outgrow the module's first memory (16 MiB), one size after
// the other: each grows it, and the larger size's buffers lie beyond where
// the memory ended before, which views made earlier do not reach (a view of
// shared memory keeps its length; one of unshared memory is emptied). Every
// build must still give the same words.
describe('images that grow the module memory', async () => {
  const modules = await Promise.all(BUILDS.map(([label, options]) => loadModule(options).then((fx) => [label, fx])));
  for (const [width, height] of [[1900, 1500], [2200, 2000]]) {
    test(`${width} x ${height}`, () => {
      const source = goldenImage(0x600d + width, width * height);
      const results = modules.map(([label, fx]) => {
        const words = source.slice();
        assert.equal(fx.runWords('blur', words, { width, height, params: { sigma: 3 } }), 0, label);
        return [label, Buffer.from(words.buffer)];
      });
      assert.ok(!results[0][1].equals(Buffer.from(source.buffer)), 'the blur changed nothing');
      for (const [label, bytes] of results) assert.ok(bytes.equals(results[0][1]), label);
    });
  }
});
