#!/usr/bin/env bash
# Checks the library the way its users get it.
#
#   tests/packaging/run.sh install <build-tree>
#       installs the tree into a staging prefix; builds the examples against
#       the installed package (CMake package and pkg-config), never the build
#       tree; runs the Python tests with the system Python against the
#       installed Python package; builds the Debian package and checks that
#       it unpacks into a working tree (and, as root in CI, that it installs
#       and removes cleanly); builds the Python wheel of the tree
#       (scripts/python-wheel.sh), installs it with pip into a fresh venv
#       and runs the Python tests there, with numpy and as without it.
#       Against ktsim (see ktsim_level): the Python tests and the three
#       stream examples.
#   tests/packaging/run.sh install32 <32-bit-build-tree> <64-bit-build-tree>
#       installs the 32-bit tree into the 64-bit tree's staging prefix and
#       checks that 32-bit and 64-bit consumers each get their library.
#   tests/packaging/run.sh python-asan <asan-build-tree>
#       runs the Python tests against the library built with ASan+UBSan.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
mode=${1:?mode}
tree=$(cd "${2:?build tree}" && pwd)
python=/usr/bin/python3
cd "$root"

# How much of the simulator the library can use: "none", "list" (connect
# and discover) or "stream" (measure too). Raised as the network backend
# grows; "list" runs the Python tests against ktsim, "stream" also the
# streaming tests and the three stream examples.
ktsim_level=stream

step() { echo "---- packaging: $*"; }

# Starts ktsim and sets ktsim_pid and connect_text. ktsim ends when its
# standard input closes, so it cannot outlive this script even when the
# script is killed.
start_ktsim() {
  local ktsim=$1 out="$work/ktsim.out" tries=0
  : >"$out"
  exec {ktsim_in}> >(exec "$ktsim" --port 0 --exit-on-stdin-eof >"$out" 2>"$work/ktsim.err")
  ktsim_pid=$!
  # Its first line: "ktsim listening on <addr>:<port>".
  until [ "$(wc -l <"$out")" -ge 1 ]; do
    if (( ++tries > 300 )); then
      echo "ktsim did not start:" >&2; cat "$work/ktsim.err" >&2; return 1
    fi
    sleep 0.1
  done
  local where host port
  where=$(head -n1 "$out")
  where=${where#ktsim listening on }
  host=${where%:*} port=${where##*:}
  host=${host#[}; host=${host%]}
  connect_text="$host $port $(free_port)"
}

stop_ktsim() {
  if [ -n "${ktsim_pid:-}" ]; then
    exec {ktsim_in}>&-
    wait "$ktsim_pid" 2>/dev/null || true
    ktsim_pid=
  fi
}

# The simulator to test against at this level, or nothing.
ktsim_for() {
  if [ "$ktsim_level" != none ] && [ -x "$1" ]; then echo "$1"; fi
}
streaming() {
  if [ "$ktsim_level" = stream ]; then echo 1; fi
}

free_port() {
  "$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

case "$mode" in
install)
  work="$tree/packaging"
  stage="$work/stage"
  rm -rf "$work"
  mkdir -p "$work"
  trap 'stop_ktsim' EXIT

  step "install into a staging prefix"
  cmake --install "$tree" --prefix "$stage" >"$work/install.log"
  ls "$stage"/lib/libktremote*.so.1 >/dev/null

  step "examples against the installed CMake package"
  cmake -S tests/packaging/consumer -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$stage" -DEXAMPLES_DIR="$root/examples" >"$work/consumer.log" 2>&1 \
    || { cat "$work/consumer.log"; exit 1; }
  cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; exit 1; }
  "$work/consumer/hello"
  ldd "$work/consumer/hello" | grep "$stage/lib/libktremote" >/dev/null \
    || { echo "the example does not use the installed library" >&2; exit 1; }

  step "examples against the installed pkg-config file"
  export PKG_CONFIG_PATH="$stage/lib/pkgconfig"
  # shellcheck disable=SC2046
  cc -Wall -Wextra -Werror -o "$work/stream_c_pc" examples/stream.c $(pkg-config --cflags --libs ktremote) \
    -Wl,-rpath,"$(pkg-config --variable=libdir ktremote)"
  unset PKG_CONFIG_PATH

  step "Python tests with $python against the installed package"
  (cd "$work" && PYTHONPATH="$stage/lib/python3/dist-packages" KTREMOTE_INSTALLED_PREFIX="$stage" \
    KTREMOTE_KTSIM="$(ktsim_for "$stage/bin/ktsim")" KTREMOTE_KTSIM_STREAM="$(streaming)" \
    "$python" -m pytest -q -p no:cacheprovider "$root/python/tests")

  step "Python wheel in a fresh venv"
  wheel=$(scripts/python-wheel.sh "$tree" "$work/wheel")
  # Debian's numpy and pytest are visible through the system site packages;
  # the package itself comes from the wheel only.
  "$python" -m venv --system-site-packages "$work/venv"
  "$work/venv/bin/pip" install --quiet --no-index "$wheel"
  (cd "$work" && env -u PYTHONPATH -u KTREMOTE_LIBRARY KTREMOTE_FROM_WHEEL=1 \
    KTREMOTE_KTSIM="$(ktsim_for "$stage/bin/ktsim")" KTREMOTE_KTSIM_STREAM="$(streaming)" \
    "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests")
  step "Python wheel without numpy"
  (cd "$work" && env -u PYTHONPATH -u KTREMOTE_LIBRARY KTREMOTE_FROM_WHEEL=1 KTREMOTE_TEST_NO_NUMPY=1 \
    KTREMOTE_KTSIM="$(ktsim_for "$stage/bin/ktsim")" KTREMOTE_KTSIM_STREAM="$(streaming)" \
    "$work/venv/bin/python" -m pytest -q -p no:cacheprovider -k "not cli_stream" "$root/python/tests")

  step "Debian package"
  (cd "$tree" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
  deb=$(ls "$work"/deb/ktremote_*.deb)
  dpkg-deb -f "$deb" Package Version Architecture Depends
  dpkg-deb -x "$deb" "$work/debroot"
  usr="$work/debroot/usr"
  test -f "$usr/include/ktremote.h" -a -f "$usr/include/ktremote.hpp"
  test -f "$usr/lib/cmake/ktremote/ktremoteConfig.cmake"
  PYTHONPATH="$usr/lib/python3/dist-packages" "$python" -m ktremote version
  PKG_CONFIG_PATH="$usr/lib/pkgconfig" sh -c \
    'cc -o "$1/hello_deb" examples/hello.c $(pkg-config --cflags --libs ktremote) -Wl,-rpath,$(pkg-config --variable=libdir ktremote)' \
    sh "$work"
  "$work/hello_deb" >/dev/null
  if [ "$(id -u)" -eq 0 ] && [ "${CI:-}" = true ] && ! dpkg-query -W -f="\${Status}" ktremote 2>/dev/null | grep -q "ok installed"; then
    step "dpkg -i, then purge"
    dpkg -i "$deb" >/dev/null
    ok=true
    (cd / && "$python" -m ktremote version) || ok=false
    cc -o "$work/hello_system" examples/hello.c $(pkg-config --cflags --libs ktremote) && "$work/hello_system" >/dev/null || ok=false
    dpkg -P ktremote >/dev/null
    $ok
  fi

  if [ -n "$(ktsim_for "$stage/bin/ktsim")" ]; then
    # One simulator serves the three in turn; at the "list" level they only
    # connect and list (0 seconds).
    seconds=$([ -n "$(streaming)" ] && echo 1 || echo 0)
    step "stream examples against ktsim ($seconds s)"
    start_ktsim "$stage/bin/ktsim"
    "$work/consumer/stream_c" "$connect_text" "$seconds"
    "$work/consumer/stream_cpp" "$connect_text" "$seconds"
    PYTHONPATH="$stage/lib/python3/dist-packages" "$python" examples/stream.py "$connect_text" "$seconds"
    stop_ktsim
  else
    step "stream examples skipped (ktsim level: $ktsim_level)"
  fi
  ;;
install32)
  # The 32-bit tree installed into the staging prefix of the 64-bit one:
  # both libraries side by side, each consumer finds the one of its word size.
  stage_tree=$(cd "${3:?64-bit build tree}" && pwd)
  work="$tree/packaging"
  stage="$stage_tree/packaging/stage"
  rm -rf "$work"
  mkdir -p "$work"
  step "install the 32-bit library next to the 64-bit one"
  cmake --install "$tree" --prefix "$stage" >"$work/install.log"
  dir32=$(dirname "$(ls "$stage"/lib/i386-linux-gnu/libktremote.so.1 "$stage"/lib32/libktremote.so.1 2>/dev/null | head -n1)")
  ls "$dir32"/libktremote.so.1 "$stage"/lib/libktremote64.so.1 >/dev/null
  for bits in 32 64; do
    step "$bits-bit example against the shared prefix"
    cmake -S tests/packaging/consumer -B "$work/consumer$bits" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_C_FLAGS=-m$bits -DCMAKE_CXX_FLAGS=-m$bits \
      -DCMAKE_PREFIX_PATH="$stage" -DEXAMPLES_DIR="$root/examples" >"$work/consumer$bits.log" 2>&1 \
      && cmake --build "$work/consumer$bits" --target hello >>"$work/consumer$bits.log" 2>&1 \
      || { cat "$work/consumer$bits.log"; exit 1; }
    "$work/consumer$bits/hello" >/dev/null
    want=$([ $bits = 32 ] && echo "$dir32/libktremote.so" || echo "$stage/lib/libktremote64.so")
    ldd "$work/consumer$bits/hello" | grep "$want" >/dev/null \
      || { echo "the $bits-bit example does not use $want" >&2; exit 1; }
  done
  libs=$(PKG_CONFIG_PATH="$dir32/pkgconfig" pkg-config --libs-only-l ktremote)
  [ "$(echo $libs)" = "-lktremote" ] || { echo "32-bit pkg-config file gives '$libs'" >&2; exit 1; }
  ;;
python-asan)
  step "Python tests against the ASan+UBSan library"
  library=$(ls "$tree"/src/libktremote*.so.1 | head -n1)
  (cd "$tree" && LD_PRELOAD="$(gcc -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0 \
    KTREMOTE_LIBRARY="$library" PYTHONPATH="$root/python" \
    KTREMOTE_KTSIM="$(ktsim_for "$tree/tools/ktsim/ktsim")" KTREMOTE_KTSIM_STREAM="$(streaming)" \
    "$python" -m pytest -q -p no:cacheprovider "$root/python/tests")
  ;;
*)
  echo "usage: $0 install|install32|python-asan <build-tree> [<64-bit-build-tree>]" >&2
  exit 2
  ;;
esac
