// Each effect's time on a 1920 x 1080 image in headless Chromium, portable,
// SIMD128 and threaded builds (at 1 and 2 threads), against the native
// portable level on this machine:
//   node web/bench.mjs [REPS]        (after web/run_tests.sh has built)
// Every side gets the same bytes (the demo scene enlarged by pixel
// repetition) fed as the catalogue says, and times the effect call alone,
// REPS calls after warm-up ones. Writes build-web/bench.json and prints a
// table. The least wall time of many calls is the figure that other
// people's work on a shared machine inflates least.
import { execFileSync } from 'node:child_process';
import { readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { loadavg } from 'node:os';
import { join } from 'node:path';

import { chromium } from 'playwright-core';

import { serve } from './serve.mjs';
import { BUILD_DIR, NATIVE_DRIVER, SITE_DIR } from './tests/support.mjs';

const WIDTH = 1920;
const HEIGHT = 1080;
const REPS = Number(process.argv[2] ?? 15);
const FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// The machine is shared, so besides the wall clock (which counts whatever
// else runs) each side reports CPU time: the native thread's own, and the
// Chromium renderer's main thread from /proc (where the page's wasm runs)
// over a batch of calls, less the same batch without the calls (restoring
// the input only). Fast effects get more calls, up to half a second's worth.
const native = JSON.parse(execFileSync(NATIVE_DRIVER, ['bench', String(WIDTH), String(HEIGHT), String(REPS)]).toString());

function descendants(pid) {
  const children = new Map();
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = readFileSync(`/proc/${entry}/stat`, 'utf8');
      const ppid = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
      if (!children.has(ppid)) children.set(ppid, []);
      children.get(ppid).push(Number(entry));
    } catch {
      // gone meanwhile
    }
  }
  const out = [];
  const walk = (p) => (children.get(p) ?? []).forEach((c) => { out.push(c); walk(c); });
  walk(pid);
  return out;
}

function rendererCpuMs() {
  let ns = 0;
  for (const pid of descendants(process.pid)) {
    try {
      if (!readFileSync(`/proc/${pid}/cmdline`, 'latin1').includes('--type=renderer')) continue;
      ns += Number(readFileSync(`/proc/${pid}/task/${pid}/schedstat`, 'utf8').split(' ')[0]);
    } catch {
      // not ours, or gone
    }
  }
  return ns / 1e6;
}

// The threaded build's CPU time is spread over its pool's threads, which
// the renderer's main thread does not count: for it, the wall times.
const BUILDS = [
  ['portable', { simd: false }],
  ['simd128', { simd: true }],
  ['threads1', { build: 'threads', threads: 1 }],
  ['threads2', { build: 'threads', threads: 2 }],
];
const server = await serve(SITE_DIR);
const browser = await chromium.launch({ executablePath: process.env.KV_FX_CHROMIUM ?? '/usr/bin/chromium', args: FLAGS });
const web = {};
try {
  for (const [build, options] of BUILDS) {
    const page = await browser.newPage();
    // Any document of the site's origin will do to import the module from;
    // served cross-origin isolated, it may share memory with the pool.
    await page.goto(`http://127.0.0.1:${server.address().port}/catalogue.json`);
    await page.evaluate(async ({ options, width, height }) => {
      const { load } = await import('./kelvo_fx.mjs');
      const fx = await load(options);
      const scene = fx.demoScene();
      const image = new Uint8ClampedArray(width * height * 4);
      for (let y = 0; y < height; y++) {
        const sy = Math.floor((y * scene.height) / height);
        for (let x = 0; x < width; x++) {
          const s = (sy * scene.width + Math.floor((x * scene.width) / width)) * 4;
          image.set(scene.data.subarray(s, s + 4), (y * width + x) * 4);
        }
      }
      const img = { width, height, data: image };
      window.batch = (name, reps) => fx.timeCalls(name, img, reps).sort((a, b) => a - b);
      window.effectNames = fx.effects.map((e) => [e.name, e.input]);
    }, { options, width: WIDTH, height: HEIGHT });
    const result = {};
    const names = await page.evaluate(() => window.effectNames);
    // Every effect once before any is timed: the pool's threads compile and
    // optimise their own code as they first run it.
    for (const [name] of names) await page.evaluate((e) => window.batch(e, 3), name);
    for (const [name] of names) {
      const warm = await page.evaluate((e) => window.batch(e, 3), name); // lets the engine optimise
      const reps = Math.min(200, Math.max(REPS, Math.ceil(500 / Math.max(warm[0], 0.01))));
      const c0 = rendererCpuMs();
      const ms = await page.evaluate(({ e, n }) => window.batch(e, n), { e: name, n: reps });
      const c1 = rendererCpuMs();
      await page.evaluate((n) => window.batch(null, n), reps);
      const c2 = rendererCpuMs();
      result[name] = { wall: ms[Math.floor(ms.length / 2)], wall_min: ms[0], cpu: (c1 - c0 - (c2 - c1)) / reps, reps };
    }
    web[build] = result;
    await page.close();
  }
} finally {
  await browser.close();
  server.close();
}

const rows = Object.keys(native.ms).map((name) => ({
  name,
  native: native.ms[name],
  portable: web.portable[name],
  simd128: web.simd128[name],
}));
const fmt = (v) => (v < 0.1 ? '<0.1' : v.toFixed(1)).padStart(7);
const ratio = (a, b) => (b < 0.1 ? '    -' : (a / b).toFixed(2).padStart(5));
console.log(`${WIDTH} x ${HEIGHT}, at least ${REPS} calls each, ms; ratio = wasm / native portable`);
console.log('           least wall time per call                   | CPU time per call');
console.log('effect      native portable ratio  simd128 ratio     |  native portable  simd128');
for (const r of rows) {
  const n = r.native.wall_min;
  console.log(`${r.name.padEnd(10)}${fmt(n)}  ${fmt(r.portable.wall_min)} ${ratio(r.portable.wall_min, n)}  ${fmt(r.simd128.wall_min)} ${ratio(r.simd128.wall_min, n)}     | ${fmt(r.native.cpu)}  ${fmt(r.portable.cpu)}  ${fmt(r.simd128.cpu)}`);
}
console.log('\nthreaded build, median wall time per call, ms; speed-up = SIMD128 / threaded');
console.log('effect     simd128  threads=1 speed-up  threads=2 speed-up');
for (const r of rows) {
  const [s1, t1, t2] = [web.simd128, web.threads1, web.threads2].map((b) => b[r.name].wall);
  console.log(`${r.name.padEnd(10)}${fmt(s1)}    ${fmt(t1)}  ${ratio(s1, t1)}    ${fmt(t2)}  ${ratio(s1, t2)}`);
}
console.log(`load average: ${loadavg().map((v) => v.toFixed(1)).join(' ')} (2 cores)`);
writeFileSync(join(BUILD_DIR, 'bench.json'), JSON.stringify({ width: WIDTH, height: HEIGHT, reps: REPS, native, web }, null, 2));
