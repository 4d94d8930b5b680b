#!/usr/bin/env bash
# Builds kvfx_fuzz (kvfx's decode, effect chain and encode, in memory) into
# build-kvfx-fuzz/, replays the committed corpus as a regression test, then
# fuzzes for what is left of the time budget (seconds, default 60, build
# included) into a throw-away corpus.
# Exits non-zero on any finding; exits 0 with a message when clang,
# libFuzzer, libpng or libjpeg is not available.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/../../.."
budget=${1:-60}
start=$(date +%s)
out=build-kvfx-fuzz
mkdir -p "$out/obj"

CXX=${FUZZ_CXX:-clang++}
. fuzz/can_fuzz.sh
can_fuzz "kvfx fuzz" "$CXX" || exit 0
for header in png.h jpeglib.h; do
  if ! echo "#include <cstdio>
#include <$header>" | "$CXX" -x c++ -fsyntax-only - 2>/dev/null; then
    echo "kvfx fuzz: SKIPPED ($header not found)"
    exit 0
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The library and the catalogue under the sanitizers; kvfx's own sources
# also with coverage, which is what the fuzzer steers by.
san=(-fsanitize=address,undefined -fno-sanitize-recover=all)
common=(-std=c++17 -O1 -gline-tables-only -ffp-contract=off -pthread -DKV_FX_BUILDING -DKVFX_HAVE_JPEG
        -Iinclude -Isrc -Icatalogue -Itools/kvfx)
jobs=()
for f in src/*.cpp src/*/*.cpp catalogue/effect_catalogue.cpp catalogue/straight_alpha.cpp; do
  jobs+=("$f" "${san[*]}")
done
for f in tools/kvfx/image_io.cpp tools/kvfx/effects.cpp tools/kvfx/fuzz/kvfx_fuzz.cpp; do
  jobs+=("$f" "${san[*]} -fsanitize=fuzzer-no-link")
done
# Rebuilt whole when any source or header is newer than the binary (two
# compilers at a time: the machine is shared).
if [ -x "$out/kvfx_fuzz" ] && [ -z "$(find include src catalogue tools/kvfx -newer "$out/kvfx_fuzz" \
     \( -name '*.cpp' -o -name '*.h' \) -print -quit)" ]; then
  echo "kvfx fuzz: $out/kvfx_fuzz is up to date"
else
  echo "kvfx fuzz: building $out/kvfx_fuzz"
  rm -f "$out"/obj/*.o
  printf '%s\0' "${jobs[@]}" | CXX="$CXX" OUT="$out/obj" COMMON="${common[*]}" \
    xargs -0 -n2 -P2 sh -c 'o="$OUT/$(echo "$0" | tr / _).o"; $CXX $COMMON $1 -c "$0" -o "$o"'
  "$CXX" -fsanitize=fuzzer,address,undefined -pthread "$out"/obj/*.o -lpng -ljpeg -o "$out/kvfx_fuzz"
fi

artifacts="$out/artifacts/"
mkdir -p "$artifacts"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
options=(-artifact_prefix="$artifacts" -timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=256
         -max_len=32768 -print_final_stats=0)

corpus=tools/kvfx/fuzz/corpus
echo "kvfx fuzz: replaying $(ls "$corpus" | wc -l) seed inputs"
if ! ./"$out"/kvfx_fuzz "${options[@]}" "$corpus"/* > "$out/replay.log" 2>&1; then
  tail -40 "$out/replay.log"
  echo "kvfx fuzz: FAILED replaying the seed corpus (log: $out/replay.log)"
  exit 1
fi

left=$(( budget - ($(date +%s) - start) ))
(( left < 10 )) && left=10
echo "kvfx fuzz: fuzzing for ${left}s (new inputs go to a temporary corpus)"
if ! ./"$out"/kvfx_fuzz "${options[@]}" -max_total_time="$left" "$work" "$corpus" \
    > "$out/fuzz.log" 2>&1; then
  grep -m5 "kvfx_fuzz:\|ERROR\|runtime error" "$out/fuzz.log" || true
  tail -20 "$out/fuzz.log"
  echo "kvfx fuzz: FAILED (crashing input saved under $artifacts; log: $out/fuzz.log)"
  exit 1
fi
runs=$(grep -o "Done [0-9]* runs" "$out/fuzz.log" | tail -1 || true)
echo "kvfx fuzz: OK (${runs:-no run count}, $(( $(date +%s) - start ))s in all)"
