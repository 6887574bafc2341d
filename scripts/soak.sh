#!/usr/bin/env bash
# Soak run: measurements against ktsim with random stream faults for a
# bounded time, every value checked. Not part of the test command.
#
#   scripts/soak.sh [SECONDS] [SEED]     default 300 s
#   scripts/soak.sh --instances [RUNS]   test runs of a test sequencer, one
#                                        instance each, default 1000: nothing
#                                        the process holds may grow
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tree=build/linux64
mkdir -p build
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$tree.configure.log" 2>&1 \
  || { cat "$tree.configure.log"; exit 1; }
cmake --build "$tree" --target ktremote_soak
if [ "${1:-}" = --instances ]; then
  exec "$tree/tests/faults/ktremote_soak" --instances "${2:-1000}"
fi
exec "$tree/tests/faults/ktremote_soak" "${1:-300}" ${2:+"$2"}
