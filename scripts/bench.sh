#!/usr/bin/env bash
# Builds the library and the micro benchmarks in Release and runs them.
# Extra arguments go to the benchmark binary, e.g.
#   scripts/bench.sh --benchmark_filter=Decode
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh bench

tree=build/bench
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTREMOTE_BUILD_BENCH=ON \
  -DKTREMOTE_BUILD_TESTS=OFF -DKTREMOTE_BUILD_TOOLS=OFF -DKTREMOTE_BUILD_EXAMPLES=OFF >"$tree.configure.log" 2>&1 \
  || { cat "$tree.configure.log"; exit 1; }
cmake --build "$tree" --target ktremote_bench
# The listener announces each data connection on stdout; keep the table clean.
"$tree/bench/ktremote_bench" --benchmark_counters_tabular=true "$@" | grep -v '^Connection from: '
