#!/usr/bin/env bash
# The whole test run, stage by stage:
#   1. the release build in build/ and its ctest suite (GoogleTest, the C
#      caller, the exports, kvfx's command line, the Cairo example, the
#      install-and-consume test, the Python package, the GStreamer plugin);
#   2. the Debian packages of that build (cpack -G DEB), checked by lintian,
#      installed with apt-get, used with the build tree on no path, purged
#      (as root only);
#   3. the suite under AddressSanitizer and UndefinedBehaviorSanitizer, and
#      the thread test under ThreadSanitizer;
#   4. the library's fuzzer and kvfx's fuzzer, each its corpus replayed and
#      then a bounded time of fuzzing;
#   5. the suite cross-built for arm64 and big-endian s390x, run under qemu,
#      and the AVX-512 kernels on an emulated AVX-512 CPU (Bochs);
#   6. the Windows DLL and the suite under wine, Release and Debug, and the
#      Windows zip;
#   7. the WebAssembly build: its Node tests and the page in headless Chromium.
# Run as root it first installs what a stage needs from Debian's packages
# (tests/install_deps.sh); a stage whose tools cannot be had says so and is
# skipped. KV_FX_PACKAGES=0, KV_FX_SANITIZERS=0, KV_FX_FUZZ_SECONDS=0,
# KV_FX_CROSS=0, KV_FX_EMULATED=0, KV_FX_WINDOWS=0 and KV_FX_WEB=0 skip
# stages;
# `ctest --test-dir build` runs just the first.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
summary=()
started=$SECONDS

done_stage() { summary+=("$1: ${2}s"); echo "== $1: ${2}s"; }
skipped() { summary+=("$1: SKIPPED ($2)"); echo "== $1: SKIPPED ($2)"; }
report() {
  echo
  echo "== summary ($(( SECONDS - started ))s in all)"
  for line in "${summary[@]}"; do echo "   $line"; done
}
trap report EXIT

bash tests/install_deps.sh base ||
  echo "== some test tools are missing: the tests that need them report themselves skipped"

# 1. Release build and suite.
t=$SECONDS
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
done_stage "release build and tests" $(( SECONDS - t ))

# 2. The Debian packages, made from build/; the stage purges them however it
# ends.
if [ "${KV_FX_PACKAGES:-1}" != 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    skipped "Debian packages" "installing them needs root"
  elif bash tests/install_deps.sh packages; then
    t=$SECONDS
    bash tests/packages/run.sh build
    done_stage "Debian packages" $(( SECONDS - t ))
  else
    skipped "Debian packages" "lintian or dpkg-dev is missing"
  fi
else
  skipped "Debian packages" "KV_FX_PACKAGES=0"
fi

# 3. Sanitizers: any stray read or write, leak or undefined operation stops
# the run; concurrent calls on distinct buffers share no unsynchronised state.
if [ "${KV_FX_SANITIZERS:-1}" != 0 ]; then
  t=$SECONDS
  asan="-fsanitize=address,undefined -fno-sanitize-recover=all"
  # -O1 with line tables only: reports keep their file and line, and the
  # builds take about half the time of -O2 with full debug information.
  quick="-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
  quick_c="-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FX_BUILD_BENCH=OFF \
    "$quick" "$quick_c" \
    -DCMAKE_CXX_FLAGS="$asan" -DCMAKE_C_FLAGS="$asan" \
    -DCMAKE_EXE_LINKER_FLAGS="$asan" -DCMAKE_SHARED_LINKER_FLAGS="$asan"
  cmake --build build-asan -j"$jobs"
  # A scratch image too large for the machine must come back as
  # FX_ERR_OUT_OF_MEMORY (tests skip on it), not abort inside the sanitizer.
  # Not run here: install_and_consume builds its consumer without the
  # sanitizer runtime, and cairo_glow inherits fontconfig's own leaks.
  ASAN_OPTIONS="allocator_may_return_null=1:${ASAN_OPTIONS:-}" \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" \
    -E '^(install_and_consume|cairo_glow)$'
  done_stage "address/undefined sanitizer build and tests" $(( SECONDS - t ))

  t=$SECONDS
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FX_BUILD_BINDINGS=OFF \
    "$quick" "$quick_c" \
    -DKV_FX_BUILD_TOOLS=OFF -DKV_FX_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_C_FLAGS="-fsanitize=thread" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread"
  cmake --build build-tsan -j"$jobs" --target kelvo_fx_tests
  TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
    ./build-tsan/tests/kelvo_fx_tests --gtest_filter='Threads*'
  done_stage "thread sanitizer build and tests" $(( SECONDS - t ))
else
  skipped "sanitizers" "KV_FX_SANITIZERS=0"
fi

# 4. The fuzzers: seconds each, builds included.
fuzz_seconds=${KV_FX_FUZZ_SECONDS:-90}
if [ "$fuzz_seconds" != 0 ]; then
  t=$SECONDS
  bash fuzz/run.sh "$fuzz_seconds"
  done_stage "library fuzzer" $(( SECONDS - t ))
  t=$SECONDS
  bash tools/kvfx/fuzz/run.sh "$(( fuzz_seconds * 2 / 3 ))"
  done_stage "kvfx fuzzer" $(( SECONDS - t ))
else
  skipped "fuzzers" "KV_FX_FUZZ_SECONDS=0"
fi

# 5. The same bits on other CPUs: the suite, golden checksums included, for
# arm64 (its NEON level too) and big-endian s390x under qemu.
if [ "${KV_FX_CROSS:-1}" != 0 ]; then
  if bash tests/install_deps.sh cross; then
    for arch in arm64 s390x; do
      t=$SECONDS
      bash tests/cross/run.sh "$arch"
      done_stage "$arch under qemu" $(( SECONDS - t ))
    done
  else
    skipped "arm64 and s390x" "their toolchains and qemu are missing"
  fi
else
  skipped "arm64 and s390x" "KV_FX_CROSS=0"
fi

# 5b. The AVX-512 kernels on an emulated AVX-512 CPU, against the AVX2 ones
# (the suite above runs only the levels this CPU has).
if [ "${KV_FX_EMULATED:-1}" != 0 ]; then
  if bash tests/install_deps.sh emulated; then
    t=$SECONDS
    status=0
    bash tests/emulated/run.sh "$(mktemp -d)" || status=$?
    case $status in
      0) done_stage "AVX-512 kernels, emulated" $(( SECONDS - t )) ;;
      77) skipped "AVX-512 kernels, emulated" "the emulator did not run" ;;
      *) echo "== AVX-512 kernels, emulated: FAILED"; exit 1 ;;
    esac
  else
    skipped "AVX-512 kernels, emulated" "bochs or its boot files are missing"
  fi
else
  skipped "AVX-512 kernels, emulated" "KV_FX_EMULATED=0"
fi

# 6. The Windows x86-64 DLL, its suite under wine, and the zip.
if [ "${KV_FX_WINDOWS:-1}" != 0 ]; then
  if bash tests/install_deps.sh windows; then
    t=$SECONDS
    bash tests/windows/run.sh
    done_stage "Windows under wine" $(( SECONDS - t ))
  else
    skipped "Windows" "MinGW-w64 and wine are missing"
  fi
else
  skipped "Windows" "KV_FX_WINDOWS=0"
fi

# 7. WebAssembly: the module against the native golden checksums, the page
# in headless Chromium.
if [ "${KV_FX_WEB:-1}" != 0 ]; then
  if bash tests/install_deps.sh web && command -v npm >/dev/null; then
    t=$SECONDS
    bash web/run_tests.sh
    done_stage "WebAssembly and the page" $(( SECONDS - t ))
  else
    skipped "WebAssembly" "emscripten, chromium or npm is missing"
  fi
else
  skipped "WebAssembly" "KV_FX_WEB=0"
fi
