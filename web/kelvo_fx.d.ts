// Declarations of kelvo_fx.mjs, the effects library compiled to
// WebAssembly. A test compiles a consumer against these and compares their
// names with the module's exports and the loaded object's members.

/** One parameter of an effect, as the catalogue lists it. */
export interface CatalogueParam {
  name: string;
  /** The other name kvfx also takes, or null. */
  alias: string | null;
  kind: 'real' | 'integer' | 'colour' | 'colour_alpha';
  default: number;
  /** What a call accepts. */
  min: number;
  max: number;
  /** What a slider spans. */
  soft_min: number;
  soft_max: number;
  unit: string;
}

/** One effect of the catalogue. */
export interface CatalogueEffect {
  /** Short name: kvfx's. */
  name: string;
  /** The C function (kelvo_fx.h). */
  function: string;
  /** Its twin in kelvo_fx_parallel.h, with the thread count last. */
  parallel_function: string;
  summary: string;
  /** The words the effect is fed: straight colour or premultiplied. */
  input: 'straight_colour' | 'premultiplied';
  /** Takes a source and a destination (the drop shadow). */
  two_buffers: boolean;
  /** Which words a call may rewrite: each row's first width, or the whole run. */
  visit: 'rows' | 'whole_run';
  entry: Record<string, string>;
  params: CatalogueParam[];
}

export interface Catalogue {
  version: string;
  effects: CatalogueEffect[];
}

export const catalogue: Catalogue;

export const FX_OK: 0;
export const FX_ERR_INVALID_ARGUMENT: -1;
export const FX_ERR_OUT_OF_MEMORY: -2;

/** A refused parameter, an unknown effect, or a call the library turned down. */
export class FxError extends Error {
  constructor(message: string, details?: { effect?: string | null; param?: string | null; code?: number | null; step?: number | null });
  name: 'FxError';
  effect: string | null;
  param: string | null;
  /** The library's result code, when it refused the call. */
  code: number | null;
  /** The place in applyChain's chain. */
  step: number | null;
}

/** The builds, fastest first. */
export type BuildName = 'threads' | 'simd128' | 'portable';
export const BUILD_NAMES: readonly BuildName[];

export interface LoadOptions {
  /** 'auto' (default): the first build of BUILD_NAMES the engine runs (threads only if more than one is wanted). */
  build?: 'auto' | BuildName;
  /** false: the portable build; true: the single-thread SIMD128 build. */
  simd?: 'auto' | boolean;
  /** Threads for the threaded build, the calling thread among them (default: the CPUs, at most 8; 1 to 64). */
  threads?: number;
  /** Where the module's files are (default: beside kelvo_fx.mjs). */
  base?: URL | string;
}

/** Parameters by name or other name, or in call order; colours as hex text or words. */
export type Params = Record<string, number | string> | Array<number | string>;
/** An effect's name, or the name with its parameters. */
export type ChainStep = string | { effect: string; params?: Params };

/** ImageData or anything shaped like it: straight RGBA bytes. */
export interface RgbaImage {
  width: number;
  height: number;
  data: Uint8ClampedArray | Uint8Array;
}

export interface RunWordsOptions {
  width: number;
  height: number;
  /** Bytes from one row to the next (default width * 4); negative for bottom-up rows. */
  stride?: number;
  params?: Params;
  /** The drop shadow's destination, as long as words (words is then its source). */
  dst?: Uint32Array | null;
  /** false passes any value straight to the C function. */
  check?: boolean;
  /** Threads for this call, 1 to the module's threads (default: all of them). */
  threads?: number;
}

export interface KelvoFx {
  /** Which build was loaded. */
  readonly build: BuildName;
  /** The threads a call may use (1 unless the threaded build). */
  readonly threads: number;
  /** Whether the build has SIMD128. */
  readonly simd: boolean;
  readonly catalogue: Catalogue;
  readonly effects: CatalogueEffect[];
  /** The library's version. */
  readonly version: string;
  /** How many image buffers the module has made (they are kept per size). */
  readonly allocations: number;
  effect(name: string): CatalogueEffect;
  defaults(name: string): Record<string, number>;
  arguments(name: string, params?: Params, options?: { check?: boolean }): number[];
  /** The C call on 0xAARRGGBB words, in place; returns the library's result code. */
  runWords(name: string, words: Uint32Array, options: RunWordsOptions): number;
  /** A chain over straight RGBA, in place; each effect's time in milliseconds. */
  applyChain(image: RgbaImage, chain: ChainStep[]): { timings: { effect: string; ms: number }[]; totalMs: number };
  applyEffect(image: RgbaImage, name: string, params?: Params): { timings: { effect: string; ms: number }[]; totalMs: number };
  /** Milliseconds of each of reps calls on the same input (name null: the input restored only). */
  timeCalls(name: string | null, image: RgbaImage, reps: number, params?: Params): number[];
  /** kvfx's demo scene as straight RGBA (an ImageData where the global exists). */
  demoScene(): RgbaImage;
}

export function load(options?: LoadOptions): Promise<KelvoFx>;
/** Whether the engine runs SIMD128. */
export function simd128Supported(): boolean;
/** Whether the threaded build can run here: shared memory (Node, or a cross-origin isolated page). */
export function threadsSupported(): boolean;
/** Colour text as kvfx reads it ('RRGGBB' opaque, 'AARRGGBB'); a number is the word; NaN for anything else. */
export function parseColour(value: number | string): number;
