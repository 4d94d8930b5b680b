// Each effect's time on a 1920 x 1080 image in headless Chromium, portable
// and SIMD128 builds, against the native portable level on this machine:
//   node web/bench.mjs [REPS]        (after web/run_tests.sh has built)
// Every side gets the same bytes (the demo scene enlarged by pixel
// repetition) fed as the catalogue says, and times the effect call alone;
// each number is the median of REPS runs after one warm-up run. Writes
// build-web/bench.json and prints a table.
import { execFileSync } from 'node:child_process';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';

import { chromium } from 'playwright-core';

import { serve } from './serve.mjs';
import { BUILD_DIR, NATIVE_DRIVER, SITE_DIR } from './tests/support.mjs';

const WIDTH = 1920;
const HEIGHT = 1080;
const REPS = Number(process.argv[2] ?? 5);
const FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

const native = JSON.parse(execFileSync(NATIVE_DRIVER, ['bench', String(WIDTH), String(HEIGHT), String(REPS)]).toString());

const server = await serve(SITE_DIR);
const browser = await chromium.launch({ executablePath: process.env.KV_FX_CHROMIUM ?? '/usr/bin/chromium', args: FLAGS });
const web = {};
try {
  const page = await browser.newPage();
  // Any document of the site's origin will do to import the module from.
  await page.goto(`http://127.0.0.1:${server.address().port}/catalogue.json`);
  for (const simd of [false, true]) {
    web[simd ? 'simd128' : 'portable'] = await page.evaluate(async ({ simd, width, height, reps }) => {
      const { load } = await import('./kelvo_fx.mjs');
      const fx = await load({ simd });
      const scene = fx.demoScene();
      const image = new Uint8ClampedArray(width * height * 4);
      for (let y = 0; y < height; y++) {
        const sy = Math.floor((y * scene.height) / height);
        for (let x = 0; x < width; x++) {
          const s = (sy * scene.width + Math.floor((x * scene.width) / width)) * 4;
          image.set(scene.data.subarray(s, s + 4), (y * width + x) * 4);
        }
      }
      const ms = {};
      let conversions = 0;
      for (const e of fx.effects) {
        const runs = [];
        for (let r = 0; r <= reps; r++) {
          const img = { width, height, data: image.slice() };
          const { timings, totalMs } = fx.applyChain(img, [e.name]);
          if (r > 0) runs.push(timings[0].ms);
          if (r > 0 && e.name === 'blur') conversions = totalMs - timings[0].ms;
        }
        runs.sort((a, b) => a - b);
        ms[e.name] = runs[Math.floor(runs.length / 2)];
      }
      return { ms, blurCallOverheadMs: conversions, userAgent: navigator.userAgent };
    }, { simd, width: WIDTH, height: HEIGHT, reps: REPS });
  }
} finally {
  await browser.close();
  server.close();
}

const rows = Object.keys(native.ms).map((name) => {
  const n = native.ms[name];
  const p = web.portable.ms[name];
  const s = web.simd128.ms[name];
  return { name, native: n, portable: p, simd128: s, portableRatio: p / n, simdRatio: s / n };
});
const fmt = (v) => v.toFixed(2).padStart(8);
console.log(`${WIDTH} x ${HEIGHT}, median of ${REPS} (ms; ratio = wasm / native portable)`);
console.log('effect        native  wasm-portable  ratio  wasm-simd128  ratio');
for (const r of rows) {
  console.log(`${r.name.padEnd(10)} ${fmt(r.native)} ${fmt(r.portable)}      ${r.portableRatio.toFixed(2).padStart(5)} ${fmt(r.simd128)}    ${r.simdRatio.toFixed(2).padStart(5)}`);
}
console.log(`conversions and copies around one premultiplied effect in applyChain: ${web.portable.blurCallOverheadMs.toFixed(1)} ms (portable), ${web.simd128.blurCallOverheadMs.toFixed(1)} ms (SIMD128)`);
writeFileSync(join(BUILD_DIR, 'bench.json'), JSON.stringify({ width: WIDTH, height: HEIGHT, reps: REPS, native, web, rows }, null, 2));
