// The playground: the picture, the chain of effects and their controls.
// Everything that touches pixels runs in worker.js; this thread only builds
// the controls from the catalogue, sends the chain and draws what comes back.
import catalogue from './catalogue.mjs';
import { parseColour } from './kelvo_fx.mjs';
import { encodePng } from './png.mjs';

// Larger images are refused before they reach the module: a 16-megapixel
// image is 64 MiB of words, and the blurs and bloom add scratch images of
// their own within the module's 2 GiB.
const MAX_PIXELS = 4096 * 4096;
const MAX_SIDE = 8192;
const START_CHAIN = ['bloom', 'vignette'];

const $ = (id) => document.getElementById(id);
const effects = new Map(catalogue.effects.map((e) => [e.name, e]));

const state = {
  source: null, // { width, height, data } straight RGBA, as opened
  result: null, // the chain's output, as drawn
  chain: [], // { id, effect, params: { name: value } }
  timings: [],
  error: null,
  renders: 0,
};
let nextId = 1;
let seq = 0; // the last job sent
let inFlight = false;
let pending = false;
let idleWaiters = [];

const worker = new Worker(new URL(`worker.js${location.search}`, import.meta.url), { type: 'module' });

// ---- messages and state ----------------------------------------------------

function showMessage(text) {
  const box = $('message');
  box.textContent = text;
  box.hidden = !text;
}

function setBodyState() {
  const s = !state.source ? 'loading' : inFlight || pending ? 'busy' : 'idle';
  document.body.dataset.state = s;
  if (s === 'idle' || (s === 'loading' && state.error)) {
    const waiters = idleWaiters;
    idleWaiters = [];
    waiters.forEach((w) => w());
  }
}

function chainForWorker() {
  return state.chain.map((s) => ({ effect: s.effect, params: { ...s.params } }));
}

function render() {
  if (!state.source) return;
  if (inFlight) {
    pending = true;
  } else {
    inFlight = true;
    pending = false;
    worker.postMessage({ type: 'run', seq: ++seq, chain: chainForWorker() });
  }
  setBodyState();
}

function markProblem(step, param) {
  document.querySelectorAll('.step.failed').forEach((el) => el.classList.remove('failed'));
  document.querySelectorAll('[aria-invalid=true]').forEach((el) => el.setAttribute('aria-invalid', 'false'));
  if (step == null || !state.chain[step]) return;
  const li = document.querySelector(`.step[data-id="${state.chain[step].id}"]`);
  li?.classList.add('failed');
  if (param) li?.querySelector(`input[data-param="${param}"]:is([type=number], [type=text])`)?.setAttribute('aria-invalid', 'true');
}

function drawImage(canvas, image) {
  canvas.width = image.width;
  canvas.height = image.height;
  canvas.getContext('2d').putImageData(new ImageData(image.data, image.width, image.height), 0, 0);
}

// The picture as large as the view allows: small images enlarged by a whole
// factor (up to 4) so their pixels stay square, large ones shrunk to fit.
function fitStage() {
  // Before the worker's first picture, the demo scene the page opens on.
  const first = $('first-picture');
  const image = state.source ?? (first.naturalWidth ? { width: first.naturalWidth, height: first.naturalHeight } : null);
  if (!image) return;
  const view = $('view');
  const availW = view.clientWidth;
  const availH = Math.max(200, window.innerHeight - view.getBoundingClientRect().top - 80);
  let scale = Math.min(availW / image.width, availH / image.height);
  scale = scale >= 1 ? Math.min(4, Math.floor(scale)) : scale;
  const shown = state.source ? $('before') : first;
  shown.style.width = `${Math.round(image.width * scale)}px`;
  shown.style.height = `${Math.round(image.height * scale)}px`;
}

worker.onmessage = ({ data: msg }) => {
  switch (msg.type) {
    case 'ready': {
      const name = { threads: 'threaded build', simd128: 'SIMD128 build', portable: 'portable build' }[msg.build];
      $('build-info').textContent = `library ${msg.version} in WebAssembly, ${name}, ` +
        `${msg.threads} thread${msg.threads === 1 ? '' : 's'}, in a worker`;
      break;
    }
    case 'fatal':
      state.error = msg.message;
      showMessage(msg.message);
      document.body.dataset.state = 'error';
      break;
    case 'source':
      setSource({ width: msg.width, height: msg.height, data: msg.data }, msg.name, false);
      break;
    case 'result':
    case 'error':
      inFlight = false;
      if (msg.seq === seq && !pending) {
        if (msg.type === 'result') {
          state.result = { width: msg.width, height: msg.height, data: msg.data };
          state.timings = msg.timings;
          state.error = null;
          drawImage($('after'), state.result);
          showMessage('');
          markProblem(null);
          showTimings(msg.timings, msg.totalMs);
          $('download').disabled = false;
        } else {
          // The last good picture stays; the message says what was refused.
          state.error = msg.message;
          showMessage(msg.message);
          markProblem(msg.step, msg.param);
        }
        state.renders++;
      }
      if (pending) render();
      else setBodyState();
      break;
    default:
      break;
  }
};

worker.onerror = (e) => {
  state.error = `the effects worker stopped: ${e.message ?? 'unknown error'}`;
  showMessage(state.error);
  document.body.dataset.state = 'error';
};

function showTimings(timings, totalMs) {
  const items = [...document.querySelectorAll('#chain .step')];
  items.forEach((li, i) => {
    const t = timings[i];
    li.querySelector('.time').textContent = t ? `${t.ms.toFixed(1)} ms` : '';
  });
  $('total').textContent = timings.length ? `${totalMs.toFixed(1)} ms in all, conversions included` : '';
}

// ---- the picture ------------------------------------------------------------

function setSource(image, name, sendToWorker = true) {
  state.source = image;
  state.result = null;
  if (sendToWorker) {
    const copy = new Uint8ClampedArray(image.data);
    worker.postMessage({ type: 'source', width: image.width, height: image.height, data: copy }, [copy.buffer]);
  }
  drawImage($('before'), image);
  drawImage($('after'), image);
  fitStage();
  $('image-info').textContent = `${name}: ${image.width} x ${image.height}`;
  render();
}

async function openFile(file) {
  if (!file) return;
  let bitmap;
  try {
    bitmap = await createImageBitmap(file, { premultiplyAlpha: 'none', colorSpaceConversion: 'none' });
  } catch {
    showMessage(`“${file.name}” is not an image this browser can read (PNG, JPEG, WebP, GIF, …).`);
    return;
  }
  const { width, height } = bitmap;
  if (width > MAX_SIDE || height > MAX_SIDE || width * height > MAX_PIXELS) {
    bitmap.close();
    showMessage(`“${file.name}” is ${width} x ${height} pixels; the playground takes at most ${limitText()}.`);
    return;
  }
  const canvas = new OffscreenCanvas(width, height);
  const ctx = canvas.getContext('2d', { willReadFrequently: true });
  ctx.drawImage(bitmap, 0, 0);
  bitmap.close();
  const image = ctx.getImageData(0, 0, width, height);
  showMessage('');
  setSource({ width, height, data: image.data }, file.name);
}

function limitText() {
  return `${MAX_PIXELS.toLocaleString('en')} pixels (${Math.sqrt(MAX_PIXELS)} x ${Math.sqrt(MAX_PIXELS)}) and ${MAX_SIDE} pixels a side`;
}

// ---- the chain's controls ---------------------------------------------------

function hex6(v) {
  return `#${(v & 0xffffff).toString(16).padStart(6, '0')}`;
}

// A colour word as the text field shows it: AARRGGBB where alpha counts,
// RRGGBB where the effect ignores it.
function colourText(p, word) {
  return p.kind === 'colour_alpha' ? (word >>> 0).toString(16).padStart(8, '0') : hex6(word).slice(1);
}

function sliderStep(p) {
  if (p.kind === 'integer') return 1;
  const span = p.soft_max - p.soft_min;
  return span > 0 ? Number((span / 1000).toPrecision(1)) : 'any';
}

function paramControl(step, p) {
  const row = document.createElement('div');
  row.className = 'param';
  const id = `p${step.id}-${p.name}`;
  const label = document.createElement('label');
  label.htmlFor = id;
  label.textContent = p.alias ? `${p.name} (${p.alias})` : p.name;
  row.append(label);
  const set = (v) => {
    step.params[p.name] = v;
    render();
  };
  if (p.kind === 'colour' || p.kind === 'colour_alpha') {
    const box = document.createElement('div');
    box.className = 'colour';
    const colour = document.createElement('input');
    colour.type = 'color';
    colour.dataset.param = p.name;
    colour.setAttribute('aria-label', `${p.name} picker`);
    // The last colour that parsed: what the picker and the alpha slider show.
    let current = parseColour(step.params[p.name]);
    const word = () => current >>> 0;
    colour.value = hex6(word());
    // Typed text goes to the module as typed, read by the rule every host
    // follows (README, Colours): RRGGBB is opaque, AARRGGBB carries its alpha.
    const text = document.createElement('input');
    text.type = 'text';
    text.id = id;
    text.dataset.param = p.name;
    text.spellcheck = false;
    text.size = 9;
    text.value = colourText(p, word());
    text.title = 'hex: RRGGBB is opaque, AARRGGBB carries its alpha (Colours in the README)';
    box.append(colour, text);
    let alpha = null;
    if (p.kind === 'colour_alpha') {
      alpha = document.createElement('input');
      alpha.type = 'range';
      alpha.min = 0;
      alpha.max = 255;
      alpha.value = word() >>> 24;
      alpha.dataset.param = `${p.name}.alpha`;
      alpha.title = 'opacity (alpha byte)';
      box.append('alpha', alpha);
    }
    const update = () => {
      const rgb = parseInt(colour.value.slice(1), 16);
      const top = alpha ? Number(alpha.value) : word() >>> 24;
      current = ((top << 24) | rgb) >>> 0;
      text.value = colourText(p, current);
      set(current);
    };
    colour.addEventListener('input', update);
    alpha?.addEventListener('input', update);
    text.addEventListener('input', () => {
      const v = parseColour(text.value);
      if (!Number.isNaN(v)) {
        current = v;
        colour.value = hex6(v);
        if (alpha) alpha.value = v >>> 24;
      }
      set(text.value);
    });
    row.append(box);
  } else {
    const slider = document.createElement('input');
    slider.type = 'range';
    slider.min = p.soft_min;
    slider.max = p.soft_max;
    slider.step = sliderStep(p);
    slider.value = step.params[p.name];
    slider.dataset.param = p.name;
    slider.setAttribute('aria-label', `${p.name} slider`);
    const number = document.createElement('input');
    number.type = 'number';
    number.id = id;
    number.min = p.min;
    number.max = p.max;
    number.step = p.kind === 'integer' ? 1 : 'any';
    number.value = step.params[p.name];
    number.dataset.param = p.name;
    slider.addEventListener('input', () => {
      number.value = slider.value;
      set(Number(slider.value));
    });
    // Typed values go to the module as typed: it says what it refuses.
    number.addEventListener('input', () => {
      if (number.value !== '' && Number.isFinite(Number(number.value))) slider.value = number.value;
      set(number.value);
    });
    row.append(slider, number);
  }
  const unit = document.createElement('span');
  unit.className = 'unit';
  unit.textContent = p.kind === 'colour' || p.kind === 'colour_alpha'
    ? `${p.unit}; type RRGGBB (opaque) or AARRGGBB` : p.unit;
  row.append(unit);
  return row;
}

function stepItem(step, i) {
  const e = effects.get(step.effect);
  const li = document.createElement('li');
  li.className = 'step';
  li.dataset.id = step.id;
  li.dataset.effect = step.effect;
  const head = document.createElement('div');
  head.className = 'step-head';
  const title = document.createElement('strong');
  title.textContent = `${i + 1}. ${e.name}`;
  const time = document.createElement('span');
  time.className = 'time';
  const button = (text, label, action, disabled = false) => {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = text;
    b.title = label;
    b.setAttribute('aria-label', `${label} ${e.name}`);
    b.disabled = disabled;
    b.addEventListener('click', action);
    return b;
  };
  head.append(title, time,
    button('↑', 'move up', () => move(i, -1), i === 0),
    button('↓', 'move down', () => move(i, 1), i === state.chain.length - 1),
    button('✕', 'remove', () => remove(i)));
  const summary = document.createElement('p');
  summary.className = 'summary';
  summary.textContent = `${e.summary} · fed ${e.input === 'straight_colour' ? 'straight colour' : 'premultiplied'} pixels`;
  li.append(head, summary, ...e.params.map((p) => paramControl(step, p)));
  return li;
}

function rebuildChain() {
  $('chain').replaceChildren(...state.chain.map(stepItem));
  render();
}

function addEffect(name) {
  const e = effects.get(name);
  state.chain.push({ id: nextId++, effect: name, params: Object.fromEntries(e.params.map((p) => [p.name, p.default])) });
  rebuildChain();
}

function move(i, by) {
  const j = i + by;
  [state.chain[i], state.chain[j]] = [state.chain[j], state.chain[i]];
  rebuildChain();
}

function remove(i) {
  state.chain.splice(i, 1);
  rebuildChain();
}

// ---- wiring -----------------------------------------------------------------

function setSplit(percent) {
  const p = Math.min(100, Math.max(0, percent));
  $('after').style.clipPath = `inset(0 0 0 ${p}%)`;
  $('split-line').style.left = `${p}%`;
  $('split').value = p;
}

function init() {
  $('limit').textContent = limitText();
  for (const e of catalogue.effects) {
    const o = document.createElement('option');
    o.value = e.name;
    o.textContent = e.name;
    o.title = e.summary;
    $('effect-picker').append(o);
  }
  $('add-effect').addEventListener('click', () => addEffect($('effect-picker').value));
  $('demo').addEventListener('click', () => worker.postMessage({ type: 'demo' }));
  $('file').addEventListener('change', (ev) => {
    openFile(ev.target.files[0]);
    ev.target.value = '';
  });
  $('split').addEventListener('input', (ev) => setSplit(Number(ev.target.value)));
  const stage = $('stage');
  let dragging = false;
  stage.addEventListener('pointerdown', (ev) => {
    dragging = true;
    stage.setPointerCapture(ev.pointerId);
    setSplit(((ev.clientX - stage.getBoundingClientRect().left) / stage.clientWidth) * 100);
  });
  stage.addEventListener('pointermove', (ev) => {
    if (dragging) setSplit(((ev.clientX - stage.getBoundingClientRect().left) / stage.clientWidth) * 100);
  });
  stage.addEventListener('pointerup', () => { dragging = false; });
  for (const target of [stage, document.body]) {
    target.addEventListener('dragover', (ev) => {
      ev.preventDefault();
      stage.classList.add('dragging');
    });
    target.addEventListener('dragleave', () => stage.classList.remove('dragging'));
    target.addEventListener('drop', (ev) => {
      ev.preventDefault();
      ev.stopPropagation();
      stage.classList.remove('dragging');
      openFile(ev.dataTransfer.files[0]);
    });
  }
  $('download').addEventListener('click', async () => {
    if (!state.result) return;
    const png = await encodePng(state.result);
    const a = document.createElement('a');
    a.href = URL.createObjectURL(new Blob([png], { type: 'image/png' }));
    a.download = 'kelvo_fx.png';
    a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  });
  window.addEventListener('resize', fitStage);
  const first = $('first-picture');
  const firstShown = () => {
    if (state.source) return;
    fitStage();
    $('image-info').textContent = `demo scene: ${first.naturalWidth} x ${first.naturalHeight}, loading the effects…`;
  };
  if (first.complete && first.naturalWidth) firstShown();
  else first.addEventListener('load', firstShown);
  setSplit(50);
  state.chain = START_CHAIN.map((name) => ({
    id: nextId++,
    effect: name,
    params: Object.fromEntries(effects.get(name).params.map((p) => [p.name, p.default])),
  }));
  $('chain').replaceChildren(...state.chain.map(stepItem));
  worker.postMessage({ type: 'demo' });
}

// For people poking at the page from the console, and for its tests: the
// images as straight RGBA bytes, and a promise for the end of the work.
window.playground = {
  get source() { return state.source; },
  get result() { return state.result; },
  get chain() { return chainForWorker(); },
  get error() { return state.error; },
  get renders() { return state.renders; },
  whenIdle() {
    return new Promise((resolve) => {
      idleWaiters.push(resolve);
      setBodyState();
    });
  },
};

init();
