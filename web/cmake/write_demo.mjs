// Writes kvfx's demo scene, as the module draws it, to SITE_DIR/demo.png, so
// the page shows it from its first paint while the module is still loading
// in the worker:   node write_demo.mjs SITE_DIR
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const site = process.argv[2];
const { load } = await import(pathToFileURL(join(site, 'kelvo_fx.mjs')).href);
const { encodePng } = await import(pathToFileURL(join(site, 'png.mjs')).href);
const fx = await load({ simd: false });
writeFileSync(join(site, 'demo.png'), await encodePng(fx.demoScene()));
