#!/usr/bin/env bash
# Builds the library and its tests in build/ and runs them, then again with
# sanitizers in build-asan/ and build-tsan/, then the fuzzer, then the suite
# on arm64 and s390x under qemu. KV_FX_SANITIZERS=0, KV_FX_FUZZ_SECONDS=0 and
# KV_FX_CROSS=0 skip the later stages.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
echo "== release build and tests: ${SECONDS}s"

# The same suite with AddressSanitizer and UndefinedBehaviorSanitizer: any
# stray read or write, leak or undefined operation stops the run.
# KV_FX_SANITIZERS=0 skips this and the ThreadSanitizer stage.
if [ "${KV_FX_SANITIZERS:-1}" != 0 ]; then
  SECONDS=0
  asan="-fsanitize=address,undefined -fno-sanitize-recover=all"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FX_BUILD_BENCH=OFF \
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
  echo "== address/undefined sanitizer build and tests: ${SECONDS}s"

  # Concurrent calls on distinct buffers must share no unsynchronised state.
  SECONDS=0
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_C_FLAGS="-fsanitize=thread" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread"
  cmake --build build-tsan -j"$jobs" --target kelvo_fx_tests
  TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
    ./build-tsan/tests/kelvo_fx_tests --gtest_filter='Threads*'
  echo "== thread sanitizer build and tests: ${SECONDS}s"
fi

# The fuzzer: replays its seed corpus, then explores for a bounded time
# (seconds, build included). KV_FX_FUZZ_SECONDS=0 skips it.
fuzz_seconds=${KV_FX_FUZZ_SECONDS:-120}
if [ "$fuzz_seconds" != 0 ]; then
  SECONDS=0
  bash fuzz/run.sh "$fuzz_seconds"
  echo "== fuzz: ${SECONDS}s"
fi

# The same bits on other CPUs: the suite, golden checksums included, built
# for arm64 and big-endian s390x and run under qemu. KV_FX_CROSS=0 skips it.
if [ "${KV_FX_CROSS:-1}" != 0 ]; then
  for arch in arm64 s390x; do
    SECONDS=0
    bash tests/cross/run.sh "$arch"
    echo "== $arch under qemu: ${SECONDS}s"
  done
fi
