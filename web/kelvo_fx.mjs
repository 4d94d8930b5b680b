// The effects library compiled to WebAssembly, for pages, workers and Node.
//
//   import { load } from './kelvo_fx.mjs';
//   const fx = await load();                   // SIMD128 build where the engine has it
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

// simd: 'auto' (SIMD128 where the engine validates it), true or false.
// base: where the module's files are (default: beside this file).
export async function load({ simd = 'auto', base = new URL('.', import.meta.url) } = {}) {
  const useSimd = simd === 'auto' ? simd128Supported() : Boolean(simd);
  const stem = useSimd ? 'kelvo_fx_core_simd128' : 'kelvo_fx_core';
  const [{ default: createCore }, compiled] = await Promise.all([
    import(new URL(`${stem}.mjs`, base).href),
    compileWasm(new URL(`${stem}.wasm`, base)),
  ]);
  // The loader's own fetch would take a file path for a URL under Node, so
  // it is handed the compiled module; a failure there would otherwise leave
  // the loader waiting for ever.
  let failed;
  const failure = new Promise((_, reject) => { failed = reject; });
  const core = await Promise.race([failure, createCore({
    instantiateWasm(imports, receive) {
      WebAssembly.instantiate(compiled, imports).then((instance) => receive(instance), failed);
      return {};
    },
  })]);
  return new KelvoFx(core, useSimd);
}

function cString(core, ptr) {
  if (!ptr) return null;
  const heap = core.HEAPU8;
  let end = ptr;
  while (heap[end]) end++;
  return new TextDecoder().decode(heap.subarray(ptr, end));
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

  constructor(core, simd) {
    this.#core = core;
    this.simd = simd;
    this.catalogue = catalogue;
    this.effects = catalogue.effects;
    this.version = cString(core, core._kvw_version());
    // Buffers made for an image size and reused while the size stays (a count
    // a page or a test can read).
    this.allocations = 0;
    const count = core._kvw_effect_count();
    if (count !== this.effects.length) {
      throw new Error(`catalogue.json lists ${this.effects.length} effects, the module ${count}`);
    }
    this.effects.forEach((e, i) => {
      const inModule = cString(core, core._kvw_effect_name(i));
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

  #call(index, ptr, width, height, stride, args, source = 0) {
    this.#core.HEAPF64.set(args, this.#argsPtr / 8);
    return this.#core._kvw_call(index, ptr, width, height, stride, this.#argsPtr, source);
  }

  // The C call on a Uint32Array of 0xAARRGGBB words (premultiplied, unless
  // the caller knows better), in place; returns the library's result code and
  // leaves `words` as it was unless that is FX_OK. A negative stride means
  // bottom-up rows: row 0 is the last row in `words`. For the drop shadow,
  // `dst` (same length) receives the result and `words` is its source; without
  // it the shadow is drawn in place. Parameters are checked as applyChain
  // checks them (FxError before the call); with `check: false` any value is
  // passed, converted as the catalogue's invoker converts it, so any C call
  // can be made.
  runWords(name, words, { width, height, stride = width * 4, params = {}, dst = null, check = true } = {}) {
    if (!(words instanceof Uint32Array)) throw new TypeError('runWords: words must be a Uint32Array');
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
    this.#core.HEAPU32.set(words, src / 4);
    let out = src;
    if (dst) {
      out = this.#buffer(1, bytes);
      this.#core.HEAPU32.set(dst, out / 4);
    }
    const first = rowPixels < 0 ? (height - 1) * -rowPixels * 4 : 0;
    const rc = this.#call(this.#index.get(e.name), out + first, width, height, stride, args,
      dst ? src + first : 0);
    if (rc === FX_OK) {
      const heap = this.#core.HEAPU32;
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
    core.HEAPU8.set(data, ptr);
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
    data.set(core.HEAPU8.subarray(ptr, ptr + n * 4));
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
    core.HEAPU8.set(data, saved);
    core._kvw_rgba_to_words(saved, n);
    if (e && e.input === 'premultiplied') core._kvw_convert(saved, n, 0, 1);
    const ms = [];
    for (let r = 0; r < reps; r++) {
      core.HEAPU32.copyWithin(work / 4, saved / 4, saved / 4 + n);
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
    core.HEAPU8.copyWithin(ptr, core._kvw_demo_words(), core._kvw_demo_words() + n * 4);
    core._kvw_convert(ptr, n, 1, 0);
    core._kvw_words_to_rgba(ptr, n);
    const data = new Uint8ClampedArray(core.HEAPU8.slice(ptr, ptr + n * 4).buffer);
    return typeof ImageData === 'function' ? new ImageData(data, width, height) : { width, height, data };
  }
}
