#!/bin/sh
# Runs every libFuzzer target for SECONDS each (default 20), starting from the
# seeds in fuzz/corpus/<target>; what the fuzzers learn stays in build/fuzz/work.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# A finding stops the run with the sanitizer's report and leaves the input in
# build/fuzz/work/<target>-crash-*: add it to fuzz/corpus/<target>/ once fixed.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-20}
[ $# -gt 0 ] && shift
scripts/install-deps.sh cmake make clang libclang-rt-14-dev libssl-dev nlohmann-json3-dev >/dev/null
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
targets=${*:-$(cd fuzz/corpus && ls)}
for target in $targets; do
  work=build/fuzz/work/$target
  mkdir -p "$work"
  echo "fuzz: $target for ${seconds}s"
  build/fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="build/fuzz/work/$target-" -print_final_stats=1 "$work" "fuzz/corpus/$target" 2>&1 |
    grep -E '^(Done|stat::number_of_executed_units)|ERROR|SUMMARY|==[0-9]+==' || true
  # libFuzzer's exit status is lost in the pipe; an artifact is what tells.
  if ls "build/fuzz/work/$target-"* >/dev/null 2>&1; then
    echo "fuzz: $target found a failing input: $(ls "build/fuzz/work/$target-"*)" >&2
    exit 1
  fi
done
