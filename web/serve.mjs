// A tiny static server for the built page, on this machine only:
//   node web/serve.mjs [--no-isolation] [SITE_DIR] [PORT]
// (defaults: build-web/site, or the folder this file is in when that holds
// the page, as in the npm package; port 8080), then open
// http://127.0.0.1:8080/. The tests start it on a free port.
// The page is served cross-origin isolated (COOP and COEP), which gives it
// SharedArrayBuffer and so the threaded build; --no-isolation serves it
// without, as many hosts do, and the page falls back to one thread.
import { createServer } from 'node:http';
import { existsSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import { extname, join, normalize, resolve, sep } from 'node:path';
import { fileURLToPath } from 'node:url';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json',
  '.wasm': 'application/wasm',
  '.png': 'image/png',
};

export function serve(dir, port = 0, { isolated = true } = {}) {
  const root = resolve(dir);
  const server = createServer(async (req, res) => {
    const path = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    const file = normalize(join(root, path.endsWith('/') ? `${path}index.html` : path));
    if (file !== root && !file.startsWith(root + sep)) {
      res.writeHead(403).end();
      return;
    }
    try {
      const body = await readFile(file);
      res.writeHead(200, {
        'Content-Type': TYPES[extname(file)] ?? 'application/octet-stream',
        'Cache-Control': 'no-store',
        // Cross-origin isolation: shared memory for the threads, and
        // performance.now() at its fine resolution for the per-effect times.
        ...(isolated ? {
          'Cross-Origin-Opener-Policy': 'same-origin',
          'Cross-Origin-Embedder-Policy': 'require-corp',
        } : {}),
      });
      res.end(body);
    } catch {
      res.writeHead(404, { 'Content-Type': 'text/plain' }).end('not found');
    }
  });
  return new Promise((ok) => server.listen(port, '127.0.0.1', () => ok(server)));
}

if (process.argv[1] && resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const args = process.argv.slice(2);
  const isolated = !args.includes('--no-isolation');
  const [dirArg, portArg] = args.filter((a) => a !== '--no-isolation');
  const here = fileURLToPath(new URL('.', import.meta.url));
  const dir = dirArg ?? (existsSync(join(here, 'index.html')) ? here : join(here, '..', 'build-web', 'site'));
  const server = await serve(dir, Number(portArg ?? 8080), { isolated });
  console.log(`serving ${resolve(dir)} at http://127.0.0.1:${server.address().port}/` +
    (isolated ? ' (cross-origin isolated)' : ' (not isolated: one thread)'));
}
