#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the MATLAB/Octave gateway with Octave's mkoctfile against a build
# tree and runs the toolbox tests under octave-cli against that tree's ktsim.
#
#   matlab/tests/run.sh <build-tree>
#
# The gateway goes to <build-tree>/matlab; ktsim stores into
# <build-tree>/matlab/store. When the tree's library is built with ASan, the
# gateway is too, and Octave runs with the ASan runtime preloaded (leak
# checks off: they would report Octave's own allocations).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tree=$(cd "${1:?usage: $0 <build-tree>}" && pwd)
work="$tree/matlab"
ktsim="$tree/tools/ktsim/ktsim"
rm -rf "$work"
mkdir -p "$work/store"

# Octave strings in --eval are single-quoted: double any quote in a path.
quoted() { printf "'%s'" "${1//\'/\'\'}"; }

# Warnings are errors here as in the rest of the tree.
cflags="-std=c99 -O2 -fPIC -Wall -Wextra -Werror -pedantic"
build_env=()
octave_env=()
# (ldd's output is read whole first: grep -q leaving a pipe early would kill
# ldd with SIGPIPE, and pipefail would then take the answer for "no".)
if grep -q libasan <<<"$(ldd "$tree/src/libktremote64.so")"; then
  sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
  cflags="$cflags -g $sanitize"
  build_env=(LDFLAGS="$sanitize")
  octave_env=(LD_PRELOAD="$(gcc -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0
              UBSAN_OPTIONS=print_stacktrace=1)
fi

echo "---- matlab: build the gateway with mkoctfile"
env CFLAGS="$cflags" "${build_env[@]}" octave-cli --no-gui --norc --no-history --eval \
  "addpath($(quoted "$root/matlab")); ktremote_build($(quoted "$root/include"), $(quoted "$tree/src"), $(quoted "$work"));"

echo "---- matlab: tests under Octave without the application"
(cd "$work" && env "${octave_env[@]}" octave-cli --no-gui --norc --no-history --eval \
  "addpath($(quoted "$root/matlab"), $(quoted "$root/matlab/tests"), $(quoted "$work")); \
   exit(min(ktremote_tests(), 1));")

# start_ktsim NAME ARGS...: starts a ktsim with ARGS and sets address to
# "host port" from its first line, "ktsim listening on <addr>:<port>". ktsim
# ends when its standard input closes, so it cannot outlive this script
# even when the script is killed.
ktsim_pids=()
ktsim_fds=()
stop_all() {
  for fd in "${ktsim_fds[@]}"; do exec {fd}>&-; done
  for pid in "${ktsim_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT
start_ktsim() {
  local name=$1 fd tries=0 where host port; shift
  exec {fd}> >(exec "$ktsim" --port 0 --exit-on-stdin-eof "$@" >"$work/$name.out" 2>"$work/$name.err")
  ktsim_pids+=($!)
  ktsim_fds+=("$fd")
  until [ "$(wc -l <"$work/$name.out")" -ge 1 ]; do
    if (( ++tries > 300 )); then
      echo "$name did not start:" >&2; cat "$work/$name.err" >&2; exit 1
    fi
    sleep 0.1
  done
  where=$(head -n1 "$work/$name.out")
  where=${where#ktsim listening on }
  host=${where%:*} port=${where##*:}
  host=${host#[}; host=${host%]}
  address="$host $port"
}

echo "---- matlab: tests under Octave against ktsim"
start_ktsim ktsim --setup builtin:clean --seed 1 --store-dir "$work/store"
good=$address
# One that drops the command connection when told to start acquiring.
start_ktsim ktsim-faulty --setup builtin:clean --fault close-on=STARTACQ
faulty=$address
free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
data_port=$(free_port)
faulty_data_port=$(free_port)

cd "$work"
env "${octave_env[@]}" octave-cli --no-gui --norc --no-history --eval \
  "addpath($(quoted "$root/matlab"), $(quoted "$root/matlab/tests"), $(quoted "$work")); \
   exit(min(ktremote_tests($(quoted "$good $data_port"), $(quoted "$work/store"), \
                           $(quoted "$faulty $faulty_data_port")), 1));"

echo "---- matlab: the stream example against ktsim (1 s)"
env "${octave_env[@]}" octave-cli --no-gui --norc --no-history --eval \
  "addpath($(quoted "$root/matlab"), $(quoted "$root/matlab/examples"), $(quoted "$work")); \
   exit(ktremote_stream($(quoted "$good $data_port"), 1) == 0);"
