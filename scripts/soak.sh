#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Soak run: measurements against ktsim with random stream faults for a
# bounded time, every value checked. Not part of the test command.
#
#   scripts/soak.sh [SECONDS] [SEED]     default 300 s
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tree=build/linux64
mkdir -p build
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$tree.configure.log" 2>&1 \
  || { cat "$tree.configure.log"; exit 1; }
cmake --build "$tree" --target ktremote_soak
exec "$tree/tests/faults/ktremote_soak" "${1:-300}" ${2:+"$2"}
