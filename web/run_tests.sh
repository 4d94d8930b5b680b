#!/usr/bin/env bash
# The web build's own test entry: builds the WebAssembly module (portable,
# SIMD128 and threaded), the page and the npm package into build-web/, the
# native driver the tests compare against into build-web/native/, installs
# playwright-core from the lockfile, then runs the library's vector-level
# tests on the SIMD128 build under Node, the Node tests of the module and of
# the npm package (packed and installed offline into an empty project; its
# declarations compiled by tsc where node-typescript is installed) and the
# browser tests in Debian's headless Chromium. Needs cmake, g++, emscripten,
# nodejs, npm, chromium (Debian packages); nothing here downloads a browser
# or a toolchain.
#   KV_FX_WEB_BUILD=DIR     build folder (default build-web)
#   KV_FX_WEB_BROWSER=0     skips the browser tests
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KV_FX_WEB_BUILD:-build-web}
# Debian's emscripten finds its JavaScript helpers only here.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1

SECONDS=0
emcmake cmake -S web -B "$build" -Wno-dev >/dev/null
cmake --build "$build" -j2
cmake -S web/native -B "$build/native" -Wno-dev >/dev/null
cmake --build "$build/native" -j2
echo "== web: module, page and native driver built: ${SECONDS}s"

SECONDS=0
# The level tests on the SIMD128 build (the one frame of more than 2^31
# words does not fit a 32-bit module).
node "$build/simd128/kelvo_fx_level_tests.js" --gtest_brief=1 \
  --gtest_filter=-GaussianBlur.RunCountBeyond32Bits
echo "== web: SIMD128 level tests: ${SECONDS}s"

SECONDS=0
tests=(web/tests/golden.test.mjs web/tests/module.test.mjs web/tests/package.test.mjs)
if [ "${KV_FX_WEB_BROWSER:-1}" != 0 ]; then
  (cd web && npm ci --no-audit --no-fund --loglevel=error)
  tests+=(web/tests/browser.test.mjs)
fi
KV_FX_WEB_BUILD="$build" KV_FX_NATIVE_DRIVER="$build/native/kvfx_web_driver" \
  node --test "${tests[@]}"
echo "== web: tests: ${SECONDS}s (screenshot: $build/screenshot.png)"
