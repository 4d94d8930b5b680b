#!/usr/bin/env bash
# Runs the file-to-file pipeline that README shows, as it stands there: makes a
# short WebM input, runs the first code block that reads input.webm from the
# first of the given files that has one, and checks that output.webm decodes
# to as many frames.
# usage: readme_pipeline.sh PLUGIN_DIR README.md...
set -euo pipefail
plugin_dir=$(cd "$1" && pwd)
shift
frames=24
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "readme_pipeline: $*" >&2; exit 1; }

export GST_PLUGIN_PATH=$plugin_dir
# A registry of its own, kept beside the plugin, so later runs do not rescan.
export GST_REGISTRY=$plugin_dir/readme-registry.bin

pipeline=""
for readme in "$@"; do
  [ -f "$readme" ] || continue
  pipeline=$(awk '
    /^```/ { if (inside) { if (found) { printf "%s", block; exit } inside = 0 }
             else { inside = 1; block = ""; found = 0 }
             next }
    inside { block = block $0 "\n"; if ($0 ~ /location=input\.webm/) found = 1 }
  ' "$readme")
  [ -n "$pipeline" ] && break
done
[ -n "$pipeline" ] || fail "no pipeline reading input.webm in $*"

cd "$tmp"
gst-launch-1.0 -q videotestsrc num-buffers=$frames pattern=ball \
  ! video/x-raw,width=320,height=240,framerate=30/1 \
  ! vp8enc deadline=1 ! webmmux ! filesink location=input.webm >/dev/null ||
  fail "cannot make input.webm (gstreamer1.0-plugins-good installed?)"

echo "readme_pipeline: running the block of $readme"
printf '%s\n' "$pipeline"
bash -euo pipefail -c "$pipeline" >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail "the pipeline failed"; }
grep -q "ERROR" "$tmp/log" && { cat "$tmp/log"; fail "the pipeline reported an error"; }
[ -s output.webm ] || fail "no output.webm"

# Every frame made it through both effects and the encoder.
got=$(gst-launch-1.0 -v filesrc location=output.webm ! matroskademux ! vp8dec \
        ! fakesink silent=false 2>&1 | grep -c "last-message = chain " || true)
[ "$got" = "$frames" ] || fail "output.webm has $got frames, not $frames"
echo "readme_pipeline: ok ($got frames)"
