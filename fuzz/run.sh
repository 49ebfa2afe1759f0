#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, address and undefined-behaviour sanitizers) and runs
# each for FUZZ_SECONDS (60) seconds, starting from the seed corpus in fuzz/corpus/<target>.
# Inputs the fuzzer finds go to build/fuzz/corpus/<target>, never into the repository; a crash
# leaves its input in build/fuzz/crashes and fails the script. Prints how many inputs each ran.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
cmake --preset fuzz ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER}
cmake --build --preset fuzz

mkdir -p build/fuzz/crashes
status=0
total=0
for target in hive import number; do
  work=build/fuzz/corpus/$target
  mkdir -p "$work"
  log=build/fuzz/$target.log
  # -timeout: an input that takes seconds is a finding too (a parser gone quadratic).
  if ! "build/fuzz/fuzz/${target}_fuzzer" "$work" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="build/fuzz/crashes/${target}-" -print_final_stats=1 >"$log" 2>&1; then
    echo "${target}_fuzzer FAILED; the input is in build/fuzz/crashes:" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" >&2 || tail -20 "$log" >&2
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "${target}_fuzzer: ${runs:-0} inputs in ${seconds} s"
  total=$((total + ${runs:-0}))
done
echo "fuzz: $total inputs in all"
exit $status
