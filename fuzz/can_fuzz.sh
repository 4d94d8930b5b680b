#!/usr/bin/env bash
# Sourced by the fuzz scripts: can_fuzz NAME CXX succeeds when CXX compiles
# and links a libFuzzer target with the sanitizers, and otherwise prints why
# NAME is skipped.
can_fuzz() {
  local name=$1 cxx=$2 dir
  if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "$name: SKIPPED ($cxx not found)"
    return 1
  fi
  dir=$(mktemp -d)
  printf '#include <cstdint>\n#include <cstddef>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n' \
    > "$dir/probe.cpp"
  if ! "$cxx" -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" >/dev/null 2>&1; then
    rm -rf "$dir"
    echo "$name: SKIPPED ($cxx cannot link -fsanitize=fuzzer,address,undefined)"
    return 1
  fi
  rm -rf "$dir"
}
