#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds a small C program against
# it twice, through the CMake package and through pkg-config, then runs both;
# then installs it as a user would, into ~/.local of a scratch HOME, and runs
# kvfx from there.
# usage: install_and_consume.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() { echo "install_and_consume: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

lib=$(find "$prefix" -name libkelvo_fx.so -print -quit)
[ -n "$lib" ] || fail "libkelvo_fx.so not installed"
libdir=$(dirname "$lib")
[ -f "$prefix/include/kelvo_fx.h" ] || fail "header not installed"
[ -L "$libdir/libkelvo_fx.so" ] || fail "libkelvo_fx.so is not a symlink"
soname=$(readlink "$libdir/libkelvo_fx.so")
[ -L "$libdir/$soname" ] && [ -f "$libdir/$(readlink "$libdir/$soname")" ] || fail "SONAME chain broken"
[ -f "$libdir/cmake/kelvo_fx/kelvo_fxConfig.cmake" ] || fail "CMake package missing"
[ -f "$libdir/cmake/kelvo_fx/kelvo_fxConfigVersion.cmake" ] || fail "CMake package version missing"
for name in kelvo_fx kelvo_fx_parallel; do
  [ -f "$prefix/include/$name.h" ] || fail "$name.h not installed"
  [ -f "$libdir/pkgconfig/$name.pc" ] || fail "$name.pc missing"
  [ -L "$libdir/lib$name.so" ] || fail "lib$name.so is not a symlink"
  [ "$(readelf -d "$libdir/lib$name.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')" = "lib$name.so.0" ] ||
    fail "lib$name.so has not the SONAME lib$name.so.0"
done
# The installed package must not point back into the source or build tree.
if grep -rqF -e "$src" -e "$build" "$libdir/cmake/kelvo_fx" "$libdir/pkgconfig"; then
  fail "installed package files refer to the source or build tree"
fi

gen=()
command -v ninja >/dev/null && gen=(-G Ninja)

# 1. CMake: find_package(kelvo_fx CONFIG REQUIRED).
cmake -S "$here/consumer" -B "$tmp/by-cmake" "${gen[@]}" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/by-cmake" >/dev/null
LD_LIBRARY_PATH="$libdir" "$tmp/by-cmake/consumer"

# 2. pkg-config and a plain compiler call.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion kelvo_fx)" = "$(sed -n 's/^Version: //p' "$libdir/pkgconfig/kelvo_fx.pc")" ] ||
  fail "pkg-config cannot read kelvo_fx.pc"
# shellcheck disable=SC2046
${CC:-cc} -std=c99 -Wall -Werror "$here/consumer/consumer.c" -o "$tmp/by-pkg-config" \
  $(pkg-config --cflags --libs kelvo_fx kelvo_fx_parallel)
LD_LIBRARY_PATH="$libdir" "$tmp/by-pkg-config"

# 3. The installed tool finds the installed library by itself.
if [ -x "$prefix/bin/kvfx" ]; then
  env -u LD_LIBRARY_PATH "$prefix/bin/kvfx" help >/dev/null || fail "installed kvfx does not run"
fi

# 4. A user's own install, as README gives it (--prefix ~/.local), under a
# scratch HOME: kvfx runs every effect, through both libraries, in a fresh
# login's environment. (The plugin's and the package's tests check theirs.)
home=$tmp/home
mkdir -p "$home"
HOME=$home cmake --install "$build" --prefix "$home/.local" >/dev/null
if [ -f "$build/tools/kvfx/kvfx" ]; then
  [ -x "$home/.local/bin/kvfx" ] || fail "kvfx is not in ~/.local/bin"
  env -i HOME="$home" PATH="$home/.local/bin:/usr/bin:/bin" kvfx demo "$tmp/demo" >/dev/null ||
    fail "kvfx from ~/.local/bin does not run its demo"
  [ -f "$tmp/demo/contact_sheet.png" ] || fail "kvfx from ~/.local/bin wrote no contact sheet"
fi
echo "install_and_consume: ok"
