#!/usr/bin/env bash
# Frame rate of every kvfx element on 1920 x 1080 BGRx in one streaming
# thread (no queue), against the same pipeline without the element:
#   videotestsrc num-buffers=N ! video/x-raw,format=BGRx,width=1920,height=1080
#     ! kvfx<name> ! fakesink sync=false
# Prints a Markdown table. Frame rates come from the process's CPU time (user
# + system, less that of a one-frame run, the least of REPEATS runs), which
# other work on a shared machine stretches far less than the wall clock; the
# wall-clock rate gst-launch-1.0 reports from PLAYING to EOS (best run) is the
# last column.
# usage: bash gst/bench.sh [BUILD_DIR] [FRAMES] [REPEATS]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
frames=${2:-200}
repeats=${3:-3}
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

# Rounds of every pipeline in turn, so a change in the machine's load falls on
# all of them alike; each keeps its least CPU and wall time.
elements=(blur bloom shadow tonemap grade vignette grain scanlines chromatic glitch)
declare -A cpu wall
for ((round = 0; round < repeats; ++round)); do
  for name in startup base "${elements[@]}"; do
    case $name in
      startup) result=$(measure 1 "") ;;
      base) result=$(measure "$frames" "") ;;
      *) result=$(measure "$frames" "kvfx$name") ;;
    esac
    read -r c w <<<"$result"
    if [ -z "${cpu[$name]:-}" ] || awk -v a="$c" -v b="${cpu[$name]}" 'BEGIN { exit !(a < b) }'; then
      cpu[$name]=$c
    fi
    if [ -z "${wall[$name]:-}" ] || awk -v a="$w" -v b="${wall[$name]}" 'BEGIN { exit !(a < b) }'; then
      wall[$name]=$w
    fi
  done
done

echo "1920 x 1080 BGRx, $frames frames, best of $repeats, one streaming thread; $(nproc) cores, $(uname -m)"
echo
echo "| pipeline | fps | ms per frame | ms added by the element | fps vs without | wall-clock fps |"
echo "|---|---:|---:|---:|---:|---:|"
row() {  # label name
  awk -v n="$1" -v c="${cpu[$2]}" -v w="${wall[$2]}" -v b="${cpu[base]}" -v s="${cpu[startup]}" \
      -v f="$frames" 'BEGIN {
    t = (c - s) / (f - 1); t0 = (b - s) / (f - 1)
    added = n == "without an element" ? "-" : sprintf("%.2f", 1000 * (t - t0))
    printf "| %s | %.1f | %.2f | %s | %.2f | %.1f |\n", n, 1 / t, 1000 * t, added, t0 / t, f / w }'
}
row "without an element" base
for e in "${elements[@]}"; do row "kvfx$e" "$e"; done
