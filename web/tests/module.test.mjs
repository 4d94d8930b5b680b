// kelvo_fx.mjs beyond the raw calls: the straight-alpha rule on ImageData,
// how parameters are read and refused, and the memory kept per image size.
import assert from 'node:assert/strict';
import { readFileSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';

import { ROOT_DIR, SITE_DIR, loadModule } from './support.mjs';

const fx = await loadModule(false);

// The rule as stated in catalogue/straight_alpha.h, written out again here
// so the module's use of it is checked against the formulas, not itself.
function premultiply(w) {
  const a = w >>> 24;
  const mul = (c) => Math.floor((c * a + 127) / 255);
  return ((a << 24) | (mul((w >>> 16) & 255) << 16) | (mul((w >>> 8) & 255) << 8) | mul(w & 255)) >>> 0;
}

function unpremultiply(w) {
  const a = w >>> 24;
  if (a === 0) return 0;
  const div = (c) => Math.min(255, Math.floor((c * 255 + Math.floor(a / 2)) / a));
  return ((a << 24) | (div((w >>> 16) & 255) << 16) | (div((w >>> 8) & 255) << 8) | div(w & 255)) >>> 0;
}

// Each step fed its catalogue input kind, converting only where the kind
// changes, through the raw calls; the result back as straight RGBA.
function referenceChain(image, chain) {
  const n = image.width * image.height;
  const d = image.data;
  let words = new Uint32Array(n);
  for (let i = 0; i < n; i++) words[i] = ((d[4 * i + 3] << 24) | (d[4 * i] << 16) | (d[4 * i + 1] << 8) | d[4 * i + 2]) >>> 0;
  let held = 'straight_colour';
  for (const step of chain) {
    const s = typeof step === 'string' ? { effect: step } : step;
    const wanted = fx.effect(s.effect).input;
    if (wanted !== held) words = words.map(wanted === 'premultiplied' ? premultiply : unpremultiply);
    held = wanted;
    assert.equal(fx.runWords(s.effect, words, { width: image.width, height: image.height, params: s.params }), 0);
  }
  if (held !== 'straight_colour') words = words.map(unpremultiply);
  const out = new Uint8ClampedArray(n * 4);
  for (let i = 0; i < n; i++) {
    const w = words[i];
    out.set([(w >>> 16) & 255, (w >>> 8) & 255, w & 255, w >>> 24], 4 * i);
  }
  return out;
}

// Straight RGBA with every kind of alpha: clear, opaque and in between.
function testImage(width, height, seed) {
  let s = seed >>> 0;
  const next = () => {
    s = (s ^ (s << 13)) >>> 0;
    s = (s ^ (s >>> 17)) >>> 0;
    s = (s ^ (s << 5)) >>> 0;
    return s;
  };
  const data = new Uint8ClampedArray(width * height * 4);
  for (let i = 0; i < width * height; i++) {
    const r = next();
    const alpha = [0, 255, r >>> 24, 1, 128][i % 5];
    data.set([r & 255, (r >>> 8) & 255, (r >>> 16) & 255, alpha], 4 * i);
  }
  return { width, height, data };
}

const copy = (image) => ({ width: image.width, height: image.height, data: new Uint8ClampedArray(image.data) });

describe('the straight-alpha rule on ImageData', () => {
  const chains = [
    ['colour effects only: never converted', ['grade', 'vignette', 'grain']],
    ['a blur alone: premultiplied and back', [{ effect: 'blur', params: { sigma: 1.5 } }]],
    ['premultiplied steps in a row convert once', ['blur', 'glitch', 'chromatic']],
    ['straight, premultiplied, straight', ['tonemap', { effect: 'bloom', params: { threshold: 0.3 } }, 'scanlines']],
    ['premultiplied, straight, premultiplied', ['shadow', 'grade', { effect: 'chromatic', params: { angle: 1 } }]],
  ];
  for (const [what, chain] of chains) {
    test(what, () => {
      const image = testImage(37, 23, 0x1234567);
      const expected = referenceChain(copy(image), chain);
      const got = copy(image);
      fx.applyChain(got, chain);
      assert.deepEqual(got.data, expected);
    });
  }

  test('every colour and alpha pair survives the round trip as the formulas say', () => {
    // Row a, column c: colour c at alpha a, in all three channels (blue and
    // red swapped, so a byte-order slip shows).
    const image = { width: 256, height: 256, data: new Uint8ClampedArray(256 * 256 * 4) };
    for (let a = 0; a < 256; a++) {
      for (let c = 0; c < 256; c++) image.data.set([c, 255 - c, (c * 7) & 255, a], 4 * (a * 256 + c));
    }
    const got = copy(image);
    // A blur of sigma 0 leaves words alone: only the two conversions act.
    fx.applyChain(got, [{ effect: 'blur', params: { sigma: 0 } }]);
    for (let i = 0; i < 256 * 256; i++) {
      const d = image.data;
      const w = ((d[4 * i + 3] << 24) | (d[4 * i] << 16) | (d[4 * i + 1] << 8) | d[4 * i + 2]) >>> 0;
      const back = unpremultiply(premultiply(w));
      const want = [(back >>> 16) & 255, (back >>> 8) & 255, back & 255, back >>> 24];
      if (got.data[4 * i] !== want[0] || got.data[4 * i + 1] !== want[1] || got.data[4 * i + 2] !== want[2] ||
          got.data[4 * i + 3] !== want[3]) {
        assert.fail(`pixel ${i}: ${[...got.data.subarray(4 * i, 4 * i + 4)]} instead of ${want}`);
      }
    }
  });
});

describe('parameters', () => {
  // Pairs of parameter sets kvfx treats alike: they must give the same bytes.
  const alike = [
    ['shadow', { dx: -3, dy: 2 }, { offset_x: -3, offset_y: 2 }],
    ['glitch', { bands: 20 }, { band_count: 20 }],
    ['bloom', { tint: '#ff8040' }, { tint: 0xffff8040 }],
    ['bloom', { tint: 'FF8040' }, { tint: '0xff8040' }],
    ['shadow', { color: 'c0102030' }, { color: 0xc0102030 }],
    ['shadow', { color: '#102030' }, { color: 'ff102030' }],
    // Text is read by the one colour rule; a number is the word as it stands.
    ['shadow', { color: '000000' }, { color: 0xff000000 }],
    ['shadow', { color: 0 }, { color: '00000000' }],
    ['blur', { sigma: '2.5' }, [2.5]],
    ['grade', {}, fx.defaults('grade')],
    // Every other name of the catalogue is its parameter.
    ...fx.effects.flatMap((e) => e.params.filter((p) => p.alias).map((p) => {
      const v = p.kind === 'integer' ? p.default + 3 : p.default + 1.5;
      return [e.name, { [p.alias]: v }, { [p.name]: v }];
    })),
  ];
  for (const [name, a, b] of alike) {
    test(`${name}: ${JSON.stringify(a)} is ${JSON.stringify(b)}`, () => {
      const x = testImage(29, 17, 99);
      const y = copy(x);
      fx.applyEffect(x, name, a);
      fx.applyEffect(y, name, b);
      assert.deepEqual(x.data, y.data);
    });
  }

  // What each refusal must say; the image is left as it was, earlier steps
  // of the chain included.
  const refused = [
    [['sharpen'], /unknown effect 'sharpen'/],
    [[{ effect: 'blur', params: { radius: 2 } }], /blur: unknown parameter 'radius'/],
    [[{ effect: 'blur', params: { sigma: -1 } }], /blur sigma: -1 is out of range \[0, 1000000\]/],
    [[{ effect: 'scanlines', params: { spacing: 2.5 } }], /scanlines spacing: '2.5' is not an integer/],
    [[{ effect: 'glitch', params: { max_shift: 0 } }], /glitch max_shift: 0 is out of range \[1, 1073741823\]/],
    [[{ effect: 'vignette', params: { color: 'red' } }], /vignette color: 'red' is not a colour/],
    [[{ effect: 'bloom', params: { intensity: NaN } }], /bloom intensity: 'NaN' is not a number/],
    [[{ effect: 'bloom', params: { intensity: Infinity } }], /is not a number/],
    [[{ effect: 'blur', params: [1, 2] }], /blur takes 1 parameters, not 2/],
    [['blur', { effect: 'grade', params: { gamma: 0 } }], /grade gamma: 0 is out of range/],
    [[{ effect: 'shadow', params: { dx: 1, offset_x: 20 } }], /shadow: offset_x given twice, as dx and as offset_x/],
    [[{ effect: 'bloom', params: { tint: ' ff8040' } }], /bloom tint: ' ff8040' is not a colour/],
  ];
  for (const [chain, message] of refused) {
    test(`refuses ${JSON.stringify(chain)}`, () => {
      const image = testImage(19, 11, 5);
      const before = new Uint8ClampedArray(image.data);
      assert.throws(() => fx.applyChain(image, chain), (err) => err.name === 'FxError' && message.test(err.message));
      assert.deepEqual(image.data, before);
    });
  }

  test('runWords checks its parameters as applyChain does, unless asked for the raw call', () => {
    for (const [chain, message] of refused.filter(([c]) => c.length === 1 && c[0].params)) {
      const { effect, params } = chain[0];
      const words = new Uint32Array(8 * 6).fill(0xff336699);
      const before = words.slice();
      assert.throws(() => fx.runWords(effect, words, { width: 8, height: 6, params }),
        (err) => err.name === 'FxError' && message.test(err.message), JSON.stringify(chain));
      assert.deepEqual(words, before);
    }
    const words = new Uint32Array(8 * 6).fill(0xff336699);
    assert.equal(fx.runWords('blur', words, { width: 8, height: 6, params: { sigma: 'abc' }, check: false }), 0);
  });

  test('a refused step names its place in the chain', () => {
    try {
      fx.applyChain(testImage(4, 4, 1), ['blur', 'grain', { effect: 'grain', params: { amount: 2 } }]);
      assert.fail('not refused');
    } catch (err) {
      assert.equal(err.step, 2);
      assert.equal(err.param, 'amount');
    }
  });
});

describe('raw calls on words', () => {
  // Buffers the library itself turns down or ignores: the result code comes
  // back, and the words are untouched.
  const cases = [
    ['shadow', 8 * 4 - 4, -1],  // rows overlapping
    ['chromatic', -(8 * 4), -1], // bottom-up rows
    ['blur', 8 * 4 - 4, 0],     // nothing to do
  ];
  for (const [name, stride, code] of cases) {
    test(`${name} with stride ${stride} answers ${code}`, () => {
      const words = new Uint32Array(8 * 6).map((_, i) => (i * 0x01030507) >>> 0 | 0xff000000);
      const before = words.slice();
      assert.equal(fx.runWords(name, words, { width: 8, height: 6, stride }), code);
      assert.deepEqual(words, before);
    });
  }

  test('an image the module cannot hold is refused, and the module still works', () => {
    // Never read: the size alone is refused (2^32 bytes would wrap to 0).
    const huge = { width: 65536, height: 16384, data: { length: 65536 * 16384 * 4 } };
    assert.throws(() => fx.applyChain(huge, ['blur']), /no memory for a 4294967296-byte image/);
    const image = testImage(8, 8, 2);
    assert.equal(fx.applyChain(image, ['blur']).timings.length, 1);
  });

  test('buffers that do not fit the call are refused before it', () => {
    assert.throws(() => fx.runWords('blur', new Uint32Array(10), { width: 4, height: 3 }), RangeError);
    assert.throws(() => fx.runWords('blur', new Uint32Array(12), { width: 4, height: 3, dst: new Uint32Array(12) }),
      /blur works in place/);
    assert.throws(() => fx.runWords('shadow', new Uint32Array(12), { width: 4, height: 3, dst: new Uint32Array(11) }),
      /as long as words/);
  });
});

test('image memory is made once per size', () => {
  const start = fx.allocations;
  const small = testImage(40, 30, 3);
  for (let i = 0; i < 5; i++) fx.applyChain(small, ['blur', 'grade']);
  assert.equal(fx.allocations - start, 1);
  fx.applyChain(testImage(41, 30, 3), ['blur']);
  fx.applyChain(testImage(41, 30, 3), ['vignette']);
  assert.equal(fx.allocations - start, 2);
});

// README's example of load, applyChain and runWords, run as written from
// beside the module it imports: each call does what its comment says.
test('the README example runs and changes what it says', async () => {
  const readme = readFileSync(join(ROOT_DIR, 'README.md'), 'utf8');
  const block = [...readme.matchAll(/^```js\n([\s\S]*?)^```/gm)].map((m) => m[1])
    .find((b) => b.includes("from './kelvo_fx.mjs'"));
  assert.ok(block, 'README has no example importing kelvo_fx.mjs');
  const file = join(SITE_DIR, `readme-example-${process.pid}.mjs`);
  writeFileSync(file, `${block}\nexport { fx, image, timings, words, rc };\n`);
  try {
    const ran = await import(pathToFileURL(file).href);
    const scene = ran.fx.demoScene();
    assert.equal(ran.timings.length, 3);
    assert.notDeepEqual(ran.image.data, scene.data, 'applyChain left the demo scene as it was');
    assert.equal(ran.rc, 0);
    assert.ok(ran.words[0] !== 0xff2050a0 && ran.words[ran.words.length - 1] !== 0xff2050a0,
      'the vignette left the corners as they were');
  } finally {
    rmSync(file);
  }
});
