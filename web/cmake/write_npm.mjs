// The npm package, assembled from the built site:
//   node write_npm.mjs SITE_DIR OUT_DIR WEB_DIR LICENSE
// The page and the module's files as the site has them (so the page works
// served from the package), serve.mjs, the declarations, the README and the
// licence, and a package.json whose version is the catalogue's, which the
// library's header gives it.
import { copyFileSync, mkdirSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

const [site, out, web, licence] = process.argv.slice(2);
const catalogue = JSON.parse(readFileSync(join(site, 'catalogue.json'), 'utf8'));

rmSync(out, { recursive: true, force: true });
mkdirSync(out, { recursive: true });
const files = [];
const copy = (from, name) => {
  copyFileSync(from, join(out, name));
  files.push(name);
};
for (const name of readdirSync(site).sort()) copy(join(site, name), name);
copy(join(web, 'serve.mjs'), 'serve.mjs');
copy(join(web, 'kelvo_fx.d.ts'), 'kelvo_fx.d.ts');
copyFileSync(join(web, 'npm', 'README.md'), join(out, 'README.md'));
copyFileSync(licence, join(out, 'LICENSE'));

const manifest = {
  name: 'kelvo-fx',
  version: catalogue.version,
  description: 'Ten raster image effects compiled to WebAssembly, bit-exact with the native library: ' +
    'portable, SIMD128 and threaded builds, an ES module and a playground page',
  keywords: ['image', 'effects', 'blur', 'webassembly', 'wasm', 'simd'],
  license: 'MIT',
  type: 'module',
  main: './kelvo_fx.mjs',
  types: './kelvo_fx.d.ts',
  exports: {
    '.': { types: './kelvo_fx.d.ts', default: './kelvo_fx.mjs' },
    './catalogue.json': './catalogue.json',
    './catalogue.mjs': './catalogue.mjs',
    './serve.mjs': './serve.mjs',
    './package.json': './package.json',
  },
  files,
  engines: { node: '>=20' },
  sideEffects: false,
};
writeFileSync(join(out, 'package.json'), `${JSON.stringify(manifest, null, 2)}\n`);
