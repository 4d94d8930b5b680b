#!/usr/bin/env bash
# Builds the libFuzzer target into build-fuzz/, replays the committed corpus
# and seeds made from the effect catalogue as a regression test, then fuzzes for what is left of the time budget
# (seconds, default 60, build included) into a throw-away corpus.
# Exits non-zero on any finding; exits 0 with a message when clang or libFuzzer
# is not available.
set -euo pipefail
cd "$(dirname "$0")/.."
budget=${1:-60}
start=$(date +%s)
out=build-fuzz
mkdir -p "$out"

CXX=${FUZZ_CXX:-clang++}
. fuzz/can_fuzz.sh
can_fuzz fuzz "$CXX" || exit 0

echo "fuzz: building $out/fx_fuzz"
lib_sources=(src/*.cpp src/*/*.cpp catalogue/effect_catalogue.cpp)
"$CXX" -std=c++17 -O1 -g -ffp-contract=off -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=all -pthread -DKV_FX_BUILDING -Iinclude -Isrc -Icatalogue -Itests \
  fuzz/fx_fuzz.cpp tests/support/reference.cpp "${lib_sources[@]}" -o "$out/fx_fuzz"
# Seeds for every catalogued effect, from the catalogue itself.
"$CXX" -std=c++17 -O1 -pthread -DKV_FX_BUILDING -Iinclude -Isrc -Icatalogue \
  catalogue/emit_catalogue.cpp "${lib_sources[@]}" -o "$out/emit_catalogue"
"$out/emit_catalogue" "$out/catalogue.json"
rm -rf "$out/seeds"
python3 fuzz/make_corpus.py "$out/catalogue.json" "$out/seeds"

artifacts="$out/artifacts/"
mkdir -p "$artifacts"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
common=(-artifact_prefix="$artifacts" -timeout=30 -rss_limit_mb=4096 -max_len=512
        -print_final_stats=0)

echo "fuzz: replaying $(ls fuzz/corpus "$out/seeds" | wc -l) seed inputs"
if ! ./"$out"/fx_fuzz "${common[@]}" fuzz/corpus/* "$out"/seeds/* > "$out/replay.log" 2>&1; then
  tail -40 "$out/replay.log"
  echo "fuzz: FAILED replaying the seed corpus (log: $out/replay.log)"
  exit 1
fi

left=$(( budget - ($(date +%s) - start) ))
(( left < 10 )) && left=10
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "fuzz: fuzzing for ${left}s (new inputs go to a temporary corpus)"
if ! ./"$out"/fx_fuzz "${common[@]}" -max_total_time="$left" "$work" fuzz/corpus "$out/seeds" \
    > "$out/fuzz.log" 2>&1; then
  grep -m5 "fx_fuzz:\|ERROR\|runtime error" "$out/fuzz.log" || true
  tail -20 "$out/fuzz.log"
  echo "fuzz: FAILED (crashing input saved under $artifacts; log: $out/fuzz.log)"
  exit 1
fi
runs=$(grep -o "Done [0-9]* runs" "$out/fuzz.log" | tail -1 || true)
echo "fuzz: OK (${runs:-no run count}, $(( $(date +%s) - start ))s in all)"
