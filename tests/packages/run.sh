#!/usr/bin/env bash
# The Debian packages as their users meet them: cpack -G DEB in a built tree,
# lintian (no errors), then apt-get install of all of them and, from a
# scratch directory with the build tree on no path and no variable set:
#   kvfx's demo, kvfx(1), kvfx and the plugin loading the system's libraries;
#   a C program built through find_package(kelvo_fx) and through pkg-config;
#   gst-inspect-1.0 kvfxblur from GStreamer's own plugin directory;
#   /usr/bin/python3 importing kelvo_fx from / and running an effect;
# then apt-get purge, after which no file of theirs is left. The packages are
# purged however the checks end. Needs root (exit 77 otherwise).
# usage: tests/packages/run.sh [BUILD_DIR]   (default: build)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
fail() { echo "packages: $*" >&2; exit 1; }
if [ "$(id -u)" != 0 ]; then
  echo "packages: apt-get needs root: skipped"
  exit 77
fi

packages=(libkelvo-fx0 libkelvo-fx-dev kvfx gstreamer1.0-kvfx python3-kelvo-fx)
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=/usr/lib/$multiarch
tmp=$(mktemp -d)
purge() { apt-get purge -y -qq "${packages[@]}" >"$tmp/purge.log" 2>&1; }
cleanup() {
  if dpkg -l "${packages[@]}" 2>/dev/null | grep -q '^[ih]i'; then
    purge || cat "$tmp/purge.log" >&2
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
# Another process may be installing packages at the same time.
apt_opts=(-o DPkg::Lock::Timeout=120)

t=$SECONDS
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB) >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail "cpack -G DEB failed"; }
debs=()
for p in "${packages[@]}"; do
  deb=$(ls "$build/${p}_"*.deb 2>/dev/null || true)
  [ -n "$deb" ] || fail "cpack wrote no $p package"
  debs+=("$deb")
done
echo "packages: cpack $((SECONDS - t))s"

t=$SECONDS
if ! lintian --fail-on error "${debs[@]}" >"$tmp/lintian.log" 2>&1; then
  cat "$tmp/lintian.log"
  fail "lintian reports errors"
fi
grep -E '^[EW]:' "$tmp/lintian.log" || true
echo "packages: lintian $((SECONDS - t))s"

# What of ours the file system holds, before and after: names of ours only,
# since other programs may install packages meanwhile.
ours() {
  find "$libdir" /usr/include /usr/share/man /usr/lib/python3/dist-packages /usr/bin \
       /usr/share/doc /usr/lib/cmake /usr/share/pkgconfig 2>/dev/null |
    grep -E 'kelvo|kvfx' | sort || true
}
ours >"$tmp/before"
dpkg -l "${packages[@]}" 2>/dev/null | grep -q '^[ih]i' && fail "a package of ours is installed already"

t=$SECONDS
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "${apt_opts[@]}" "${debs[@]}" >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "apt-get install failed"; }
echo "packages: install $((SECONDS - t))s"

t=$SECONDS
# A fresh login's environment, in a scratch directory; GStreamer's registry
# of its own, so the shared one never holds this plugin.
run=(env -i HOME="$tmp/home" PATH=/usr/bin:/bin GST_REGISTRY="$tmp/registry.bin")
mkdir -p "$tmp/home" "$tmp/work"
cd "$tmp/work"

# Every program of the packages loads the system's libraries.
plugin=$(dpkg -L gstreamer1.0-kvfx | grep '/libgstkvfx\.so$')
[ "$(dirname "$plugin")" = "$(pkg-config --variable=pluginsdir gstreamer-1.0)" ] ||
  fail "the plugin is in $(dirname "$plugin"), not GStreamer's own directory"
for bin in /usr/bin/kvfx "$plugin"; do
  for name in libkelvo_fx.so.0 libkelvo_fx_parallel.so.0; do
    lib=$("${run[@]}" ldd "$bin" | awk -v n="$name" '$1 == n { print $3 }')
    [ -n "$lib" ] && [ "$(realpath "$lib")" = "$(realpath "$libdir/$name")" ] || fail "$bin loads $name from '$lib', not from $libdir"
  done
done

"${run[@]}" kvfx demo demo >/dev/null || fail "kvfx demo failed"
[ -s demo/contact_sheet.png ] || fail "kvfx demo wrote no contact sheet"
if command -v man >/dev/null; then
  page=$("${run[@]}" MANPAGER=cat MANWIDTH=80 man kvfx 2>/dev/null) || fail "man kvfx failed"
else
  page=$(zcat /usr/share/man/man1/kvfx.1.gz)
fi
for want in "EXIT STATUS" "max.*pixels" "band_count" "bands="; do
  grep -q -- "$want" <<<"$page" || fail "kvfx(1) lacks '$want'"
done

libs=$("${run[@]}" pkg-config --libs kelvo_fx_parallel) || fail "pkg-config finds no kelvo_fx_parallel"
[ "$(echo $libs)" = "-lkelvo_fx_parallel" ] || fail "pkg-config --libs kelvo_fx_parallel says '$libs'"
"${run[@]}" cmake -S "$src/tests/install/consumer" -B by-cmake >by-cmake.log 2>&1 &&
  "${run[@]}" cmake --build by-cmake >>by-cmake.log 2>&1 || { cat by-cmake.log; fail "CMake consumer failed to build"; }
grep -q "$libdir/cmake/kelvo_fx" by-cmake/CMakeCache.txt || fail "the CMake consumer did not use $libdir/cmake/kelvo_fx"
"${run[@]}" ./by-cmake/consumer >/dev/null || fail "CMake consumer failed"
# shellcheck disable=SC2046
"${run[@]}" cc -std=c99 -Wall -Werror "$src/tests/install/consumer/consumer.c" -o by-pkg-config \
  $("${run[@]}" pkg-config --cflags --libs kelvo_fx kelvo_fx_parallel) || fail "pkg-config consumer failed to build"
"${run[@]}" ./by-pkg-config >/dev/null || fail "pkg-config consumer failed"

out=$("${run[@]}" gst-inspect-1.0 kvfxblur 2>&1) || { echo "$out"; fail "gst-inspect-1.0 kvfxblur failed"; }
from=$(sed -n 's/^ *Filename  *//p' <<<"$out")
[ -n "$from" ] && [ "$(realpath "$from")" = "$(realpath "$plugin")" ] ||
  fail "kvfxblur comes from '$from', not from $plugin"

(cd / && "${run[@]}" /usr/bin/python3 -c '
import numpy, kelvo_fx
out = kelvo_fx.apply(numpy.full((4, 4, 4), 200, numpy.uint8), ["blur", ("grade", {"contrast": 2})])
assert out.shape == (4, 4, 4)
maps = open("/proc/self/maps").read()
assert "'"$libdir"'/libkelvo_fx.so.0" in maps, kelvo_fx.library_path
assert kelvo_fx.__file__.startswith("/usr/lib/python3/dist-packages/"), kelvo_fx.__file__
') || fail "/usr/bin/python3 cannot use kelvo_fx"
echo "packages: checks $((SECONDS - t))s"

t=$SECONDS
purge || { cat "$tmp/purge.log"; fail "apt-get purge failed"; }
ours >"$tmp/after"
if ! diff -u "$tmp/before" "$tmp/after"; then
  fail "apt-get purge left the files above behind"
fi
echo "packages: purge $((SECONDS - t))s"
echo "packages: ok"
