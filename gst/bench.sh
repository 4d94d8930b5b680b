#!/usr/bin/env bash
# Frame rate of every kvfx element on 1920 x 1080 BGRx in one streaming
# thread (no queue), against the same pipeline without the element:
#   videotestsrc num-buffers=N ! video/x-raw,format=BGRx,width=1920,height=1080
#     ! kvfx<name> n-threads=T ! fakesink sync=false
# Prints a Markdown table, a row per element and thread count. The CPU
# columns come from the process's CPU time (user + system, less that of a
# one-frame run, the least of REPEATS runs), which other work on a shared
# machine stretches far less than the wall clock; with more than one thread
# the element's cost to the stream is its wall-clock time, taken from what
# gst-launch-1.0 reports from PLAYING to EOS (best run).
# usage: bash gst/bench.sh [BUILD_DIR] [FRAMES] [REPEATS] [THREAD_COUNTS]
#   THREAD_COUNTS: the n-threads values to run, e.g. "1 2" (default "1")
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
frames=${2:-200}
repeats=${3:-3}
read -r -a thread_counts <<<"${4:-1}"
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
  # "kvfx<name> n-threads=T": one word each for gst-launch-1.0.
  [ -n "$2" ] && read -r -a element <<<"! $2"
  local wall
  wall=$(/usr/bin/time -o "$tmp" -f "%U %S" gst-launch-1.0 videotestsrc num-buffers="$1" \
           ! "$caps" "${element[@]}" ! fakesink sync=false |
         awk -F'[ :]' '/^Execution ended after/ { print $4 * 3600 + $5 * 60 + $6 }')
  awk -v w="$wall" '{ print $1 + $2, w }' "$tmp"
}

# Rounds of every pipeline in turn, so a change in the machine's load falls on
# all of them alike; each keeps its least CPU and wall time.
elements=(blur bloom shadow tonemap grade vignette grain scanlines chromatic glitch)
runs=(startup base)
for e in "${elements[@]}"; do
  for t in "${thread_counts[@]}"; do runs+=("$e@$t"); done
done
declare -A cpu wall
for ((round = 0; round < repeats; ++round)); do
  for name in "${runs[@]}"; do
    case $name in
      startup) result=$(measure 1 "") ;;
      base) result=$(measure "$frames" "") ;;
      *) result=$(measure "$frames" "kvfx${name%@*} n-threads=${name#*@}") ;;
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
echo "| pipeline | n-threads | CPU ms per frame | CPU ms added | fps vs without (CPU) | wall-clock fps | wall ms added |"
echo "|---|---:|---:|---:|---:|---:|---:|"
row() {  # label threads name
  awk -v n="$1" -v nt="$2" -v c="${cpu[$3]}" -v w="${wall[$3]}" -v b="${cpu[base]}" \
      -v wb="${wall[base]}" -v s="${cpu[startup]}" -v f="$frames" 'BEGIN {
    t = (c - s) / (f - 1); t0 = (b - s) / (f - 1)
    base = n == "without an element"
    added = base ? "-" : sprintf("%.2f", 1000 * (t - t0))
    wadded = base ? "-" : sprintf("%.2f", 1000 * (w - wb) / f)
    printf "| %s | %s | %.2f | %s | %.2f | %.1f | %s |\n", n, base ? "-" : nt, 1000 * t, added,
           t0 / t, f / w, wadded }'
}
row "without an element" - base
for e in "${elements[@]}"; do
  for t in "${thread_counts[@]}"; do row "kvfx$e" "$t" "$e@$t"; done
done
