#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Soak runs. Not part of the test command.
#
#   scripts/soak.sh [SECONDS] [SEED]            measurements against ktsim with
#                                               random stream faults, every value
#                                               checked; default 300 s
#   scripts/soak.sh recorder [SECONDS] [SEED]   one ktcli stream --reconnect
#                                               recording to HDF5 while ktsim is
#                                               killed and restarted, or (as root)
#                                               its link is cut, every 30-60 s;
#                                               every value checked; default 600 s
#   scripts/soak.sh instances [RUNS]            test runs of a test sequencer, one
#                                               instance each, default 1000: nothing
#                                               the process holds may grow
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tree=build/linux64
mkdir -p build
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$tree.configure.log" 2>&1 \
  || { cat "$tree.configure.log"; exit 1; }
if [ "${1:-}" = recorder ]; then
  cmake --build "$tree" --target ktcli_recorder_soak
  exec "$tree/tests/e2e/ktcli_recorder_soak" "${2:-600}" 30 60 ${3:+"$3"}
fi
cmake --build "$tree" --target ktremote_soak
if [ "${1:-}" = instances ]; then
  exec "$tree/tests/faults/ktremote_soak" --instances "${2:-1000}"
fi
exec "$tree/tests/faults/ktremote_soak" "${1:-300}" ${2:+"$2"}
