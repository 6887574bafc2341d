#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs every test: the 64-bit and 32-bit trees, then the whole
# suite under ASan+UBSan and under TSan; beside them, both Windows DLLs with
# their suites under Wine, and every fuzz target briefly. Installs what is
# missing when run as root on a fresh Debian 12 machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# step <name> <command...>: runs one step and says how long it took, so that
# a slow run shows where its time went.
started=$SECONDS
step() {
  local name=$1 at=$SECONDS
  shift
  "$@"
  echo "==== $name took $((SECONDS - at)) s ($((SECONDS - started)) s in all)"
}

step setup scripts/setup.sh windows python packaging fuzz matlab

# Formatting first: it is cheap.
step format scripts/check-format.sh

jobs=$(nproc)
# Many tests wait on the network (time-outs, a dead link, a silent peer)
# rather than compute: run twice as many at once as there are cores.
test_jobs=$((jobs * 2))

# build_only <tree> <cmake options...>
build_only() {
  local tree=$1; shift
  echo "==== $tree"
  cmake -S . -B "build/$tree" -G Ninja "$@" >"build/$tree.configure.log" 2>&1 \
    || { cat "build/$tree.configure.log"; return 1; }
  cmake --build "build/$tree" -j "$jobs"
}

# build_and_test <tree> <cmake options...>
build_and_test() {
  local tree=$1
  step "$tree build" build_only "$@"
  step "$tree tests" ctest --test-dir "build/$tree" -j "$test_jobs" --output-on-failure --timeout 300 --no-tests=error
}

# The 64-bit tree compiles every source on its own, as developers build,
# so that a source that does not compile alone shows there. The other trees
# are unity builds, which take about half the compile time, and the
# end-to-end benchmark is built and run (briefly) in the 64-bit tree only.
other_trees=(-DCMAKE_UNITY_BUILD=ON -DKTREMOTE_BUILD_E2E_BENCH=OFF)

mkdir -p build
# The Windows builds with their runs under Wine, and the fuzz targets (each
# for a short fixed time on its corpus; long runs: scripts/fuzz.sh SECONDS),
# need nothing of the Linux trees: they run beside them, on the CPU time that
# the Linux tests leave while they wait on sockets, processes and time-outs.
# They run in a process group of their own, so that a run that stops early
# stops them too, and their output is printed at the end.
beside_log=build/windows-and-fuzz.log
setsid bash -c 'scripts/test-windows.sh && scripts/fuzz.sh --ci
  status=$?; echo "==== Windows and fuzz finished after $SECONDS s"; exit $status' >"$beside_log" 2>&1 &
beside=$!
trap '[ -z "$beside" ] || kill -TERM -- "-$beside" 2>/dev/null || true' EXIT
echo "==== Windows and fuzz run beside the Linux trees (output: $beside_log)"
build_and_test linux64 -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The installed package as users get it: examples built against it, Python
# tests, Debian package.
step packaging tests/packaging/run.sh install build/linux64
# The MATLAB/Octave toolbox, built and tested under Octave against ktsim.
step octave matlab/tests/run.sh build/linux64
# The 32-bit tree as it ships, without debug information: it is the largest
# share of its compile time, and a failure there is read from the test output.
# Where the kernel cannot run 32-bit programs, setup.sh has them run through
# qemu-i386; where that could not be set up either, the tree is built and its
# tests are skipped.
# shellcheck source=run32.sh
. scripts/run32.sh
scripts/run32.sh --self-test
if run32_mode; then
  echo "==== 32-bit programs run here: $run32"
  # Under the emulator, the tests do not judge resident memory: the
  # emulator's own bookkeeping grows with every mapping a program makes.
  KTREMOTE_TESTS_EMULATED=$([ "$run32" = emulated ] && echo 1 || echo 0) \
    build_and_test linux32 -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 "${other_trees[@]}"
else
  step "linux32 build" build_only linux32 -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 "${other_trees[@]}"
  echo "==== linux32: tests SKIPPED: $run32 (scripts/setup.sh as root sets up qemu-i386)"
fi
step packaging32 tests/packaging/run.sh install32 build/linux32 build/linux64
ASAN_OPTIONS="detect_leaks=1" LSAN_OPTIONS="suppressions=$root/tests/lsan.supp" \
  UBSAN_OPTIONS="print_stacktrace=1" \
  build_and_test asan -DCMAKE_BUILD_TYPE=Debug -DKTREMOTE_SANITIZE=address,undefined "${other_trees[@]}"
step python-asan tests/packaging/run.sh python-asan build/asan
step octave-asan matlab/tests/run.sh build/asan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  build_and_test tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKTREMOTE_SANITIZE=thread "${other_trees[@]}"
beside_status=0
wait "$beside" || beside_status=$?
beside=
cat "$beside_log"
[ "$beside_status" -eq 0 ] || { echo "==== Windows and fuzz FAILED (exit status $beside_status)"; exit "$beside_status"; }

echo "==== all tests passed in $((SECONDS - started)) s"
