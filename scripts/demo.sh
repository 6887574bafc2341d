#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job: sets up what is missing, builds the library with ktsim and
# ktcli, starts ktsim (the application simulator) with its default setup,
# measures every channel for a few seconds with "ktcli stream", prints the
# summary per channel and where the CSV went, and stops ktsim again.
#
#   scripts/demo.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-3}
tree=build/demo

step() { echo "==== $*"; }

step "setting up"
scripts/setup.sh

step "building the library, ktsim and ktcli in $tree"
mkdir -p "$tree"
if ! { cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTREMOTE_BUILD_TESTS=OFF \
         -DKTREMOTE_BUILD_EXAMPLES=OFF && cmake --build "$tree" --target ktsim ktcli; } >"$tree.log" 2>&1; then
  cat "$tree.log" >&2
  exit 1
fi
ktsim=$tree/tools/ktsim/ktsim
ktcli=$tree/tools/ktcli/ktcli

step "starting ktsim"
# ktsim ends when its standard input closes: when this script ends, however
# it ends, ktsim goes too.
coproc KTSIM { exec "$ktsim" --port 0 --exit-on-stdin-eof 2>"$tree/ktsim.err"; }
ktsim_pid=$KTSIM_PID
ktsim_in=${KTSIM[1]}
stop_ktsim() {
  exec {ktsim_in}>&- 2>/dev/null || true
  wait "$ktsim_pid" 2>/dev/null || true
}
trap stop_ktsim EXIT
# Its first line is "ktsim listening on <address>:<port>".
if ! IFS= read -r -t 30 line <&"${KTSIM[0]}"; then
  echo "ktsim did not start:" >&2
  cat "$tree/ktsim.err" >&2
  exit 1
fi
echo "$line"
port=${line##*:}

# ktcli listens for the measured data on a port of its own: the library's
# default 8001, or the next one that nothing listens on.
data_port=8001
while (exec 3<>"/dev/tcp/127.0.0.1/$data_port") 2>/dev/null; do
  data_port=$((data_port + 1))
done

connection=(--host 127.0.0.1 --port "$port" --data-port "$data_port")
"$ktcli" state "${connection[@]}"

step "measuring every channel for $seconds s"
csv=$tree/stream.csv
"$ktcli" stream --duration "$seconds" --output "$csv" "${connection[@]}"
echo "The CSV (a time and a value column per channel) is in $root/$csv"

step "stopping ktsim"
stop_ktsim
trap - EXIT
echo "done"
