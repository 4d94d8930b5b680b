#!/usr/bin/env bash
# Installs a build as a user and a packager would, and loads the installed
# plugin, which must find the installed libkelvo_fx by itself, with no path
# into the build tree:
#   --prefix ~/.local, with a scratch HOME: into the user's plugin directory,
#     where gst-inspect-1.0 finds it with no variable set;
#   --prefix /usr (staged through DESTDIR): into GStreamer's own directory;
#   any other prefix: into <prefix>/<libdir>/gstreamer-1.0; the install says
#     to set GST_PLUGIN_PATH, and with it the plugin loads.
# usage: install_plugin.sh BUILD_DIR GSTREAMER_PLUGIN_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
system_dir=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "install_plugin: $*" >&2; exit 1; }

# The environment a fresh login has: HOME and PATH, and a sanitizer build's
# runtime, which the tools need to load its plugin at all.
clean_env=(env -i PATH="$PATH")
for keep in LD_PRELOAD ASAN_OPTIONS GST_REGISTRY_FORK; do
  [ -n "${!keep:-}" ] && clean_env+=("$keep=${!keep}")
done

# Where the plugin went: its run path keeps to the install, and it finds
# the libraries it names beside the installed ones.
check_plugin() {  # PLUGIN LIBDIR
  local plugin=$1
  [ -f "$plugin" ] || fail "libgstkvfx.so not installed at $plugin"
  readelf -d "$plugin" | grep -E "R(UN)?PATH" | grep -qF "$build" &&
    fail "the run path of $plugin points into the build tree"
  local name lib
  for name in libkelvo_fx.so.0 libkelvo_fx_parallel.so.0; do
    lib=$(env -u LD_LIBRARY_PATH ldd "$plugin" | awk -v n="$name" '$1 == n { print $3 }')
    [ -n "$lib" ] && [ "$(realpath "$(dirname "$lib")")" = "$(realpath "$2")" ] ||
      fail "$plugin loads $name from '$lib', not from $2"
  done
}

inspect() {  # PLUGIN COMMAND...: kvfxblur, run under COMMAND, comes from PLUGIN
  local plugin=$1
  shift
  local out
  out=$("$@" gst-inspect-1.0 kvfxblur 2>&1) || { echo "$out"; fail "gst-inspect-1.0 kvfxblur failed"; }
  grep -q "sigma" <<<"$out" || { echo "$out"; fail "kvfxblur lists no sigma property"; }
  grep -qF "$plugin" <<<"$out" || { echo "$out"; fail "kvfxblur did not come from $plugin"; }
}

# 1. A user's own install.
home=$tmp/home
mkdir -p "$home"
HOME=$home cmake --install "$build" --prefix "$home/.local" >"$tmp/user.log"
plugin=$home/.local/share/gstreamer-1.0/plugins/libgstkvfx.so
check_plugin "$plugin" "$home/.local/lib"
grep -q "GST_PLUGIN_PATH" "$tmp/user.log" && { cat "$tmp/user.log"; fail "a ~/.local install asks for GST_PLUGIN_PATH"; }
inspect "$plugin" "${clean_env[@]}" HOME="$home"

# 2. A package for /usr.
DESTDIR=$tmp/stage cmake --install "$build" --prefix /usr >/dev/null
[ -f "$tmp/stage$system_dir/libgstkvfx.so" ] || fail "--prefix /usr did not install into $system_dir"

# 3. Anywhere else, with the variable the install names.
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/other.log"
plugin=$(find "$prefix" -name libgstkvfx.so -print -quit)
[ -n "$plugin" ] || fail "libgstkvfx.so not installed under $prefix"
check_plugin "$plugin" "$(dirname "$(dirname "$plugin")")"
grep -qF "GST_PLUGIN_PATH=$(dirname "$plugin")" "$tmp/other.log" ||
  { cat "$tmp/other.log"; fail "the install does not say to set GST_PLUGIN_PATH=$(dirname "$plugin")"; }
inspect "$plugin" "${clean_env[@]}" HOME="$home" GST_PLUGIN_PATH="$(dirname "$plugin")" \
  GST_REGISTRY="$tmp/registry.bin"
echo "install_plugin: ok"
