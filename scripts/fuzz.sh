#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) in build/fuzz and
# runs each one for a given time on its seed corpus and on what earlier runs
# found.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]   default: 600 s per target, all targets
#   scripts/fuzz.sh --runs N [TARGET...]    N executions per target, however long
#   scripts/fuzz.sh --ci                    8 s per target, the test command's budget
#
# New interesting inputs collect in build/fuzz/corpus/<target>; an input that
# breaks an invariant or crashes is written to build/fuzz/findings/<target>/
# and the script fails. Copy such an input into fuzz/corpus/<target>/ once
# the fault is fixed, so that every later run replays it.
# Prints the number of executions of every target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=600
runs=
if [ "${1:-}" = "--runs" ] && [[ "${2:-}" =~ ^[0-9]+$ ]]; then
  runs=$2
  shift 2
elif [ "${1:-}" = "--ci" ]; then
  seconds=8
  shift
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi

scripts/setup.sh fuzz
tree=build/fuzz
# The fuzz targets and what they link; the tests and examples are not needed.
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DKTREMOTE_BUILD_FUZZ=ON \
  -DKTREMOTE_BUILD_TESTS=OFF -DKTREMOTE_BUILD_EXAMPLES=OFF >"$tree.configure.log" 2>&1 \
  || { cat "$tree.configure.log"; exit 1; }
cmake --build "$tree" --target ktremote_fuzz

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets <"$tree/fuzz/targets.txt"
fi

status=0
summary=()
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  corpus=$tree/corpus/$name
  findings=$tree/findings/$name
  mkdir -p "$corpus" "$findings"
  if [ -n "$runs" ]; then
    budget=(-runs="$runs")
    echo "==== fuzz $target: $runs executions"
  else
    budget=(-max_total_time="$seconds")
    echo "==== fuzz $target: $seconds s"
  fi
  options=("${budget[@]}" -print_final_stats=1 -artifact_prefix="$findings/" -timeout=10 -rss_limit_mb=2048)
  [ -f "fuzz/$name.dict" ] && options+=(-dict="fuzz/$name.dict")
  # fuzz/<target>.options: extra libFuzzer flags, one per line ('#' comments).
  if [ -f "fuzz/$name.options" ]; then
    mapfile -t extra < <(sed -e 's/#.*//' -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' -e '/^$/d' \
                               "fuzz/$name.options")
    options+=("${extra[@]}")
  fi
  log=$tree/$name.log
  if "$tree/fuzz/$target" "${options[@]}" "$corpus" "fuzz/corpus/$name" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    grep -E "invariant broken|ERROR:|runtime error|SUMMARY" "$log" | head -20 || true
    echo "(whole log: $log; input in $findings/)"
  fi
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  elapsed=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/in \1 s/p' "$log" | tail -1)
  summary+=("$(printf '%-24s %12s executions %16s  %s' "$target" "${executed:-?}" "${elapsed:-}" "$result")")
done

if [ -n "$runs" ]; then
  budget_text="$runs executions"
else
  budget_text="$seconds s"
fi
echo "==== fuzz summary ($budget_text per target)"
printf '%s\n' "${summary[@]}"
exit $status
