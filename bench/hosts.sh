#!/usr/bin/env bash
# Each host's time at 1 and 2 threads, in one run: the Python package on a
# 3840 x 2160 array (median of 5 calls), the GStreamer elements on 1920 x 1080
# BGRx (gst/bench.sh, n-threads 1 and 2) and the browser's builds on 1920 x
# 1080 in headless Chromium (web/bench.mjs). Needs the release build in
# BUILD_DIR and, for the browser, web/run_tests.sh's build-web/.
# usage: bash bench/hosts.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
echo "== $(date -u +%FT%TZ), $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== Python, 3840 x 2160, median ms of 5 calls"
PYTHONPATH=$build/python /usr/bin/python3 - <<'PY'
import time
import numpy as np
import kelvo_fx

rng = np.random.default_rng(1)
base = rng.integers(0, 2**32, size=(2160, 3840), dtype=np.uint32) | np.uint32(0xFF000000)
print("| call | threads=1 ms | threads=2 ms | x threads=1 | same words |")
print("|---|---:|---:|---:|---|")
for name, kw in [("gaussian_blur", {"sigma": 2.0}), ("bloom", {}), ("drop_shadow", {})]:
    fn = getattr(kelvo_fx, name)
    times, words = {}, {}
    for threads in (1, 2):
        runs = []
        for _ in range(5):
            a = base.copy()
            t0 = time.perf_counter()
            fn(a, threads=threads, **kw)
            runs.append(time.perf_counter() - t0)
        times[threads] = sorted(runs)[2] * 1000
        words[threads] = a
    same = "yes" if np.array_equal(words[1], words[2]) else "NO"
    print("| %s | %.1f | %.1f | %.2f | %s |"
          % (name, times[1], times[2], times[1] / times[2], same))
PY

echo "== GStreamer"
bash gst/bench.sh "$build" 200 3 "1 2"

if [ -d build-web/site ]; then
  echo "== browser"
  NODE_PATH=/usr/share/nodejs node web/bench.mjs
fi
