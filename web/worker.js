// The page's effects run here, off the main thread, so sliders stay live
// while a large image is worked on. The worker keeps the source image and
// answers each 'run' with the chain applied to a fresh copy of it.
import { FxError, load } from './kelvo_fx.mjs';

// On the page's address, for measuring one build against another: ?simd=0
// forces the portable build, ?simd=1 the single-thread SIMD128 one, and
// ?threads=N the threaded build's thread count (1 asks for no threads).
const query = new URL(self.location.href).searchParams;
const choice = query.get('simd');
const simd = choice === '1' ? true : choice === '0' ? false : 'auto';
const threads = query.has('threads') ? Number(query.get('threads')) : undefined;

let fx = null;
let source = null;

const ready = load({ simd, threads }).then(
  (m) => {
    fx = m;
    postMessage({ type: 'ready', build: fx.build, threads: fx.threads, version: fx.version });
  },
  (err) => postMessage({ type: 'fatal', message: `the effects module did not load: ${err.message ?? err}` }),
);

function sendImage(type, image, extra = {}) {
  const data = image.data;
  postMessage({ type, width: image.width, height: image.height, data, ...extra }, [data.buffer]);
}

self.onmessage = async ({ data: msg }) => {
  await ready;
  if (!fx) return;
  switch (msg.type) {
    case 'demo': {
      const scene = fx.demoScene();
      source = { width: scene.width, height: scene.height, data: new Uint8ClampedArray(scene.data) };
      sendImage('source', scene, { name: 'demo scene' });
      break;
    }
    case 'source':
      source = { width: msg.width, height: msg.height, data: msg.data };
      break;
    case 'run': {
      if (!source) return;
      const image = { width: source.width, height: source.height, data: source.data.slice() };
      try {
        const { timings, totalMs } = fx.applyChain(image, msg.chain);
        sendImage('result', image, { seq: msg.seq, timings, totalMs });
      } catch (err) {
        const known = err instanceof FxError;
        postMessage({
          type: 'error',
          seq: msg.seq,
          message: known ? err.message : `unexpected failure: ${err.message ?? err}`,
          effect: known ? err.effect : null,
          param: known ? err.param : null,
          step: known ? err.step : null,
        });
      }
      break;
    }
    default:
      break;
  }
};
