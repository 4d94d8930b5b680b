#!/usr/bin/env bash
# The Windows install as its users meet it: installs a Windows build into a
# scratch prefix (or, with KV_FX_CPACK, writes the build's zip with
# cpack -G ZIP and unpacks it: its one folder is the prefix), checks the
# layout, then builds a C program against it three ways and runs each (under
# the build's emulator, e.g. wine, when it has one):
#   1. CMake, find_package(kelvo_fx) with the build's toolchain: the imported
#      target's IMPORTED_IMPLIB and IMPORTED_LOCATION;
#   2. pkg-config and the MinGW compiler: -lkelvo_fx finds libkelvo_fx.dll.a;
#   3. the MSVC target (clang) linked by lld-link against kelvo_fx.lib alone,
#      when both are installed.
# usage: KV_FX_CC=compiler [KV_FX_TOOLCHAIN=file] [KV_FX_EMULATOR=program]
#        [KV_FX_CPACK=cpack] install_and_consume.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() { echo "install_and_consume: $*" >&2; exit 1; }
cc=${KV_FX_CC:?KV_FX_CC: the C compiler of the build}
toolchain=${KV_FX_TOOLCHAIN:-}
read -r -a emulator <<<"${KV_FX_EMULATOR//;/ }"

if [ -n "${KV_FX_CPACK:-}" ]; then
  rm -f "$build"/kelvo_fx-*.zip
  (cd "$build" && "$KV_FX_CPACK" -G ZIP) >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; fail "cpack -G ZIP failed"; }
  version=$(awk '/^#define KV_FX_VERSION_(MAJOR|MINOR|PATCH) / { printf "%s%s", dot, $3; dot = "." }' \
            "$src/include/kelvo_fx.h")
  zip=$build/kelvo_fx-$version-windows-x86_64.zip
  [ -f "$zip" ] || fail "cpack -G ZIP wrote no $(basename "$zip")"
  mkdir "$tmp/unpacked"
  (cd "$tmp/unpacked" && cmake -E tar xf "$zip")
  [ "$(ls "$tmp/unpacked")" = "$(basename "$zip" .zip)" ] ||
    fail "the zip does not hold just the folder $(basename "$zip" .zip): $(ls "$tmp/unpacked")"
  prefix=$tmp/unpacked/$(basename "$zip" .zip)
else
  cmake --install "$build" --prefix "$prefix" >/dev/null
fi

for lib in kelvo_fx kelvo_fx_parallel; do
  for f in bin/$lib.dll lib/lib$lib.dll.a lib/$lib.lib lib/$lib.def include/$lib.h \
           lib/pkgconfig/$lib.pc; do
    [ -f "$prefix/$f" ] || fail "$f not installed"
  done
  grep -q "IMPORTED_IMPLIB[A-Z_]* \"\${_IMPORT_PREFIX}/lib/lib$lib.dll.a\"" \
    "$prefix"/lib/cmake/kelvo_fx/kelvo_fxTargets-*.cmake ||
    fail "the CMake package does not name lib/lib$lib.dll.a as the import library"
done
for f in lib/cmake/kelvo_fx/kelvo_fxConfig.cmake lib/cmake/kelvo_fx/kelvo_fxConfigVersion.cmake; do
  [ -f "$prefix/$f" ] || fail "$f not installed"
done
stray=$(cd "$prefix" && find . -iname '*.dll' ! -path ./bin/kelvo_fx.dll ! -path ./bin/kelvo_fx_parallel.dll)
[ -z "$stray" ] || fail "DLLs installed besides bin/kelvo_fx.dll and bin/kelvo_fx_parallel.dll: $stray"
if grep -rqF -e "$src" -e "$build" "$prefix/lib/cmake/kelvo_fx" "$prefix/lib/pkgconfig"; then
  fail "installed package files refer to the source or build tree"
fi

gen=()
command -v ninja >/dev/null && gen=(-G Ninja)

# 1. CMake.
tc=()
[ -n "$toolchain" ] && tc=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
cmake -S "$here/consumer" -B "$tmp/by-cmake" "${gen[@]}" "${tc[@]}" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_ROOT_PATH="$prefix" >"$tmp/by-cmake.log" 2>&1 ||
  { cat "$tmp/by-cmake.log"; fail "consumer: configure failed"; }
cmake --build "$tmp/by-cmake" >>"$tmp/by-cmake.log" 2>&1 ||
  { cat "$tmp/by-cmake.log"; fail "consumer: build failed"; }
[ -f "$tmp/by-cmake/kelvo_fx.dll" ] && [ -f "$tmp/by-cmake/kelvo_fx_parallel.dll" ] ||
  fail "consumer: TARGET_RUNTIME_DLLS did not bring both DLLs"
"${emulator[@]}" "$tmp/by-cmake/consumer.exe" || fail "find_package consumer failed"

# 2. pkg-config and a plain compiler call.
mkdir -p "$tmp/by-pkg-config"
cp "$prefix/bin/kelvo_fx.dll" "$prefix/bin/kelvo_fx_parallel.dll" "$tmp/by-pkg-config/"
export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH=
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Werror "$src/tests/install/consumer/consumer.c" \
  -o "$tmp/by-pkg-config/consumer.exe" $(pkg-config --cflags --libs kelvo_fx kelvo_fx_parallel)
"${emulator[@]}" "$tmp/by-pkg-config/consumer.exe" || fail "pkg-config consumer failed"

# 3. Microsoft's linker conventions: kelvo_fx.lib and kelvo_fx_parallel.lib
# are all it is given of the libraries.
lld_link=$(command -v lld-link || ls /usr/lib/llvm-*/bin/lld-link 2>/dev/null | tail -1 || true)
if [ -n "$lld_link" ] && command -v clang >/dev/null; then
  out=$tmp/msvc
  mkdir -p "$out"
  cp "$prefix/bin/kelvo_fx.dll" "$prefix/bin/kelvo_fx_parallel.dll" "$out/"
  clang --target=x86_64-pc-windows-msvc -ffreestanding -fno-stack-protector -O1 -Wall -Werror \
    -I"$prefix/include" -c "$here/msvc_consumer.c" -o "$out/msvc_consumer.obj"
  # ExitProcess comes from MinGW's own import library: lld-link reads both
  # kinds.
  kernel32=$("$cc" -print-file-name=libkernel32.a)
  "$lld_link" /nologo /subsystem:console /entry:entry /nodefaultlib \
    /out:"$out/msvc_consumer.exe" "$out/msvc_consumer.obj" "$prefix/lib/kelvo_fx.lib" \
    "$prefix/lib/kelvo_fx_parallel.lib" "$kernel32"
  status=0
  "${emulator[@]}" "$out/msvc_consumer.exe" || status=$?
  ((status == 0)) || fail "MSVC-linked consumer failed checks (bits $status)"
  echo "install_and_consume: kelvo_fx.lib linked by lld-link: ok"
else
  echo "install_and_consume: clang or lld-link missing, kelvo_fx.lib not linked (skipped)"
fi
echo "install_and_consume: ok"
