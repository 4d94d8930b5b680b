// What the Node and browser tests share: where the build is, the golden
// cases read from the native suite, and the checksum those cases use.
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

export const WEB_DIR = resolve(dirname(fileURLToPath(import.meta.url)), '..');
export const ROOT_DIR = resolve(WEB_DIR, '..');
// run_tests.sh passes its build folders; by hand, the defaults below.
export const BUILD_DIR = resolve(process.env.KV_FX_WEB_BUILD ?? join(ROOT_DIR, 'build-web'));
export const SITE_DIR = join(BUILD_DIR, 'site');
export const NPM_DIR = join(BUILD_DIR, 'npm');
export const NATIVE_DRIVER = process.env.KV_FX_NATIVE_DRIVER ?? join(BUILD_DIR, 'native', 'kvfx_web_driver');

// The builds in the site, each as load() is asked for it: the threaded one
// at one thread, two, and as many as load() picks by itself. The sub-builds
// are left out with -DKV_FX_WEB_SIMD128_VARIANT=OFF or
// -DKV_FX_WEB_THREADS_VARIANT=OFF.
const has = (stem) => existsSync(join(SITE_DIR, `${stem}.wasm`));
export const BUILDS = [
  ['portable build', { simd: false }],
  ...(has('kelvo_fx_core_simd128') ? [['SIMD128 build', { simd: true }]] : []),
  ...(has('kelvo_fx_core_threads') ? [
    ['threaded build, 1 thread', { build: 'threads', threads: 1 }],
    ['threaded build, 2 threads', { build: 'threads', threads: 2 }],
    ['threaded build, default threads', { build: 'threads' }],
  ] : []),
];

export async function loadModule(options) {
  const { load } = await import(pathToFileURL(join(SITE_DIR, 'kelvo_fx.mjs')).href);
  return load(typeof options === 'boolean' ? { simd: options } : options);
}

// The npm package as a user gets it: packed, then installed offline into an
// empty project (once per test process, removed at its end). Returns the
// project's folder, the package's version, and where it was installed.
let installed = null;
export function installedPackage() {
  if (installed) return installed;
  const project = mkdtempSync(join(tmpdir(), 'kvfx-npm-'));
  process.on('exit', () => rmSync(project, { recursive: true, force: true }));
  const { version } = JSON.parse(readFileSync(join(NPM_DIR, 'package.json'), 'utf8'));
  const quiet = { cwd: project, stdio: ['ignore', 'pipe', 'inherit'] };
  execFileSync('npm', ['pack', NPM_DIR, '--pack-destination', project, '--loglevel=error'], quiet);
  const tarball = `kelvo-fx-${version}.tgz`;
  if (!existsSync(join(project, tarball))) throw new Error(`npm pack did not write ${tarball}`);
  writeFileSync(join(project, 'package.json'), JSON.stringify({ name: 'kvfx-consumer', private: true, type: 'module' }));
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', '--loglevel=error', `./${tarball}`], quiet);
  installed = { project, version, dir: join(project, 'node_modules', 'kelvo-fx') };
  return installed;
}

// 64-bit FNV-1a over each word's bytes from the low one up, as
// tests/core/golden_test.cpp hashes word values.
export function fnv1aWords(words) {
  let h = 0xcbf29ce484222325n;
  const mask = (1n << 64n) - 1n;
  for (const w of words) {
    for (let shift = 0; shift < 32; shift += 8) {
      h ^= BigInt((w >>> shift) & 0xff);
      h = (h * 0x100000001b3n) & mask;
    }
  }
  return h;
}

function cNumber(text) {
  // A hex literal's trailing F is a digit, not a float suffix.
  const t = text.trim().replace(/^(-?0x[0-9a-f]+)u?l{0,2}$/i, '$1').replace(/^([-+.0-9e]+)[fu]?$/i, '$1');
  const negative = t.startsWith('-');
  const body = negative ? t.slice(1) : t;
  const v = /^0x/i.test(body) ? parseInt(body.slice(2), 16) : Number(body);
  if (Number.isNaN(v)) throw new Error(`golden_test.cpp: cannot read the number '${text}'`);
  return negative ? -v : v;
}

// The native golden cases, read from the test file itself so the two cannot
// drift apart: image shape, seeds, and per case the C call and its checksum.
// Anything in that file this reader does not recognise is an error, not a
// skipped case.
export function goldenCases(path = join(ROOT_DIR, 'tests', 'core', 'golden_test.cpp')) {
  const src = readFileSync(path, 'utf8');
  const shape = src.match(/kWidth = (\d+), kHeight = (\d+), kPadding = (\d+);/);
  if (!shape) throw new Error('golden_test.cpp: image shape not found');
  const [width, height, padding] = shape.slice(1).map(Number);
  const seeds = src.match(/img = golden_image\((0x[0-9A-Fa-f]+)u\);[\s\S]*?other = golden_image\((0x[0-9A-Fa-f]+)u\);/);
  if (!seeds) throw new Error('golden_test.cpp: image seeds not found');
  if (!src.includes('const uint64_t h = fnv1a_words(img) ^ 31 * fnv1a_words(other);')) {
    throw new Error('golden_test.cpp: the checksum is no longer fnv1a(img) ^ 31 * fnv1a(other)');
  }
  const block = src.match(/static const std::vector<GoldenCase> cases = \{([\s\S]*?)\n  \};/);
  if (!block) throw new Error('golden_test.cpp: case table not found');
  const lines = block[1].split('\n').filter((l) => l.trim().startsWith('{"'));
  const caseRe = /^\s*\{"(\w+)", \[\]\(uint32_t\* p, uint32_t\*(?: d)?\) \{ return (kv_fx_\w+)\((.*)\); \}, (0x[0-9a-f]{16})ull\},$/;
  const cases = lines.map((line) => {
    const m = line.match(caseRe);
    if (!m) throw new Error(`golden_test.cpp: cannot read the case ${line.trim()}`);
    const [, name, fn, argText, expected] = m;
    const args = argText.split(',').map((a) => a.trim());
    const c = { name, fn, expected: BigInt(expected), bottomUp: false, into: null };
    const target = args.shift();
    if (target === 'bottom_up(p)') c.bottomUp = true;
    else if (target !== 'p') throw new Error(`${name}: unknown target ${target}`);
    if (fn === 'kv_fx_drop_shadow') {
      const d = args.shift();
      if (d !== 'd' && d !== 'p') throw new Error(`${name}: unknown destination ${d}`);
      c.into = d === 'd' ? 'other' : 'self';
    }
    const [w, h, s] = args.splice(0, 3);
    const strideSign = { kStride: 1, '-kStride': -1 }[s];
    if (w !== 'kWidth' || h !== 'kHeight' || !strideSign) throw new Error(`${name}: unknown buffer ${w}, ${h}, ${s}`);
    if ((strideSign < 0) !== c.bottomUp) throw new Error(`${name}: stride and target disagree`);
    c.strideSign = strideSign;
    c.params = args.map(cNumber);
    return c;
  });
  return {
    width, height, padding, cases,
    seeds: { img: parseInt(seeds[1], 16), other: parseInt(seeds[2], 16) },
  };
}

// golden_image() of golden_test.cpp: xorshift32 words, every even one made a
// valid premultiplied word.
export function goldenImage(seed, count) {
  const v = new Uint32Array(count);
  let s = seed >>> 0;
  for (let i = 0; i < count; i++) {
    s = (s ^ (s << 13)) >>> 0;
    s = (s ^ (s >>> 17)) >>> 0;
    s = (s ^ (s << 5)) >>> 0;
    let w = s;
    if (i % 2 === 0) {
      const a = w >>> 24;
      w = ((a << 24) | ((((w >>> 16) & 0xff) % (a + 1)) << 16) | ((((w >>> 8) & 0xff) % (a + 1)) << 8) |
        ((w & 0xff) % (a + 1))) >>> 0;
    }
    v[i] = w;
  }
  return v;
}
