#!/usr/bin/env bash
# The main job: sets up what is missing, builds the library and runs a host
# program against it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTREMOTE_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo --target ktremote_hello >/dev/null
build/demo/examples/ktremote_hello
