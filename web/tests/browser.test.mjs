// The page in a real headless Chromium (Debian's /usr/bin/chromium, driven by
// playwright-core; nothing downloads a browser), served from a local port.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { inflateSync } from 'node:zlib';

import { chromium } from 'playwright-core';

import { encodePng } from '../png.mjs';
import { serve } from '../serve.mjs';
import { BUILD_DIR, NATIVE_DRIVER, SITE_DIR, fnv1aWords, goldenCases, goldenImage, installedPackage } from './support.mjs';

const CHROMIUM = process.env.KV_FX_CHROMIUM ?? '/usr/bin/chromium';
const FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const tmp = mkdtempSync(join(tmpdir(), 'kvfx-web-'));

let server;
let plainServer;
let browser;
let base;
// The same site served without cross-origin isolation, as most hosts serve.
let plainBase;

before(async () => {
  server = await serve(SITE_DIR);
  plainServer = await serve(SITE_DIR, 0, { isolated: false });
  base = `http://127.0.0.1:${server.address().port}/`;
  plainBase = `http://127.0.0.1:${plainServer.address().port}/`;
  browser = await chromium.launch({ executablePath: CHROMIUM, args: FLAGS });
});

after(async () => {
  await browser?.close();
  server?.close();
  plainServer?.close();
});

// A page with its console watched; resolves once the demo scene has gone
// through the starting chain.
async function openPage(query = '', at = base) {
  const context = await browser.newContext({ viewport: { width: 1280, height: 820 }, acceptDownloads: true });
  const page = await context.newPage();
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push(`console: ${m.text()}`); });
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('requestfailed', (r) => problems.push(`request failed: ${r.url()}`));
  await page.goto(at + query);
  await page.waitForFunction(() => document.body.dataset.state === 'idle' && window.playground.renders > 0,
    null, { timeout: 30000 });
  return { page, problems, close: () => context.close() };
}

const settle = (page) => page.evaluate(() => window.playground.whenIdle());

// FNV-1a of a canvas as drawn.
const canvasHash = (page, id = 'after') => page.evaluate((canvasId) => {
  const c = document.getElementById(canvasId);
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  let h = 0x811c9dc5;
  for (let i = 0; i < d.length; i++) h = Math.imul(h ^ d[i], 0x01000193) >>> 0;
  return h;
}, id);

// An image's bytes out of the page, as base64 (a plain array of numbers
// would cost seconds to pass through the protocol).
const bytesOf = (page, which) => page.evaluate((w) => {
  const d = window.playground[w].data;
  let text = '';
  for (let i = 0; i < d.length; i += 0x8000) text += String.fromCharCode(...d.subarray(i, i + 0x8000));
  return btoa(text);
}, which).then((b64) => new Uint8Array(Buffer.from(b64, 'base64')));

async function clearChain(page) {
  while (await page.locator('#chain .step').count()) {
    await page.locator('#chain .step').first().getByRole('button', { name: /^remove/ }).click();
  }
  await settle(page);
}

async function addEffect(page, name) {
  await page.selectOption('#effect-picker', name);
  await page.click('#add-effect');
  await settle(page);
}

const stepLocator = (page, i) => page.locator('#chain .step').nth(i);

async function setParam(page, step, p, value) {
  const li = stepLocator(page, step);
  if (p.kind === 'colour' || p.kind === 'colour_alpha') {
    await li.locator(`input[type=color][data-param="${p.name}"]`).fill(value);
  } else {
    await li.locator(`input[type=number][data-param="${p.name}"]`).fill(String(value));
  }
  await settle(page);
}

// A value for each parameter well away from its default, inside its slider.
// Where a default makes a parameter inert, the test starts elsewhere:
// chromatic's strength_y acts through sin(angle), nothing at angle 0.
const START = { chromatic: { angle: 0.8 } };
// Defaults meant to change nothing, so that one slider moves one thing.
const NEUTRAL_AT_DEFAULTS = new Set(['grade']);

function movedValue(p) {
  if (p.kind === 'colour' || p.kind === 'colour_alpha') return '#ff2020';
  const span = p.soft_max - p.soft_min;
  let v = p.soft_min + 0.8 * span;
  if (Math.abs(v - p.default) < 0.2 * span) v = p.soft_min + 0.3 * span;
  return p.kind === 'integer' ? Math.round(v) : Number(v.toFixed(3));
}

function resetValue(p) {
  return p.kind === 'colour' || p.kind === 'colour_alpha' ? `#${(p.default & 0xffffff).toString(16).padStart(6, '0')}` : p.default;
}

// The RGBA bytes of the page's PNG: 8-bit RGBA rows, filter 0 or 1.
function decodePng(file) {
  assert.equal(file.toString('latin1', 1, 4), 'PNG');
  const chunks = {};
  for (let at = 8; at < file.length; at += 12 + file.readUInt32BE(at)) {
    const type = file.toString('latin1', at + 4, at + 8);
    (chunks[type] ??= []).push(file.subarray(at + 8, at + 8 + file.readUInt32BE(at)));
  }
  const [ihdr] = chunks.IHDR;
  const width = ihdr.readUInt32BE(0);
  const height = ihdr.readUInt32BE(4);
  assert.deepEqual([...ihdr.subarray(8, 13)], [8, 6, 0, 0, 0]);
  const raw = inflateSync(Buffer.concat(chunks.IDAT));
  const row = width * 4;
  const out = new Uint8Array(row * height);
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (row + 1)];
    assert.ok(filter === 0 || filter === 1, `filter ${filter}`);
    for (let i = 0; i < row; i++) {
      const left = filter === 1 && i >= 4 ? out[y * row + i - 4] : 0;
      out[y * row + i] = (raw[y * (row + 1) + 1 + i] + left) & 0xff;
    }
  }
  return { width, height, data: out };
}

function nativeChain(source, chain, catalogue) {
  const input = join(tmp, 'in.rgba');
  const output = join(tmp, 'out.rgba');
  writeFileSync(input, source.data);
  const args = ['chain', String(source.width), String(source.height), input, output];
  for (const step of chain) {
    args.push(step.effect);
    const e = catalogue.effects.find((x) => x.name === step.effect);
    for (const p of e.params) {
      const v = step.params[p.name];
      // Colour text goes to the driver as typed (hex digits), words as AARRGGBB.
      const text = !p.kind.startsWith('colour') ? String(v)
        : typeof v === 'string' ? v : (v >>> 0).toString(16).padStart(8, '0');
      args.push(`${p.name}=${text}`);
    }
  }
  execFileSync(NATIVE_DRIVER, args);
  return new Uint8Array(readFileSync(output));
}

describe('playground page', () => {
  let page;
  let problems;
  let close;
  let catalogue;

  before(async () => {
    ({ page, problems, close } = await openPage());
    catalogue = JSON.parse(readFileSync(join(SITE_DIR, 'catalogue.json'), 'utf8'));
  });
  after(async () => close?.());

  test('loads with no console errors and shows the demo scene through the starting chain', async () => {
    await page.screenshot({ path: join(BUILD_DIR, 'screenshot.png') });
    const demo = join(tmp, 'demo.rgba');
    const [w, h] = execFileSync(NATIVE_DRIVER, ['demo', demo]).toString().trim().split(' ').map(Number);
    const source = await page.evaluate(() => ({ width: playground.source.width, height: playground.source.height }));
    assert.deepEqual(source, { width: w, height: h });
    // kvfx's own scene, to the bit, drawn by the module.
    assert.deepEqual(await bytesOf(page, 'source'), new Uint8Array(readFileSync(demo)));
    assert.equal(await page.locator('#chain .step').count(), 2);
    assert.match(await page.locator('#chain .step .time').first().innerText(), /ms$/);
    // Isolated, so the threaded build, with as many threads as the
    // browser has CPUs (up to 8).
    const cpus = await page.evaluate(() => Math.min(8, navigator.hardwareConcurrency));
    assert.ok(cpus > 1, 'this test needs a browser that reports more than one CPU');
    assert.match(await page.locator('#build-info').innerText(), new RegExp(`threaded build, ${cpus} threads`));
    assert.deepEqual(problems, []);
  });

  test('each effect changes the picture and each of its parameters moves it', async () => {
    await clearChain(page);
    const original = await canvasHash(page);
    for (const e of catalogue.effects) {
      await addEffect(page, e.name);
      for (const [name, v] of Object.entries(START[e.name] ?? {})) {
        await setParam(page, 0, e.params.find((p) => p.name === name), v);
      }
      const withDefaults = await canvasHash(page);
      if (!NEUTRAL_AT_DEFAULTS.has(e.name)) {
        assert.notEqual(withDefaults, original, `${e.name} at its defaults changed nothing`);
      }
      for (const p of e.params) {
        await setParam(page, 0, p, movedValue(p));
        assert.notEqual(await canvasHash(page), withDefaults, `${e.name} ${p.name}=${movedValue(p)} changed nothing`);
        await setParam(page, 0, p, START[e.name]?.[p.name] ?? resetValue(p));
        assert.equal(await canvasHash(page), withDefaults, `${e.name} ${p.name} back at its default`);
      }
      await clearChain(page);
    }
    // The sliders drive the same values as the fields.
    await addEffect(page, 'blur');
    const before = await canvasHash(page);
    await stepLocator(page, 0).locator('input[type=range][data-param=sigma]').fill('20');
    await settle(page);
    assert.equal(await stepLocator(page, 0).locator('input[type=number][data-param=sigma]').inputValue(), '20');
    assert.notEqual(await canvasHash(page), before);
    await clearChain(page);
    assert.deepEqual(problems, []);
  });

  test('reordering the chain changes the result and removing a step undoes it', async () => {
    await clearChain(page);
    const original = await canvasHash(page);
    await addEffect(page, 'scanlines');
    await addEffect(page, 'blur');
    const scanThenBlur = await canvasHash(page);
    await stepLocator(page, 1).getByRole('button', { name: /^move up/ }).click();
    await settle(page);
    assert.equal(await stepLocator(page, 0).getAttribute('data-effect'), 'blur');
    assert.notEqual(await canvasHash(page), scanThenBlur);
    await stepLocator(page, 0).getByRole('button', { name: /^remove/ }).click();
    await stepLocator(page, 0).getByRole('button', { name: /^remove/ }).click();
    await settle(page);
    assert.equal(await canvasHash(page), original);
  });

  test('the downloaded PNG holds the result byte for byte', async () => {
    await clearChain(page);
    await addEffect(page, 'shadow');
    await addEffect(page, 'grain');
    const waiting = page.waitForEvent('download');
    await page.click('#download');
    const file = join(tmp, 'download.png');
    await (await waiting).saveAs(file);
    const png = decodePng(readFileSync(file));
    const result = await bytesOf(page, 'result');
    assert.equal(png.width, 320);
    assert.deepEqual(png.data, result);
  });

  test('an opened image becomes the source, pixel for pixel', async () => {
    // Opaque, so the canvas that decodes it keeps every byte.
    const width = 97;
    const height = 61;
    const data = new Uint8Array(width * height * 4).map((_, i) => (i % 4 === 3 ? 255 : (i * 37) & 255));
    await page.setInputFiles('#file', { name: 'ramp.png', mimeType: 'image/png',
      buffer: Buffer.from(await encodePng({ width, height, data })) });
    await page.waitForFunction(() => playground.source.width === 97, null, { timeout: 10000 });
    await settle(page);
    assert.deepEqual(await bytesOf(page, 'source'), data);
    assert.match(await page.locator('#image-info').innerText(), /ramp\.png: 97 x 61/);
    await page.click('#demo');
    await page.waitForFunction(() => playground.source.width === 320, null, { timeout: 10000 });
    await settle(page);
  });

  // Each wrong input: what to do, and what the message must say. The
  // picture and the source stay as they were; a refused field is marked.
  const wide = encodePng({ width: 8193, height: 1, data: new Uint8Array(8193 * 4) });
  const sigma = () => stepLocator(page, 0).locator('input[type=number][data-param=sigma]');
  const wrongInputs = [
    ['a file that is not an image', async () => page.setInputFiles('#file',
      { name: 'notes.txt', mimeType: 'text/plain', buffer: Buffer.from('not pixels\n') }), /“notes\.txt” is not an image/],
    ['an image wider than the limit', async () => page.setInputFiles('#file',
      { name: 'wide.png', mimeType: 'image/png', buffer: Buffer.from(await wide) }), /“wide\.png” is 8193 x 1 pixels; .*at most/],
    ['a parameter out of range', () => sigma().fill('-5'), /blur sigma: -5 is out of range \[0, 1000000\]/, true],
    ['a parameter that is not a number', () => sigma().fill(''), /blur sigma: '' is not a number/, true],
  ];
  for (const [what, act, message, marksField] of wrongInputs) {
    test(`${what} gets a message and leaves the picture`, async () => {
      await clearChain(page);
      await addEffect(page, 'blur');
      const picture = await canvasHash(page);
      const source = await canvasHash(page, 'before');
      await act();
      await page.waitForFunction(() => !document.getElementById('message').hidden, null, { timeout: 10000 });
      await settle(page);
      assert.match(await page.locator('#message').innerText(), message);
      assert.equal(await canvasHash(page), picture);
      assert.equal(await canvasHash(page, 'before'), source);
      if (marksField) {
        assert.equal(await sigma().getAttribute('aria-invalid'), 'true');
        assert.match(await stepLocator(page, 0).getAttribute('class'), /failed/);
      }
      await clearChain(page);
      await addEffect(page, 'blur');
      assert.equal(await page.locator('#message').isHidden(), true, 'a good render clears the message');
      assert.deepEqual(problems, []);
    });
  }
});

// Colour text typed into a step's field is read by the rule every host
// follows: RRGGBB opaque, AARRGGBB with its alpha; other text is refused.
test('a colour typed as text gives the native bytes for that colour, and bad text is refused', async () => {
  const { page, problems, close } = await openPage();
  try {
    const catalogue = JSON.parse(readFileSync(join(SITE_DIR, 'catalogue.json'), 'utf8'));
    await clearChain(page);
    await addEffect(page, 'shadow');
    const field = stepLocator(page, 0).locator('input[type=text][data-param=color]');
    assert.equal(await field.inputValue(), '80000000', 'the field does not show the default word');
    const source = await page.evaluate(() => ({ width: playground.source.width, height: playground.source.height }));
    source.data = await bytesOf(page, 'source');
    for (const text of ['c02040ff', '2040ff']) {
      await field.fill(text);
      await settle(page);
      const chain = await page.evaluate(() => playground.chain);
      assert.equal(chain[0].params.color, text);
      assert.deepEqual(await bytesOf(page, 'result'), nativeChain(source, chain, catalogue), text);
    }
    const picture = await canvasHash(page);
    await field.fill('2040zz');
    await page.waitForFunction(() => !document.getElementById('message').hidden, null, { timeout: 10000 });
    await settle(page);
    assert.match(await page.locator('#message').innerText(), /shadow color: '2040zz' is not a colour/);
    assert.equal(await field.getAttribute('aria-invalid'), 'true');
    assert.equal(await canvasHash(page), picture);
    assert.deepEqual(problems, []);
  } finally {
    await close();
  }
});

// Before the module has loaded (here: never, its files are held back), the
// page already shows the demo scene, not an empty stage.
test('the page opens on the demo scene before the module has loaded', async () => {
  const context = await browser.newContext({ viewport: { width: 1280, height: 820 } });
  try {
    await context.route('**/*.wasm', () => {});
    const page = await context.newPage();
    await page.goto(base);
    await page.waitForFunction(() => document.getElementById('first-picture').complete, null, { timeout: 10000 });
    assert.equal(await page.evaluate(() => document.body.dataset.state), 'loading');
    assert.equal(await page.locator('#first-picture').isVisible(), true);
    assert.equal(await page.locator('#before').isVisible(), false);
    const demo = join(tmp, 'first.rgba');
    const [w, h] = execFileSync(NATIVE_DRIVER, ['demo', demo]).toString().trim().split(' ').map(Number);
    const expected = new Uint8Array(readFileSync(demo));
    const shown = await page.evaluate(() => {
      const img = document.getElementById('first-picture');
      const c = new OffscreenCanvas(img.naturalWidth, img.naturalHeight);
      const ctx = c.getContext('2d');
      ctx.drawImage(img, 0, 0);
      return { width: c.width, height: c.height, data: [...ctx.getImageData(0, 0, c.width, c.height).data] };
    });
    assert.deepEqual([shown.width, shown.height], [w, h]);
    // A canvas holds opaque pixels exactly; those are the scene's own.
    let opaque = 0;
    for (let i = 0; i < expected.length; i += 4) {
      if (expected[i + 3] !== 255) continue;
      opaque++;
      assert.deepEqual(shown.data.slice(i, i + 4), [...expected.subarray(i, i + 4)], `pixel ${i / 4}`);
    }
    assert.ok(opaque > 10000);
    assert.match(await page.locator('#image-info').innerText(), /demo scene: 320 x 200/);
  } finally {
    await context.close();
  }
});

// The same three-effect chain, straight and premultiplied steps mixed, on
// each build: the page's bytes must be the native library's. Not isolated,
// the page has no shared memory and falls back to one thread.
const PAGES = [
  ['threaded build, 2 threads', '?threads=2', true],
  ['SIMD128 build, 1 thread', '?simd=1', true],
  ['portable build, 1 thread', '?simd=0', true],
  ['SIMD128 build, 1 thread', '', false],
];
for (const [build, query, isolated] of PAGES) {
  test(`a chain of three effects on the ${build}${isolated ? '' : ', not isolated,'} gives the native library's bytes`, async () => {
    const { page, problems, close } = await openPage(query, isolated ? base : plainBase);
    try {
      assert.match(await page.locator('#build-info').innerText(), new RegExp(build));
      assert.equal(await page.evaluate(() => window.crossOriginIsolated), isolated);
      const catalogue = JSON.parse(readFileSync(join(SITE_DIR, 'catalogue.json'), 'utf8'));
      await clearChain(page);
      for (const name of ['shadow', 'grade', 'chromatic']) await addEffect(page, name);
      const shadow = catalogue.effects.find((e) => e.name === 'shadow');
      await setParam(page, 0, shadow.params.find((p) => p.name === 'offset_x'), -7.5);
      await setParam(page, 0, shadow.params.find((p) => p.name === 'color'), '#2040ff');
      const source = await page.evaluate(() => ({ width: playground.source.width, height: playground.source.height }));
      source.data = await bytesOf(page, 'source');
      const chain = await page.evaluate(() => playground.chain);
      const result = await bytesOf(page, 'result');
      assert.notDeepEqual(result, source.data);
      assert.deepEqual(result, nativeChain(source, chain, catalogue));
      // What is drawn is that result wherever the canvas can hold it exactly.
      const opaque = await page.evaluate(() => {
        const c = document.getElementById('after');
        const drawn = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        const r = playground.result.data;
        let same = 0;
        let all = 0;
        for (let i = 0; i < r.length; i += 4) {
          if (r[i + 3] !== 255) continue;
          all++;
          if (drawn[i] === r[i] && drawn[i + 1] === r[i + 1] && drawn[i + 2] === r[i + 2] && drawn[i + 3] === 255) same++;
        }
        return { same, all };
      });
      assert.ok(opaque.all > 10000);
      assert.equal(opaque.same, opaque.all);
      assert.deepEqual(problems, []);
    } finally {
      await close();
    }
  });
}

// Isolated, the page's threads are real: an opened image of two pieces
// of the parallel split goes through the threaded build in the page's
// worker, its pool beside it, and comes back as the native library's bytes;
// and the threaded module, imported into the page itself, gives every
// golden checksum of the native suite.
test('cross-origin isolated, the threaded build gives the native bytes and the golden checksums', async () => {
  const { page, problems, close } = await openPage();
  try {
    assert.match(await page.locator('#build-info').innerText(), /threaded build/);
    // Two pieces of the split's 2^18 words.
    const width = 700;
    const height = 400;
    const data = new Uint8Array(width * height * 4).map((_, i) => (i % 4 === 3 ? 255 : (i * 73 + (i >> 12)) & 255));
    await page.setInputFiles('#file', { name: 'large.png', mimeType: 'image/png',
      buffer: Buffer.from(await encodePng({ width, height, data })) });
    await page.waitForFunction((w) => playground.source.width === w, width, { timeout: 20000 });
    await settle(page);
    const catalogue = JSON.parse(readFileSync(join(SITE_DIR, 'catalogue.json'), 'utf8'));
    await clearChain(page);
    for (const name of ['shadow', 'blur', 'chromatic']) await addEffect(page, name);
    const chain = await page.evaluate(() => playground.chain);
    assert.deepEqual(await bytesOf(page, 'result'), nativeChain({ width, height, data }, chain, catalogue));

    const golden = goldenCases();
    const count = golden.height * (golden.width + golden.padding);
    const b64 = (words) => Buffer.from(words.buffer).toString('base64');
    const results = await page.evaluate(async ({ golden, img, other }) => {
      const { load } = await import('./kelvo_fx.mjs');
      const fx = await load({ build: 'threads', threads: 2 });
      const words = (text) => new Uint32Array(Uint8Array.from(atob(text), (c) => c.charCodeAt(0)).buffer);
      const text = (w) => btoa(String.fromCharCode(...new Uint8Array(w.buffer)));
      return golden.cases.map((c) => {
        const a = words(img);
        const b = words(other);
        const rc = fx.runWords(c.fn, a, { width: golden.width, height: golden.height,
          stride: c.strideSign * (golden.width + golden.padding) * 4, params: c.params,
          dst: c.into === 'other' ? b : null, check: false });
        return { rc, build: fx.build, img: text(a), other: text(b) };
      });
    }, { golden: { ...golden, cases: golden.cases.map((c) => ({ ...c, expected: null })) },
      img: b64(goldenImage(golden.seeds.img, count)), other: b64(goldenImage(golden.seeds.other, count)) });
    golden.cases.forEach((c, i) => {
      const r = results[i];
      assert.equal(r.rc, 0, c.name);
      assert.equal(r.build, 'threads');
      const words = (t) => new Uint32Array(new Uint8Array(Buffer.from(t, 'base64')).buffer);
      const h = fnv1aWords(words(r.img)) ^ ((31n * fnv1aWords(words(r.other))) & ((1n << 64n) - 1n));
      assert.equal(h, c.expected, c.name);
    });
    assert.deepEqual(problems, []);
  } finally {
    await close();
  }
});

// The page as the npm package serves it, from where npm installed it, with
// the package's own server: the page opens on its starting chain with the
// native library's bytes.
test('the page served from the installed npm package works as the site does', async () => {
  const { dir } = installedPackage();
  const { serve: servePackage } = await import(pathToFileURL(join(dir, 'serve.mjs')).href);
  const packaged = await servePackage(dir);
  const at = `http://127.0.0.1:${packaged.address().port}/`;
  const { page, problems, close } = await openPage('', at);
  try {
    assert.match(await page.locator('#build-info').innerText(), /threaded build/);
    const catalogue = JSON.parse(readFileSync(join(dir, 'catalogue.json'), 'utf8'));
    const source = await page.evaluate(() => ({ width: playground.source.width, height: playground.source.height }));
    source.data = await bytesOf(page, 'source');
    const chain = await page.evaluate(() => playground.chain);
    assert.deepEqual(await bytesOf(page, 'result'), nativeChain(source, chain, catalogue));
    assert.deepEqual(problems, []);
  } finally {
    await close();
    packaged.close();
  }
});
