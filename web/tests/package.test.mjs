// The npm package as a user installs it (packed, installed offline into an
// empty project): imported by its name it gives the native golden checksum,
// and its declarations are the module's exports and the loaded object's
// members, checked by TypeScript's compiler where Debian's is installed.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { pathToFileURL } from 'node:url';

import { fnv1aWords, goldenCases, goldenImage, installedPackage } from './support.mjs';

const pkg = installedPackage();
// A module of the consumer's project, so 'kelvo-fx' resolves as it would there.
writeFileSync(join(pkg.project, 'consumer.mjs'), "export * from 'kelvo-fx';\n");
const api = await import(pathToFileURL(join(pkg.project, 'consumer.mjs')).href);
const fx = await api.load();

test('imported by its name, the package gives the native golden checksum', () => {
  assert.equal(fx.version, pkg.version);
  assert.equal(fx.build, 'threads', 'Node has shared memory');
  const golden = goldenCases();
  const c = golden.cases.find((k) => k.fn === 'kv_fx_gaussian_blur' && !k.bottomUp);
  const row = golden.width + golden.padding;
  const img = goldenImage(golden.seeds.img, golden.height * row);
  const other = goldenImage(golden.seeds.other, golden.height * row);
  assert.equal(fx.runWords(c.fn, img, { width: golden.width, height: golden.height, stride: row * 4,
    params: c.params, check: false }), 0);
  assert.equal(fnv1aWords(img) ^ ((31n * fnv1aWords(other)) & ((1n << 64n) - 1n)), c.expected);
});

const declarations = readFileSync(join(pkg.dir, 'kelvo_fx.d.ts'), 'utf8');

test('the declarations name every export of the module and every member of what load() gives', () => {
  const values = [...declarations.matchAll(/^export (?:const|function|class) (\w+)/gm)].map((m) => m[1]);
  assert.deepEqual([...new Set(values)].sort(), Object.keys(api).sort());
  const body = declarations.match(/^export interface KelvoFx \{\n([\s\S]*?)\n\}/m)[1];
  const members = [...body.matchAll(/^ {2}(?:readonly )?(\w+)[?(:]/gm)].map((m) => m[1]);
  const methods = Object.getOwnPropertyNames(Object.getPrototypeOf(fx)).filter((n) => n !== 'constructor');
  assert.deepEqual(members.sort(), [...Object.keys(fx), ...methods].sort());
});

// A consumer's TypeScript: right use compiles, and each wrong use is an error
// on its own line (so the declarations are neither missing nor too loose).
const TSC = ['/usr/bin/tsc', '/usr/share/nodejs/typescript/bin/tsc'].find((p) => existsSync(p));
test('a TypeScript consumer compiles against the declarations, and misuse does not', { skip: !TSC && 'no tsc (Debian: node-typescript)' }, () => {
  writeFileSync(join(pkg.project, 'good.mts'), `import { load, FxError, BUILD_NAMES, type KelvoFx } from 'kelvo-fx';
const fx: KelvoFx = await load({ threads: 2 });
const words = new Uint32Array(16 * 8).fill(0xff2050a0);
const rc: number = fx.runWords('blur', words, { width: 16, height: 8, params: { sigma: 2 }, threads: 1 });
const image = fx.demoScene();
const { timings } = fx.applyChain(image, ['bloom', { effect: 'shadow', params: { color: '80000000' } }]);
const name: string = timings[0].effect;
const builds: readonly string[] = BUILD_NAMES;
try { fx.effect('nope'); } catch (e) { if (e instanceof FxError) console.log(e.param, rc, name, builds, fx.build, fx.threads); }
`);
  const wrong = [
    "fx.runWords('blur', [1, 2, 3], { width: 1, height: 3 });",
    "fx.runWords('blur', new Uint32Array(4), { height: 2 });",
    "await load({ build: 'fastest' });",
    "const t: string = fx.threads;",
    "fx.applyChain(fx.demoScene(), [{ params: {} }]);",
  ];
  writeFileSync(join(pkg.project, 'wrong.mts'), `import { load } from 'kelvo-fx';
const fx = await load();
${wrong.join('\n')}
`);
  let output = '';
  try {
    execFileSync(TSC, ['--noEmit', '--strict', '--target', 'es2022', '--module', 'node16', '--moduleResolution', 'node16',
      '--lib', 'es2022,dom', 'good.mts', 'wrong.mts'], { cwd: pkg.project, encoding: 'utf8' });
  } catch (e) {
    output = e.stdout;
  }
  const errors = output.split('\n').filter((l) => /error TS\d+/.test(l));
  assert.deepEqual(errors.filter((l) => !l.startsWith('wrong.mts')), [], output);
  const lines = new Set(errors.map((l) => Number(l.match(/^wrong\.mts\((\d+),/)[1])));
  assert.deepEqual([...lines].sort((a, b) => a - b), wrong.map((_, i) => i + 3), output);
});
