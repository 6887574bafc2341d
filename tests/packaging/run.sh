#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the library the way its users get it.
#
#   tests/packaging/run.sh install <build-tree>
#       installs the tree into a staging prefix; builds examples/ as a
#       project of its own against the installed package (CMake package and
#       pkg-config), never the build tree; runs the Python tests with the
#       system Python against the installed Python package. Builds the Debian
#       packages (runtime, -dev, tools, python) and checks their fields,
#       copyright and changelog files; unpacks each into a scratch root next
#       to the runtime package alone and uses it there: the examples as the
#       -dev package installs them, the Python package, the tools and their
#       manual pages (man formats them without warnings, and they describe
#       every option the tools' help names). As root in CI, the packages also
#       install and purge cleanly with dpkg. Against ktsim (see ktsim_level):
#       the Python tests and the three stream examples. Builds the Python
#       wheel of the tree (scripts/python-wheel.sh), installs it with pip into
#       a fresh venv and runs the Python tests there, with numpy and as
#       without it; in a venv with nothing but the wheel, its ktsim and ktcli
#       run and record CSV and HDF5.
#   tests/packaging/run.sh install32 <32-bit-build-tree> <64-bit-build-tree>
#       installs the 32-bit tree into the 64-bit tree's staging prefix and
#       checks that 32-bit and 64-bit consumers each get their library;
#       builds and checks the 32-bit (i386) Debian packages.
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

# build_examples <source> <build> <prefix>: examples/ as a project of its
# own against the ktremote installed under <prefix>, without a warning.
build_examples() {
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$3" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$2.log" 2>&1 \
    && cmake --build "$2" >>"$2.log" 2>&1 || { cat "$2.log"; exit 1; }
  if grep -q "CMake Warning" "$2.log"; then cat "$2.log"; exit 1; fi
}

# unpack <root> <deb>...: a scratch root holding exactly these packages.
unpack() {
  local root=$1 deb; shift
  rm -rf "$root"
  for deb in "$@"; do dpkg-deb -x "$deb" "$root"; done
}

# check_debian_packages <dir>: the four packages of one version, each with
# its copyright and changelog, the others depending on exactly that runtime
# package, no file in two packages. Sets runtime_deb, dev_deb, tools_deb,
# python_deb, runtime_package, all_debs and all_packages.
check_debian_packages() {
  local deb name version field
  runtime_deb='' dev_deb='' tools_deb='' python_deb='' all_debs='' all_packages=''
  for deb in "$1"/*.deb; do
    name=$(dpkg-deb -f "$deb" Package)
    case "$name" in
      libktremote-dev) dev_deb=$deb ;;
      ktremote-tools) tools_deb=$deb ;;
      python3-ktremote) python_deb=$deb ;;
      libktremote*[0-9]) runtime_deb=$deb runtime_package=$name ;;
      *) echo "unexpected package $name" >&2; exit 1 ;;
    esac
    all_debs+=" $deb" all_packages+=" $name"
    dpkg-deb -f "$deb" Package Version Architecture Depends | tr '\n' ' ' && echo
  done
  [ -n "$runtime_deb" ] && [ -n "$dev_deb" ] && [ -n "$tools_deb" ] && [ -n "$python_deb" ] \
    || { echo "missing packages; got:$all_packages" >&2; exit 1; }
  version=$(dpkg-deb -f "$runtime_deb" Version)
  for deb in $all_debs; do
    name=$(dpkg-deb -f "$deb" Package)
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || { echo "$name is not version $version" >&2; exit 1; }
    if [ "$deb" != "$runtime_deb" ]; then
      dpkg-deb -f "$deb" Depends | tr ',' '\n' | grep -qx " *$runtime_package (= $version)" \
        || { echo "$name does not depend on $runtime_package (= $version)" >&2; exit 1; }
    fi
    rm -rf "$work/doc" && mkdir -p "$work/doc"
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/doc" "./usr/share/doc/$name/" \
      || { echo "$name has no /usr/share/doc/$name" >&2; exit 1; }
    head -n1 "$work/doc/usr/share/doc/$name/copyright" \
      | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
      || { echo "$name: no machine-readable copyright file" >&2; exit 1; }
    changelog="$work/doc/usr/share/doc/$name/changelog.Debian.gz"
    # gzip -n: no file name (flag bit 3) and a zero time stamp.
    field=$(od -An -tu1 -j3 -N5 "$changelog" | tr -s ' ')
    [ "$field" = " 0 0 0 0 0" ] || { echo "$name: changelog.Debian.gz not made with gzip -n" >&2; exit 1; }
    gzip -dc "$changelog" >"$work/doc/changelog"
    [ "$(dpkg-parsechangelog -l "$work/doc/changelog" -S Version)" = "$version" ] \
      || { echo "$name: the changelog's version is not $version" >&2; exit 1; }
  done
  local twice
  twice=$(for deb in $all_debs; do dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$'; done | sort | uniq -d)
  [ -z "$twice" ] || { echo "files in two packages: $twice" >&2; exit 1; }
}

# uses_library <program> <dir> <soname>: the program needs <soname> and the
# dynamic loader finds it in <dir>, through the program's RUNPATH. Read from
# the file with readelf rather than with ldd, which has to run the program's
# loader and so cannot look at a 32-bit program on a kernel that refuses
# them.
uses_library() {
  local dynamic runpath
  dynamic=$(readelf -d "$1")
  grep -q "(NEEDED).*\[$3\]" <<<"$dynamic" \
    || { echo "$1 does not need $3" >&2; exit 1; }
  runpath=$(sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p' <<<"$dynamic")
  tr ':' '\n' <<<"$runpath" | grep -qx "$2" \
    || { echo "$1 does not find $3 in $2 (RUNPATH: ${runpath:-none})" >&2; exit 1; }
  [ -e "$2/$3" ] || { echo "$2/$3 is missing" >&2; exit 1; }
}

installed_any() {
  # shellcheck disable=SC2086
  dpkg-query -W -f='${Status}\n' ktremote $all_packages 2>/dev/null | grep -q "ok installed"
}

# check_man_page <page.gz>: man formats it without a warning (groff -ww:
# every kind of warning, undefined macros included), and its NAME line is
# one that whatis and apropos can index.
check_man_page() {
  local out
  lexgrog "$1" >/dev/null || { echo "$1 has no NAME line that man-db can read" >&2; exit 1; }
  out=$(MANWIDTH=80 man --warnings=w -l -Tutf8 "$1" 2>&1 >/dev/null) \
    || { echo "man -l $1 failed: $out" >&2; exit 1; }
  [ -z "$out" ] || { echo "man -l $1 warns:" >&2; echo "$out" >&2; exit 1; }
  [ "$(MANWIDTH=80 man -l -Tutf8 "$1" 2>/dev/null | wc -l)" -gt 20 ] || { echo "$1 is nearly empty" >&2; exit 1; }
}

# check_man_covers_help <page.gz> <help text> <what>: every option that
# the program's help names is described in the page.
check_man_covers_help() {
  local text option missing=
  text=$(gzip -dc "$1" | sed 's/\\-/-/g')
  for option in $(grep -o -- '--[a-z][a-z0-9-]*' "$2" | sort -u); do
    grep -q -e "$option\([^a-z0-9-]\|$\)" <<<"$text" || missing+=" $option"
  done
  [ -z "$missing" ] || { echo "$(basename "$1") lacks options of $3:$missing" >&2; exit 1; }
}

# check_wheel_tools <wheel>: in a venv that has nothing but the wheel (no
# system site packages, a bare environment, no library path), ktsim starts,
# python -m ktremote records CSV and HDF5 from it (read back with h5py) and
# ktcli names the wheel's version; ldd finds every library the programs and
# their bundled libraries need inside the installed package or in the base
# system.
check_wheel_tools() {
  local venv="$work/venv-bare" version package file needed
  step "the wheel's ktcli and ktsim in a venv of their own"
  "$python" -m venv "$venv"
  "$venv/bin/pip" install --quiet --no-index "$1"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$tree/CMakeCache.txt")
  bare() { env -i PATH=/usr/bin:/bin HOME="$work" "$@"; }
  [ -x "$venv/bin/ktcli" ] && [ -x "$venv/bin/ktsim" ] || { echo "the wheel installs no ktcli/ktsim command" >&2; exit 1; }
  [ "$(bare "$venv/bin/ktcli" --version)" = "ktcli $version (library $version)" ] \
    || { echo "the wheel's ktcli does not name version $version: $(bare "$venv/bin/ktcli" --version)" >&2; exit 1; }
  package=$(bare "$venv/bin/python" -c 'import ktremote, os; print(os.path.dirname(ktremote.__file__))')
  for file in "$package"/_bin/kt* "$package"/_bin/lib/*; do
    needed=$(bare ldd "$file" | awk '/=>/ { print $1, $3 }' | grep -v " $package/" \
      | grep -Ev '^(libc|libm|libdl|librt|libpthread|libresolv|libutil|libstdc\+\+|libgcc_s)\.so' || true)
    [ -z "$needed" ] || { echo "$(basename "$file") needs libraries from outside the wheel: $needed" >&2; exit 1; }
  done
  start_ktsim "$venv/bin/ktsim"
  host=${connect_text%% *} port=${connect_text#* } port=${port%% *}
  (cd "$work" && bare "$venv/bin/python" -m ktremote --host "$host" --port "$port" --data-port "$(free_port)" \
    stream --duration 1 --quiet --output wheel.csv Voltage >/dev/null)
  [ "$(head -n1 "$work/wheel.csv")" = "Voltage time [s],Voltage [V]" ] && [ "$(wc -l <"$work/wheel.csv")" -gt 100 ] \
    || { echo "the wheel's ktcli recorded no CSV:" >&2; head -n3 "$work/wheel.csv" >&2; exit 1; }
  (cd "$work" && bare "$venv/bin/python" -m ktremote stream --host "$host" --port "$port" --data-port "$(free_port)" \
    --duration 1 --quiet --output wheel.h5 Voltage >/dev/null)
  "$python" -c 'import h5py, sys; n = len(h5py.File(sys.argv[1], "r")["Voltage/values"]); sys.exit(n < 100)' \
    "$work/wheel.h5" || { echo "the wheel's ktcli recorded no HDF5 that h5py reads" >&2; exit 1; }
  stop_ktsim
  echo "wheel: $(du -k "$1" | cut -f1) KiB"
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

  step "examples/ on its own against the installed CMake package"
  build_examples "$root/examples" "$work/examples" "$stage"
  "$work/examples/ktremote_hello"
  ldd "$work/examples/ktremote_hello" | grep "$stage/lib/libktremote" >/dev/null \
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
    "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests")
  check_wheel_tools "$wheel"

  step "Debian packages"
  (cd "$tree" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
  check_debian_packages "$work/deb"

  # Each package in turn, unpacked next to the runtime package alone.
  step "runtime package alone"
  unpack "$work/rt" "$runtime_deb"
  unexpected=$(cd "$work/rt" && find . ! -type d | grep -v -e "^./usr/lib/.*libktremote[0-9]*\.so\.1" \
    -e "^./usr/share/doc/$runtime_package/" || true)
  [ -z "$unexpected" ] || { echo "the runtime package holds more than the library: $unexpected" >&2; exit 1; }
  lib=$(find "$work/rt/usr/lib" -name "libktremote*.so.1")
  cc -Wall -Wextra -Werror -Iinclude -o "$work/hello_rt" examples/hello.c "$lib" -Wl,-rpath,"$(dirname "$lib")"
  "$work/hello_rt" >/dev/null

  step "runtime and development packages: examples/ as installed, CMake package, pkg-config"
  unpack "$work/dev" "$runtime_deb" "$dev_deb"
  usr="$work/dev/usr"
  test -f "$usr/include/ktremote.h" -a -f "$usr/include/ktremote.hpp" -a -f "$usr/include/ktremote_results.h"
  build_examples "$usr/share/doc/ktremote/examples" "$work/dev-examples" "$usr"
  "$work/dev-examples/ktremote_hello" >/dev/null
  ldd "$work/dev-examples/ktremote_hello" | grep "$usr/lib/libktremote" >/dev/null \
    || { echo "the example does not use the packaged library" >&2; exit 1; }
  PKG_CONFIG_PATH="$usr/lib/pkgconfig" sh -c \
    'cc -o "$1/hello_deb" examples/hello.c $(pkg-config --cflags --libs ktremote) -Wl,-rpath,$(pkg-config --variable=libdir ktremote)' \
    sh "$work"
  "$work/hello_deb" >/dev/null

  step "runtime and python packages"
  unpack "$work/py" "$runtime_deb" "$python_deb"
  found=$(cd / && PYTHONPATH="$work/py/usr/lib/python3/dist-packages" "$python" -c \
    'import ktremote; ktremote.version(); print(ktremote.find_library())')
  case "$found" in "$work/py/usr/lib/"*) ;; *) echo "python3-ktremote loads '$found'" >&2; exit 1 ;; esac

  step "runtime and tools packages: programs and manual pages"
  unpack "$work/tools" "$runtime_deb" "$tools_deb"
  bin="$work/tools/usr/bin"
  for tool in ktcli ktsim; do
    page="$work/tools/usr/share/man/man1/$tool.1.gz"
    check_man_page "$page"
    "$bin/$tool" --help >"$work/$tool.help"
    check_man_covers_help "$page" "$work/$tool.help" "$tool"
  done
  # Every command that ktcli lists, and each command's options.
  page_text=$(gzip -dc "$work/tools/usr/share/man/man1/ktcli.1.gz" | sed 's/\\-/-/g')
  commands=$(sed -n 's/^  \([a-z][a-z-]*\)\( .*\)\?$/\1/p' "$work/ktcli.help" | sort -u)
  grep -qx channels <<<"$commands" && grep -qx stream <<<"$commands" \
    || { echo "cannot read the commands from ktcli --help:" >&2; cat "$work/ktcli.help" >&2; exit 1; }
  for command in $commands; do
    grep -Eq "^\.B[IR]? \"?$command( |\"|$)" <<<"$page_text" \
      || { echo "ktcli(1) does not describe the command $command" >&2; exit 1; }
    "$bin/ktcli" "$command" --help >"$work/ktcli-$command.help"
    check_man_covers_help "$work/tools/usr/share/man/man1/ktcli.1.gz" "$work/ktcli-$command.help" "ktcli $command"
  done

  if [ "$(id -u)" -eq 0 ] && [ "${CI:-}" = true ] && ! installed_any; then
    step "dpkg -i, then purge"
    # shellcheck disable=SC2086
    dpkg -i $all_debs >/dev/null
    ok=true
    (cd / && "$python" -m ktremote --version) || ok=false
    # shellcheck disable=SC2046
    cc -o "$work/hello_system" examples/hello.c $(pkg-config --cflags --libs ktremote) && "$work/hello_system" >/dev/null || ok=false
    ktcli --help >/dev/null && man -w ktcli >/dev/null && man -w ktsim >/dev/null || ok=false
    # shellcheck disable=SC2086
    dpkg -P $all_packages >/dev/null
    ! installed_any || { echo "packages are left after dpkg -P" >&2; ok=false; }
    $ok

    step "dpkg -i over the single package ktremote of earlier versions, then purge"
    old="$work/old-ktremote"
    mkdir -p "$old/DEBIAN"
    for deb in $all_debs; do dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$old" --exclude='./usr/share/doc/*'; done
    version=$(dpkg-deb -f "$runtime_deb" Version)
    printf 'Package: ktremote\nVersion: %s\nArchitecture: %s\nMaintainer: %s\nDescription: %s\n' \
      "${version%-*}" "$(dpkg-deb -f "$runtime_deb" Architecture)" "$(dpkg-deb -f "$runtime_deb" Maintainer)" \
      "stand-in for the single package of earlier versions" >"$old/DEBIAN/control"
    dpkg-deb --root-owner-group --build "$old" "$work/old-ktremote.deb" >/dev/null
    dpkg -i "$work/old-ktremote.deb" >/dev/null
    # shellcheck disable=SC2086
    dpkg -i $all_debs >/dev/null || ok=false
    ! dpkg-query -W -f='${Status}\n' ktremote 2>/dev/null | grep -q "ok installed" \
      || { echo "ktremote is still installed" >&2; ok=false; }
    [ -x /usr/bin/ktcli ] && [ -e "$(find /usr/lib -maxdepth 2 -name 'libktremote*.so.1' | head -n1)" ] || ok=false
    # shellcheck disable=SC2086
    dpkg -P $all_packages ktremote >/dev/null 2>&1
    ! installed_any || { echo "packages are left after dpkg -P" >&2; ok=false; }
    $ok
  fi

  if [ -n "$(ktsim_for "$bin/ktsim")" ]; then
    # One simulator serves the three in turn; at the "list" level they only
    # connect and list (0 seconds).
    seconds=$([ -n "$(streaming)" ] && echo 1 || echo 0)
    step "stream examples against the packaged ktsim ($seconds s)"
    start_ktsim "$bin/ktsim"
    "$work/dev-examples/ktremote_stream_c" "$connect_text" "$seconds"
    "$work/dev-examples/ktremote_stream_cpp" "$connect_text" "$seconds"
    PYTHONPATH="$work/py/usr/lib/python3/dist-packages" "$python" examples/stream.py "$connect_text" "$seconds"
    stop_ktsim
  else
    step "stream examples skipped (ktsim level: $ktsim_level)"
  fi
  ;;
install32)
  # shellcheck source=../../scripts/run32.sh
  . "$root/scripts/run32.sh"
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
    cmake -S examples -B "$work/examples$bits" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_C_FLAGS=-m$bits -DCMAKE_CXX_FLAGS=-m$bits \
      -DCMAKE_PREFIX_PATH="$stage" >"$work/examples$bits.log" 2>&1 \
      && cmake --build "$work/examples$bits" --target ktremote_hello >>"$work/examples$bits.log" 2>&1 \
      || { cat "$work/examples$bits.log"; exit 1; }
    if [ $bits = 64 ] || run32_mode; then
      "$work/examples$bits/ktremote_hello" >/dev/null
    else
      step "the 32-bit example is not run: $run32"
    fi
    if [ $bits = 32 ]; then
      uses_library "$work/examples32/ktremote_hello" "$dir32" libktremote.so.1
    else
      uses_library "$work/examples64/ktremote_hello" "$stage/lib" libktremote64.so.1
    fi
  done
  libs=$(PKG_CONFIG_PATH="$dir32/pkgconfig" pkg-config --libs-only-l ktremote)
  [ "$(echo $libs)" = "-lktremote" ] || { echo "32-bit pkg-config file gives '$libs'" >&2; exit 1; }

  step "32-bit Debian packages"
  (cd "$tree" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
  check_debian_packages "$work/deb"
  [ "$runtime_package" = libktremote1 ] && [ "$(dpkg-deb -f "$runtime_deb" Architecture)" = i386 ] \
    || { echo "the 32-bit runtime package is $runtime_package ($(dpkg-deb -f "$runtime_deb" Architecture))" >&2; exit 1; }
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
