#!/usr/bin/env bash
# Installs a build into a scratch prefix and loads the installed plugin from
# there: it must sit in <libdir>/gstreamer-1.0 and find the installed
# libkelvo_fx by itself, with no path into the build tree.
# usage: install_plugin.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "install_plugin: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
plugin=$(find "$prefix" -name libgstkvfx.so -print -quit)
[ -n "$plugin" ] || fail "libgstkvfx.so not installed"
plugin_dir=$(dirname "$plugin")
[ "$(basename "$plugin_dir")" = gstreamer-1.0 ] || fail "installed in $plugin_dir, not a gstreamer-1.0 directory"
[ -e "$(dirname "$plugin_dir")/libkelvo_fx.so" ] || fail "libkelvo_fx.so is not in the directory above the plugin"
if readelf -d "$plugin" | grep -E "R(UN)?PATH" | grep -qF "$build"; then
  fail "the installed plugin's run path points into the build tree"
fi

out=$(env -u LD_LIBRARY_PATH GST_PLUGIN_PATH="$plugin_dir" GST_PLUGIN_SYSTEM_PATH_1_0="$tmp/none" \
        GST_REGISTRY="$tmp/registry.bin" \
        gst-inspect-1.0 kvfxbloom 2>&1) || { echo "$out"; fail "gst-inspect-1.0 cannot load the installed plugin"; }
grep -q "threshold" <<<"$out" || { echo "$out"; fail "kvfxbloom lists no threshold property"; }
grep -qF "$plugin" <<<"$out" || { echo "$out"; fail "kvfxbloom did not come from the installed plugin"; }
echo "install_plugin: ok ($plugin)"
