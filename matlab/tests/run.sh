#!/usr/bin/env bash
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
if ldd "$tree/src/libktremote64.so" | grep -q libasan; then
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

echo "---- matlab: tests under Octave against ktsim"
# ktsim ends when its standard input closes, so it cannot outlive this
# script even when the script is killed.
# shellcheck disable=SC2034  # closed by the trap
exec {ktsim_in}> >(exec "$ktsim" --port 0 --exit-on-stdin-eof --setup builtin:clean --seed 1 \
  --store-dir "$work/store" >"$work/ktsim.out" 2>"$work/ktsim.err")
ktsim_pid=$!
trap 'exec {ktsim_in}>&-; wait "$ktsim_pid" 2>/dev/null || true' EXIT
tries=0
until [ "$(wc -l <"$work/ktsim.out")" -ge 1 ]; do
  if (( ++tries > 300 )); then
    echo "ktsim did not start:" >&2; cat "$work/ktsim.err" >&2; exit 1
  fi
  sleep 0.1
done
where=$(head -n1 "$work/ktsim.out")
where=${where#ktsim listening on }
host=${where%:*} port=${where##*:}
host=${host#[}; host=${host%]}
data_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

cd "$work"
env "${octave_env[@]}" octave-cli --no-gui --norc --no-history --eval \
  "addpath($(quoted "$root/matlab"), $(quoted "$root/matlab/tests"), $(quoted "$work")); \
   exit(min(ktremote_tests($(quoted "$host $port $data_port"), $(quoted "$work/store")), 1));"

echo "---- matlab: the stream example against ktsim (1 s)"
env "${octave_env[@]}" octave-cli --no-gui --norc --no-history --eval \
  "addpath($(quoted "$root/matlab"), $(quoted "$root/matlab/examples"), $(quoted "$work")); \
   exit(ktremote_stream($(quoted "$host $port $data_port"), 1) == 0);"
