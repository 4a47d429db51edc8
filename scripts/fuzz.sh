#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS (default 600).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-600}
targets=${FUZZ_TARGETS:-codec frame plugin}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DLUMEWELL_FUZZ=ON -DLUMEWELL_TESTS=OFF \
  -DLUMEWELL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target $(for t in $targets; do printf '%s_fuzzer ' "$t"; done)
for t in $targets; do
  mkdir -p "build-fuzz/corpus-$t"
  "build-fuzz/bin/${t}_fuzzer" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    "build-fuzz/corpus-$t" 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' || true
done
