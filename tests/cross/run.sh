#!/usr/bin/env bash
# Cross-builds the library and its GoogleTest suite for ARCH (arm64 or s390x)
# and runs the suite under qemu user emulation, so the golden checksums and
# every reference comparison are checked on another CPU (s390x: big-endian).
# Installs the cross toolchain and qemu when they are missing (needs root).
# Usage: bash tests/cross/run.sh arm64|s390x [gtest filter]
set -euo pipefail
cd "$(dirname "$0")/../.."
arch=${1:?usage: tests/cross/run.sh arm64|s390x [gtest filter]}
filter=${2:-*}
case "$arch" in
  arm64) triple=aarch64-linux-gnu; qemu=qemu-aarch64 ;;
  s390x) triple=s390x-linux-gnu; qemu=qemu-s390x ;;
  *) echo "cross: unknown architecture '$arch' (arm64 or s390x)" >&2; exit 2 ;;
esac
t0=$(date +%s)

missing=()
for pkg in "crossbuild-essential-$arch" qemu-user googletest cmake ninja-build; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "cross: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
t1=$(date +%s)

build=build-$arch
jobs=${CROSS_JOBS:-2}
mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/tests/cross/$arch.cmake" \
  -DKV_FX_GTEST_FROM_SOURCE=ON -DKV_FX_BUILD_TOOLS=OFF -DKV_FX_BUILD_BENCH=OFF \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >"$build/configure.log" 2>&1 ||
  { tail -30 "$build/configure.log"; echo "cross: $arch configure FAILED"; exit 1; }
cmake --build "$build" -j"$jobs" --target kelvo_fx_tests
t2=$(date +%s)

# The suite runs directly (ctest would add the C caller and the host-side
# export check, which say nothing about the target's arithmetic).
status=0
"$qemu" -L "/usr/$triple" "$build/tests/kelvo_fx_tests" --gtest_filter="$filter" \
  --gtest_brief=1 || status=$?
t3=$(date +%s)
echo "cross: $arch install $((t1 - t0))s, build $((t2 - t1))s, run $((t3 - t2))s"
if ((status)); then
  echo "cross: $arch FAILED"
  exit "$status"
fi
echo "cross: $arch OK"
