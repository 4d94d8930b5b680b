#!/usr/bin/env bash
# Frame rate of every kvfx element on 1920 x 1080 BGRx in one streaming
# thread (no queue), against the same pipeline without the element:
#   videotestsrc num-buffers=N ! video/x-raw,format=BGRx,width=1920,height=1080
#     ! kvfx<name> ! fakesink sync=false
# Prints a Markdown table. Frame rates come from the process's CPU time (user
# + system, less that of a one-frame run), which other work on a shared
# machine does not stretch; the wall-clock rate gst-launch-1.0 reports from
# PLAYING to EOS is the last column.
# usage: bash gst/bench.sh [BUILD_DIR] [FRAMES]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
frames=${2:-100}
[ -f "$build/gst/libgstkvfx.so" ] || { echo "bench: no $build/gst/libgstkvfx.so" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench: needs /usr/bin/time (Debian: time)" >&2; exit 1; }
export GST_PLUGIN_PATH=$build/gst
export GST_REGISTRY=$build/gst/bench-registry.bin
caps="video/x-raw,format=BGRx,width=1920,height=1080,framerate=30/1"
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT

# "cpu_seconds wall_seconds" of the pipeline with element $2 (or none), $1 frames.
measure() {
  local element=()
  [ -n "$2" ] && element=("!" "$2")
  local wall
  wall=$(/usr/bin/time -o "$tmp" -f "%U %S" gst-launch-1.0 videotestsrc num-buffers="$1" \
           ! "$caps" "${element[@]}" ! fakesink sync=false |
         awk -F'[ :]' '/^Execution ended after/ { print $4 * 3600 + $5 * 60 + $6 }')
  awk -v w="$wall" '{ print $1 + $2, w }' "$tmp"
}

read -r startup _ < <(measure 1 "")
read -r base base_wall < <(measure "$frames" "")
echo "1920 x 1080 BGRx, $frames frames, one streaming thread; $(nproc) cores, $(uname -m)"
echo
echo "| pipeline | fps | ms per frame | ms added by the element | fps vs without | wall-clock fps |"
echo "|---|---:|---:|---:|---:|---:|"
row() {  # name cpu wall
  awk -v n="$1" -v c="$2" -v w="$3" -v b="$base" -v s="$startup" -v f="$frames" 'BEGIN {
    t = (c - s) / (f - 1); t0 = (b - s) / (f - 1)
    added = n == "without an element" ? "-" : sprintf("%.2f", 1000 * (t - t0))
    printf "| %s | %.1f | %.2f | %s | %.2f | %.1f |\n", n, 1 / t, 1000 * t, added, t0 / t, f / w }'
}
row "without an element" "$base" "$base_wall"
for e in blur bloom shadow tonemap grade vignette grain scanlines chromatic glitch; do
  read -r cpu wall < <(measure "$frames" "kvfx$e")
  row "kvfx$e" "$cpu" "$wall"
done
