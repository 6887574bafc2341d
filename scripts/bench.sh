#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the library, ktsim and the benchmarks in Release, runs the micro
# benchmarks (Google Benchmark) and the end-to-end harness, prints their
# tables and writes them into docs/performance.md (between its
# "figures:begin" and "figures:end" lines).
#
#   scripts/bench.sh                               everything, document updated
#   scripts/bench.sh --no-doc                      everything, document left alone
#   scripts/bench.sh --benchmark_filter=Decode     only these micro benchmarks
#                                                  (arguments go to ktremote_bench)
#
# KTREMOTE_BENCH_SECONDS sets the length of each end-to-end throughput
# window (default 3).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh bench

tree=build/bench
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTREMOTE_BUILD_BENCH=ON \
  -DKTREMOTE_BUILD_TESTS=OFF -DKTREMOTE_BUILD_TOOLS=ON -DKTREMOTE_BUILD_EXAMPLES=OFF >"$tree.configure.log" 2>&1 \
  || { cat "$tree.configure.log"; exit 1; }
# Everything: the Python read path loads the shared library of this tree.
cmake --build "$tree"

write_doc=1
if [ $# -gt 0 ] && [ "$1" = --no-doc ]; then
  write_doc=0
  shift
fi
# The listener announces each data connection on stdout; keep the tables clean.
if [ $# -gt 0 ]; then
  "$tree/bench/ktremote_bench" --benchmark_counters_tabular=true "$@" | grep -v '^Connection from: '
  exit "${PIPESTATUS[0]}"
fi

load_before=$(uptime)
"$tree/bench/ktremote_bench" --benchmark_counters_tabular=true \
  --benchmark_out="$tree/micro.json" --benchmark_out_format=json | grep -v '^Connection from: '
"$tree/bench/e2e/ktremote_e2e_bench" --seconds "${KTREMOTE_BENCH_SECONDS:-3}" --markdown "$tree/e2e.md" \
  --headline "$tree/headline.md" | grep -v '^Connection from: ' | tee "$tree/e2e.out"
# The Python package's read path beside the C host, in the same tree.
python_doc=()
[ "$write_doc" = 1 ] && python_doc=(--doc docs/performance.md)
/usr/bin/python3 bench/python_read.py --tree "$tree" --seconds "${KTREMOTE_BENCH_SECONDS:-3}" --headline "$tree/headline.md" \
  "${python_doc[@]}" | tee "$tree/python.out"
load_after=$(uptime)

# Every figure with a target, beside its anchor of the same run: the
# harness's summary and each sentence that states a target.
echo
echo "bench.sh: ratios against their targets (load before: $load_before)"
grep -e '(target' "$tree/e2e.out" | sed 's/\*\*//g' || true
grep -e '^Python read path' "$tree/python.out" || true

if [ "$write_doc" = 1 ]; then
  python3 scripts/bench_report.py docs/performance.md "$tree/micro.json" "$tree/e2e.md" "$load_before" "$load_after" \
    "$tree/headline.md"
  echo "bench.sh: figures written to docs/performance.md"
fi
