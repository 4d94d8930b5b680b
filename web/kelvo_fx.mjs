// The effects library compiled to WebAssembly, for pages, workers and Node.
//
//   import { load } from './kelvo_fx.mjs';
//   const fx = await load();                   // the fastest build the engine runs
//   fx.applyChain(imageData, [{ effect: 'blur', params: { sigma: 3 } }, 'vignette']);
//   fx.runWords('blur', words, { width, height, stride, params: { sigma: 3 } });
//
// applyChain works on canvas ImageData (straight RGBA bytes) the way kvfx
// works on a PNG: each effect is fed the words its catalogue entry asks for
// (straight colour for the five colour effects, premultiplied for the rest),
// converted by the library's own catalogue/straight_alpha.cpp only where the
// chain changes kind, and the result is straight again. Parameter names,
// other names, defaults and accepted ranges are the catalogue's, emitted at
// build time; colours follow README's rule (text 'RRGGBB' is opaque,
// 'AARRGGBB' carries its alpha, a number is the word). runWords is the C
// call itself on 0xAARRGGBB words, its parameters checked as applyChain
// checks them unless `check: false` asks for the raw call.
import catalogue from './catalogue.mjs';

export { catalogue };

export const FX_OK = 0;
export const FX_ERR_INVALID_ARGUMENT = -1;
export const FX_ERR_OUT_OF_MEMORY = -2;

const CODE_NAMES = {
  [FX_ERR_INVALID_ARGUMENT]: 'FX_ERR_INVALID_ARGUMENT',
  [FX_ERR_OUT_OF_MEMORY]: 'FX_ERR_OUT_OF_MEMORY',
};

// What a page shows the user: a refused parameter, an unknown effect, a call
// the library turned down. `effect`, `param`, `code` (the library's result)
// and `step` (the place in applyChain's chain) say which, when known.
export class FxError extends Error {
  constructor(message, { effect = null, param = null, code = null, step = null } = {}) {
    super(message);
    this.name = 'FxError';
    this.step = step;
    this.effect = effect;
    this.param = param;
    this.code = code;
  }
}

// The smallest module that uses a v128 instruction; engines without SIMD128
// reject it.
const SIMD_PROBE = new Uint8Array([
  0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 10, 1, 8, 0, 65, 0, 253, 15,
  253, 98, 11,
]);

export function simd128Supported() {
  try {
    return WebAssembly.validate(SIMD_PROBE);
  } catch {
    return false;
  }
}

// A worker or a page has no `process`; Node has no `window`.
const IN_NODE = typeof process === 'object' && typeof process.versions?.node === 'string' &&
  typeof window === 'undefined' && typeof importScripts === 'undefined';

async function compileWasm(url) {
  if (IN_NODE) {
    const { readFile } = await import('node:fs/promises');
    return WebAssembly.compile(await readFile(url));
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`cannot load ${url}: HTTP ${response.status}`);
  return WebAssembly.compileStreaming(response);
}

// The three builds, fastest first: SIMD128 with threads (shared memory, so
// only where SharedArrayBuffer works: Node, or a cross-origin isolated
// page), SIMD128 on the calling thread, and portable.
export const BUILD_NAMES = ['threads', 'simd128', 'portable'];
const STEMS = { portable: 'kelvo_fx_core', simd128: 'kelvo_fx_core_simd128', threads: 'kelvo_fx_core_threads' };
// More threads than this rarely pay for their pool on an image a page
// shows; a caller who knows better asks for them.
const DEFAULT_MOST_THREADS = 8;
const MOST_THREADS = 64;

export function threadsSupported() {
  if (typeof SharedArrayBuffer !== 'function') return false;
  return IN_NODE || globalThis.crossOriginIsolated === true;
}

async function cpuCount() {
  if (IN_NODE) {
    const os = await import('node:os');
    return os.availableParallelism?.() ?? os.cpus().length;
  }
  return globalThis.navigator?.hardwareConcurrency ?? 1;
}

// Node has no Worker: the pool's threads run in worker_threads, given what a
// browser gives the pthreads' script in a worker (the module knows a worker
// by its importScripts, which nothing here calls).
const NODE_PTHREAD = `
const { parentPort, workerData } = require('node:worker_threads');
const { readFileSync } = require('node:fs');
globalThis.self = globalThis;
globalThis.location = { href: workerData.url };
globalThis.postMessage = (message, transfer) => parentPort.postMessage(message, transfer);
globalThis.importScripts = () => { throw new Error('no importScripts in this worker'); };
parentPort.on('message', (data) => globalThis.onmessage({ data }));
(0, eval)(readFileSync(workerData.path, 'utf8'));
`;

async function nodeWorkerClass(started) {
  const { Worker } = await import('node:worker_threads');
  const { fileURLToPath } = await import('node:url');
  return class {
    #worker;
    constructor(url) {
      this.#worker = new Worker(NODE_PTHREAD, { eval: true, workerData: { url: String(url), path: fileURLToPath(url) } });
      this.#worker.on('message', (data) => this.onmessage?.({ data }));
      this.#worker.on('error', (e) => this.onerror?.(e));
      started.push(this.#worker);
    }
    postMessage(message, transfer) { this.#worker.postMessage(message, transfer); }
    terminate() { this.#worker.terminate(); }
  };
}

// build: 'auto' (the first of BUILD_NAMES the engine runs, threads only if
// more than one is wanted), or one of BUILD_NAMES. simd: false asks for the
// portable build, true for the single-thread SIMD128 one. threads: how many the threaded build may use, the calling
// thread among them (default: the CPUs, at most 8); its pool is made at load
// and no call uses more. base: where the module's files are (default:
// beside this file).
export async function load({ build = 'auto', simd = 'auto', threads, base = new URL('.', import.meta.url) } = {}) {
  if (threads !== undefined && (!Number.isInteger(threads) || threads < 1 || threads > MOST_THREADS)) {
    throw new FxError(`load: threads must be a whole number from 1 to ${MOST_THREADS}, not ${threads}`);
  }
  if (build === 'auto' && simd !== 'auto') build = simd ? 'simd128' : 'portable';
  if (build !== 'auto' && !BUILD_NAMES.includes(build)) {
    throw new FxError(`load: unknown build '${build}' (one of ${BUILD_NAMES.join(', ')})`);
  }
  const wanted = threads ?? Math.max(1, Math.min(DEFAULT_MOST_THREADS, await cpuCount()));
  if (build === 'auto') {
    if (!simd128Supported()) build = 'portable';
    else build = wanted > 1 && threadsSupported() ? 'threads' : 'simd128';
  }
  if (build === 'threads' && !threadsSupported()) {
    throw new FxError('load: the threaded build needs SharedArrayBuffer (a cross-origin isolated page, or Node)');
  }
  const lanes = build === 'threads' ? wanted : 1;
  const stem = STEMS[build];
  const coreUrl = new URL(`${stem}.mjs`, base);
  const [{ default: createCore }, compiled] = await Promise.all([
    import(coreUrl.href),
    compileWasm(new URL(`${stem}.wasm`, base)),
  ]);
  const settings = {
    // The module is handed over compiled (and, for the pool, the pthreads'
    // script is told where the module's script is), so the loader's own
    // fetch, which would take a file path for a URL under Node, never runs.
    instantiateWasm(imports, receive) {
      WebAssembly.instantiate(compiled, imports).then((instance) => receive(instance, compiled), failed);
      return {};
    },
    mainScriptUrlOrBlob: coreUrl.href,
    // Read by the threaded module: its pool (one thread at least, or it
    // would wait for a pool that never loads) and its CPUs (threads.js).
    kvfxPool: Math.max(1, lanes - 1),
    kvfxThreads: lanes,
  };
  // A failure in instantiateWasm would otherwise leave the loader waiting
  // for ever.
  let failed;
  const failure = new Promise((_, reject) => { failed = reject; });
  // The pool is made while createCore runs, before its first await; Node's
  // Worker stands in for that long only.
  const nodeThreads = [];
  const shim = build === 'threads' && IN_NODE && typeof globalThis.Worker === 'undefined';
  if (shim) globalThis.Worker = await nodeWorkerClass(nodeThreads);
  let pending;
  try {
    pending = createCore(settings);
  } finally {
    if (shim) delete globalThis.Worker;
  }
  const core = await Promise.race([failure, pending]);
  // Idle pool threads must not keep a Node process alive.
  for (const w of nodeThreads) w.unref();
  return new KelvoFx(core, build, lanes);
}

function cString(heap, ptr) {
  if (!ptr) return null;
  let end = ptr;
  while (heap[end]) end++;
  // A copy: TextDecoder takes no view of shared memory.
  return new TextDecoder().decode(heap.slice(ptr, end));
}

function isColour(kind) {
  return kind === 'colour' || kind === 'colour_alpha';
}

// Colour text as kvfx reads it: 'RRGGBB' (opaque) or 'AARRGGBB', with '#'
// or '0x' before the digits if given; a number is taken as the word itself.
export function parseColour(value) {
  if (typeof value === 'number') return Number.isInteger(value) && value >= 0 && value <= 0xffffffff ? value : NaN;
  if (typeof value !== 'string') return NaN;
  let hex = value;
  if (hex.startsWith('#')) hex = hex.slice(1);
  else if (/^0x/i.test(hex)) hex = hex.slice(2);
  if (!/^([0-9a-f]{6}|[0-9a-f]{8})$/i.test(hex)) return NaN;
  const v = parseInt(hex, 16);
  return hex.length === 6 ? (0xff000000 | v) >>> 0 : v;
}

class KelvoFx {
  #core;
  #argsPtr;
  // [ptr, bytes]: the image, and a second buffer (runWords' destination,
  // timeCalls' saved input).
  #slots = [null, null];
  #index = new Map();

  #views = null;

  constructor(core, build, threads) {
    this.#core = core;
    // 'threads', 'simd128' or 'portable', and the threads a call may use.
    this.build = build;
    this.threads = threads;
    this.simd = build !== 'portable';
    this.catalogue = catalogue;
    this.effects = catalogue.effects;
    this.version = cString(this.#heap.u8, core._kvw_version());
    // Buffers made for an image size and reused while the size stays (a count
    // a page or a test can read).
    this.allocations = 0;
    const count = core._kvw_effect_count();
    if (count !== this.effects.length) {
      throw new Error(`catalogue.json lists ${this.effects.length} effects, the module ${count}`);
    }
    this.effects.forEach((e, i) => {
      const inModule = cString(this.#heap.u8, core._kvw_effect_name(i));
      if (inModule !== e.name) {
        throw new Error(`catalogue.json and the module disagree at effect ${i}: ${e.name} / ${inModule}`);
      }
      this.#index.set(e.name, i);
      this.#index.set(e.function, i);
    });
    const most = Math.max(...this.effects.map((e) => e.params.length));
    this.#argsPtr = core._malloc(8 * most);
    if (!this.#argsPtr) throw new Error('kelvo_fx: no memory for the argument block');
  }

  // Views of the module's memory as it is now. Memory that a pool thread
  // grew (a scratch image) is not seen by this thread's old views, which
  // still end where the memory used to: so every use asks here, and views
  // are made again whenever the memory is longer than they are.
  get #heap() {
    const buffer = this.#core.wasmMemory?.buffer ?? this.#core.HEAPU8.buffer;
    if (!this.#views || this.#views.u8.byteLength !== buffer.byteLength) {
      this.#views = { u8: new Uint8Array(buffer), u32: new Uint32Array(buffer), f64: new Float64Array(buffer) };
    }
    return this.#views;
  }

  // The catalogue entry of a short name or C function name.
  effect(name) {
    const i = this.#index.get(name);
    if (i === undefined) throw new FxError(`unknown effect '${name}'`, { effect: name });
    return this.effects[i];
  }

  // Every parameter at its default, by name, as a page would show it.
  defaults(name) {
    return Object.fromEntries(this.effect(name).params.map((p) => [p.name, p.default]));
  }

  // Arguments in call order: defaults, then `params` (an object by name or
  // alias, or an array in call order). With `check`, each value must be what
  // kvfx accepts: a finite number in the catalogue's [min, max], a whole one
  // for integers, a colour word or hex text for colours.
  arguments(name, params = {}, { check = true } = {}) {
    const e = this.effect(name);
    const args = e.params.map((p) => p.default);
    const set = (i, value) => {
      const p = e.params[i];
      let v = value;
      if (isColour(p.kind)) {
        v = parseColour(value);
        if (check && Number.isNaN(v)) {
          throw new FxError(`${e.name} ${p.name}: '${value}' is not a colour (use RRGGBB or AARRGGBB hex)`,
            { effect: e.name, param: p.name });
        }
      } else if (typeof v === 'string' && v.trim() !== '') {
        v = Number(v);
      }
      if (check && !isColour(p.kind)) {
        if (typeof v !== 'number' || !Number.isFinite(v) || (p.kind === 'integer' && !Number.isInteger(v))) {
          throw new FxError(`${e.name} ${p.name}: '${value}' is not ${p.kind === 'integer' ? 'an integer' : 'a number'}`,
            { effect: e.name, param: p.name });
        }
        if (v < p.min || v > p.max) {
          throw new FxError(`${e.name} ${p.name}: ${value} is out of range [${p.min}, ${p.max}]`,
            { effect: e.name, param: p.name });
        }
      }
      args[i] = v;
    };
    if (Array.isArray(params)) {
      if (params.length > e.params.length) {
        throw new FxError(`${e.name} takes ${e.params.length} parameters, not ${params.length}`, { effect: e.name });
      }
      params.forEach((v, i) => set(i, v));
    } else {
      // Each parameter once, by its name or its other name, as kvfx takes it.
      const given = new Map();
      for (const [key, value] of Object.entries(params ?? {})) {
        const i = e.params.findIndex((p) => p.name === key || p.alias === key);
        if (i < 0) throw new FxError(`${e.name}: unknown parameter '${key}'`, { effect: e.name, param: key });
        if (given.has(i)) {
          throw new FxError(`${e.name}: ${e.params[i].name} given twice, as ${given.get(i)} and as ${key}`,
            { effect: e.name, param: e.params[i].name });
        }
        given.set(i, key);
        set(i, value);
      }
    }
    return args;
  }

  // A block of wasm memory for slot 0 or 1, made again only when the size
  // changes.
  #buffer(slot, bytes) {
    const have = this.#slots[slot];
    if (have && have[1] === bytes) return have[0];
    if (have) this.#core._free(have[0]);
    this.#slots[slot] = null;
    // Past 2 GiB a size would wrap in the module's 32-bit size_t.
    const ptr = bytes < 2 ** 31 ? this.#core._malloc(Math.max(bytes, 4)) : 0;
    if (!ptr) {
      throw new FxError(`no memory for a ${bytes}-byte image in the module`, { code: FX_ERR_OUT_OF_MEMORY });
    }
    this.allocations++;
    this.#slots[slot] = [ptr, bytes];
    return ptr;
  }

  #call(index, ptr, width, height, stride, args, source = 0, threads = this.threads) {
    this.#heap.f64.set(args, this.#argsPtr / 8);
    if (this.build !== 'threads') return this.#core._kvw_call(index, ptr, width, height, stride, this.#argsPtr, source);
    return this.#core._kvw_call_parallel(index, ptr, width, height, stride, this.#argsPtr, source, threads);
  }

  // The C call on a Uint32Array of 0xAARRGGBB words (premultiplied, unless
  // the caller knows better), in place; returns the library's result code and
  // leaves `words` as it was unless that is FX_OK. A negative stride means
  // bottom-up rows: row 0 is the last row in `words`. For the drop shadow,
  // `dst` (same length) receives the result and `words` is its source; without
  // it the shadow is drawn in place. Parameters are checked as applyChain
  // checks them (FxError before the call); with `check: false` any value is
  // passed, converted as the catalogue's invoker converts it, so any C call
  // can be made. `threads` (1 to this.threads, default all) sets how many
  // the threaded build's call uses; the results are the same bits.
  runWords(name, words, { width, height, stride = width * 4, params = {}, dst = null, check = true,
    threads = this.threads } = {}) {
    if (!(words instanceof Uint32Array)) throw new TypeError('runWords: words must be a Uint32Array');
    if (!Number.isInteger(threads) || threads < 1 || threads > this.threads) {
      throw new RangeError(`runWords: threads must be from 1 to ${this.threads} (the module's), not ${threads}`);
    }
    const e = this.effect(name);
    const rowPixels = Math.trunc(stride / 4);
    // The whole run, or each row's first `width` words, whichever reaches
    // further: the module copies `words` and nothing beyond.
    const rows = Math.abs(rowPixels);
    const needed = width > 0 && height > 0 ? Math.max(height * rows, (height - 1) * rows + width) : 0;
    if (words.length < needed) {
      throw new RangeError(`runWords: ${words.length} words cannot hold ${height} rows of stride ${stride}`);
    }
    if (dst && !e.two_buffers) throw new TypeError(`runWords: ${e.name} works in place and takes no dst`);
    if (dst && (!(dst instanceof Uint32Array) || dst.length !== words.length)) {
      throw new TypeError('runWords: dst must be a Uint32Array as long as words');
    }
    const args = this.arguments(e.name, params, { check });
    const bytes = words.length * 4;
    const src = this.#buffer(0, bytes);
    let out = src;
    if (dst) out = this.#buffer(1, bytes);
    this.#heap.u32.set(words, src / 4);
    if (dst) this.#heap.u32.set(dst, out / 4);
    const first = rowPixels < 0 ? (height - 1) * -rowPixels * 4 : 0;
    const rc = this.#call(this.#index.get(e.name), out + first, width, height, stride, args,
      dst ? src + first : 0, threads);
    if (rc === FX_OK) {
      const heap = this.#heap.u32;
      (dst ?? words).set(heap.subarray(out / 4, out / 4 + words.length));
    }
    return rc;
  }

  // Runs `chain` (effect names, or { effect, params } with params as for
  // arguments()) over an ImageData-like { width, height, data } of straight
  // RGBA bytes, in place. Every step is checked before any pixel is touched;
  // if the library turns a call down, FxError is thrown and `image` is as it
  // was. Returns each effect's time in milliseconds (conversions excluded)
  // and the whole call's.
  applyChain(image, chain) {
    const { width, height, data } = image;
    if (!Number.isInteger(width) || !Number.isInteger(height) || width <= 0 || height <= 0 ||
        !data || data.length !== width * height * 4) {
      throw new FxError('applyChain: image must be { width, height, data } with width * height * 4 bytes');
    }
    const steps = chain.map((step, i) => {
      try {
        const s = typeof step === 'string' ? { effect: step } : step;
        const e = this.effect(s.effect);
        return { e, index: this.#index.get(e.name), args: this.arguments(e.name, s.params ?? {}) };
      } catch (err) {
        if (err instanceof FxError) err.step = i;
        throw err;
      }
    });
    const start = performance.now();
    const n = width * height;
    const ptr = this.#buffer(0, n * 4);
    const core = this.#core;
    this.#heap.u8.set(data, ptr);
    core._kvw_rgba_to_words(ptr, n);
    let held = 0; // 0 straight, 1 premultiplied
    const timings = [];
    for (const [step, { e, index, args }] of steps.entries()) {
      const wanted = e.input === 'straight_colour' ? 0 : 1;
      if (wanted !== held) core._kvw_convert(ptr, n, held, wanted);
      held = wanted;
      const t0 = performance.now();
      const rc = this.#call(index, ptr, width, height, width * 4, args);
      timings.push({ effect: e.name, ms: performance.now() - t0 });
      if (rc !== FX_OK) {
        throw new FxError(`${e.name}: the library refused the call (${CODE_NAMES[rc] ?? rc})`,
          { effect: e.name, code: rc, step });
      }
    }
    if (held !== 0) core._kvw_convert(ptr, n, held, 0);
    core._kvw_words_to_rgba(ptr, n);
    data.set(this.#heap.u8.subarray(ptr, ptr + n * 4));
    return { timings, totalMs: performance.now() - start };
  }

  // For measuring: the effect alone, `reps` calls on `image` fed as
  // applyChain feeds it, each on the same input restored inside the module
  // first. Returns each call's milliseconds; with name null only restores
  // (what a measurement subtracts).
  timeCalls(name, image, reps, params = {}) {
    const { width, height, data } = image;
    const n = width * height;
    const e = name === null ? null : this.effect(name);
    const args = e ? this.arguments(e.name, params) : [];
    const work = this.#buffer(0, n * 4);
    const saved = this.#buffer(1, n * 4);
    const core = this.#core;
    this.#heap.u8.set(data, saved);
    core._kvw_rgba_to_words(saved, n);
    if (e && e.input === 'premultiplied') core._kvw_convert(saved, n, 0, 1);
    const ms = [];
    for (let r = 0; r < reps; r++) {
      this.#heap.u32.copyWithin(work / 4, saved / 4, saved / 4 + n);
      if (!e) continue;
      const t0 = performance.now();
      const rc = this.#call(this.#index.get(e.name), work, width, height, width * 4, args);
      ms.push(performance.now() - t0);
      if (rc !== FX_OK) throw new FxError(`${e.name}: the library refused the call (${CODE_NAMES[rc] ?? rc})`, { effect: e.name, code: rc });
    }
    return ms;
  }

  applyEffect(image, name, params = {}) {
    return this.applyChain(image, [{ effect: name, params }]);
  }

  // kvfx's demo scene as straight RGBA bytes ({ width, height, data }; an
  // ImageData where the global exists).
  demoScene() {
    const core = this.#core;
    const width = core._kvw_demo_width();
    const height = core._kvw_demo_height();
    const n = width * height;
    const ptr = this.#buffer(0, n * 4);
    this.#heap.u8.copyWithin(ptr, core._kvw_demo_words(), core._kvw_demo_words() + n * 4);
    core._kvw_convert(ptr, n, 1, 0);
    core._kvw_words_to_rgba(ptr, n);
    const data = new Uint8ClampedArray(this.#heap.u8.slice(ptr, ptr + n * 4).buffer);
    return typeof ImageData === 'function' ? new ImageData(data, width, height) : { width, height, data };
  }
}
