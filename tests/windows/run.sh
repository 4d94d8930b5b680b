#!/usr/bin/env bash
# Windows x86-64: cross-builds the library and its GoogleTest suite
# with MinGW-w64, once optimised (build-windows/) and once unoptimised
# (build-windows-debug/), and runs under wine what each build registers with
# ctest:
#   kelvo_fx_tests       the whole suite, golden checksums, guard pages,
#                        allocation failures and threads included;
#   exported_symbols     the DLL imports only KERNEL32.dll and the C runtime,
#                        exports exactly the ten functions, as do the .def
#                        and both import libraries; no aligned wide vector
#                        move is left in the DLL or the suite;
#   c_caller             a strict C99 program linked with the import library;
#   install_and_consume  (optimised build) the installed prefix used through
#                        find_package, through pkg-config, and kelvo_fx.lib
#                        linked by an MSVC-compatible linker;
#   zip_and_consume      (optimised build) the same from the zip it writes,
#                        build-windows/kelvo_fx-<version>-windows-x86_64.zip.
# Installs what is missing (needs root), prints each stage's time and exits
# non-zero on the first failure.
# Usage: bash tests/windows/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=${WINDOWS_JOBS:-2}
times=()
stage_start=$SECONDS
end_stage() {
  times+=("$1 $((SECONDS - stage_start))s")
  echo "== windows $1: $((SECONDS - stage_start))s"
  stage_start=$SECONDS
}

missing=()
for pkg in mingw-w64 g++-mingw-w64-x86-64-posix wine64 googletest cmake ninja-build \
           pkg-config clang lld; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "windows: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
end_stage install

# Debian's wine64 installs the loader outside PATH; the wine package, when
# present, adds the usual 'wine' command in front of it.
wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -x "$wine" ] || { echo "windows: no wine loader found" >&2; exit 1; }
# A prefix of its own under the build folder, quiet, without the .NET and
# browser installers a new prefix would otherwise ask for; one persistent
# server for the whole run so that each test process starts at once.
export WINEPREFIX=$PWD/build-windows/wine WINEDEBUG=-all WINEARCH=win64
mkdir -p "$WINEPREFIX"
export WINEDLLOVERRIDES="mscoree,mshtml="
"$wineserver" -k >/dev/null 2>&1 || true  # one left by an interrupted run
"$wineserver" -p
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
"$wine" wineboot --init >/dev/null 2>&1
end_stage "wine prefix"

# The bindings build against the build machine's Python and GStreamer;
# nothing of them is meant for this DLL.
configure() {
  local dir=$1 type=$2
  mkdir -p "$dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" -DKV_FX_GTEST_FROM_SOURCE=ON \
    -DKV_FX_BUILD_BINDINGS=OFF >"$dir/configure.log" 2>&1 ||
    { tail -30 "$dir/configure.log"; echo "windows: $type configure FAILED"; exit 1; }
}

for type in Release Debug; do
  dir=build-windows targets=()
  # Unoptimised, only what its tests run: the suite, the DLL and the C caller.
  [ "$type" = Debug ] && dir=build-windows-debug targets=(--target kelvo_fx_tests kelvo_fx_c_caller)
  configure "$dir" "$type"
  cmake --build "$dir" -j"$jobs" "${targets[@]}" >"$dir/build.log" 2>&1 ||
    { grep -E -A12 'FAILED|error' "$dir/build.log" | head -60; echo "windows: $type build FAILED"; exit 1; }
  end_stage "$type build"
  # The unoptimised build's installed prefix and zip would say nothing new.
  exclude='^$'
  [ "$type" = Debug ] && exclude='^(install|zip)_and_consume$'
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" -E "$exclude" ||
    { echo "windows: $type tests FAILED"; exit 1; }
  end_stage "$type tests under wine"
done

echo "windows: ${times[*]}"
echo "windows: OK"
