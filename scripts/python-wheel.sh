#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Python package's wheel with the shared library of a build tree
# inside, tagged for that library's platform.
#
#   scripts/python-wheel.sh BUILD_DIR OUTDIR
#
# BUILD_DIR is a Linux tree (libktremote64.so or, 32-bit, libktremote.so) or
# a Windows cross tree (ktremote64.dll or ktremote.dll). The wheel,
# OUTDIR/ktremote-<version>-py3-none-<platform>.whl, installs offline:
#   pip install --no-index OUTDIR/ktremote-*.whl
# It builds offline too, with the system's setuptools and wheel
# (--no-build-isolation).
#
# A Linux tree's ktcli and ktsim travel along (ktremote/_bin), installed as
# the commands ktcli and ktsim, with every library they need beyond the base
# system (ktremote/_bin/lib, libhdf5 and what it pulls in): each program and
# library finds the others through $ORIGIN, so a venv with the wheel alone
# runs both. That needs patchelf.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tree=$(cd "${1:?usage: $0 BUILD_DIR OUTDIR}" && pwd)
out=${2:?usage: $0 BUILD_DIR OUTDIR}
python=/usr/bin/python3

library=
for candidate in src/libktremote64.so.1 src/libktremote.so.1 src/ktremote64.dll src/ktremote.dll \
                 ktremote64.dll ktremote.dll bin/ktremote64.dll bin/ktremote.dll; do
  if [ -f "$tree/$candidate" ]; then
    library=$tree/$candidate
    break
  fi
done
[ -n "$library" ] || { echo "python-wheel.sh: no ktremote library in $tree" >&2; exit 1; }

# The platform tag from the file's own header: ELF e_machine or PE machine.
platform=$("$python" - "$library" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read(4096)
if data[:4] == b"\x7fELF":
    machine = struct.unpack_from("<H", data, 18)[0]
    tags = {62: "linux_x86_64", 3: "linux_i686", 183: "linux_aarch64"}
elif data[:2] == b"MZ":
    machine = struct.unpack_from("<H", data, struct.unpack_from("<I", data, 0x3C)[0] + 4)[0]
    tags = {0x8664: "win_amd64", 0x14C: "win32"}
else:
    sys.exit("python-wheel.sh: neither an ELF nor a PE file: " + sys.argv[1])
if machine not in tags:
    sys.exit(f"python-wheel.sh: unknown machine {machine:#x} in {sys.argv[1]}")
print(tags[machine])
PY
)
case "$library" in
  *.dll) bundled=$(basename "$library") ;;
  *) bundled=$(basename "${library%.1}") ;;  # libktremote64.so
esac
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$tree/CMakeCache.txt")
[ -n "$version" ] || { echo "python-wheel.sh: no project version in $tree/CMakeCache.txt" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$root"/python/pyproject.toml "$root"/python/setup.py "$root"/python/README.md "$root"/LICENSE "$stage"/
mkdir "$stage/ktremote"
cp "$root"/python/ktremote/*.py "$root"/python/ktremote/py.typed "$stage/ktremote/"
rm -f "$stage"/ktremote/_installed*.py
cp -L "$library" "$stage/ktremote/$bundled"
# Debug information stays in the build tree.
case "$platform" in
  linux_*) strip --strip-debug "$stage/ktremote/$bundled" ;;
  win_amd64) if command -v x86_64-w64-mingw32-strip >/dev/null; then x86_64-w64-mingw32-strip --strip-debug "$stage/ktremote/$bundled"; fi ;;
  win32) if command -v i686-w64-mingw32-strip >/dev/null; then i686-w64-mingw32-strip --strip-debug "$stage/ktremote/$bundled"; fi ;;
esac

# The programs, with their libraries. Base system: what every Linux with a
# C++ runtime has (the C library's parts, libstdc++, libgcc_s).
if [ "${platform%%_*}" = linux ]; then
  for program in "$tree/tools/ktcli/ktcli" "$tree/tools/ktsim/ktsim"; do
    [ -x "$program" ] || continue
    command -v patchelf >/dev/null || { echo "python-wheel.sh: patchelf is needed to bundle the tools" >&2; exit 1; }
    # ldd cannot inspect a 32-bit program on a kernel that refuses to run
    # one: such a wheel goes without the tools, and says so.
    if ! needs=$(ldd "$program" 2>/dev/null); then
      echo "python-wheel.sh: ldd cannot inspect $program; the wheel goes without it" >&2
      continue
    fi
    mkdir -p "$stage/ktremote/_bin/lib"
    target="$stage/ktremote/_bin/$(basename "$program")"
    cp -L "$program" "$target"
    strip --strip-debug "$target"
    while read -r needed arrow path _; do
      [ "$arrow" = "=>" ] || continue
      case "$needed" in
        libc.so.*|libm.so.*|libdl.so.*|librt.so.*|libpthread.so.*|libresolv.so.*|libutil.so.*|\
        libstdc++.so.*|libgcc_s.so.*|ld-linux*) continue ;;
        libktremote*) patchelf --replace-needed "$needed" "$bundled" "$target"; continue ;;
      esac
      [ "$path" != "not" ] || { echo "python-wheel.sh: $program needs $needed, which is not found" >&2; exit 1; }
      if [ ! -f "$stage/ktremote/_bin/lib/$needed" ]; then
        cp -L "$path" "$stage/ktremote/_bin/lib/$needed"
        chmod 644 "$stage/ktremote/_bin/lib/$needed"
        strip --strip-debug "$stage/ktremote/_bin/lib/$needed"
        patchelf --set-rpath '$ORIGIN' "$stage/ktremote/_bin/lib/$needed"
      fi
    done <<<"$needs"
    patchelf --set-rpath '$ORIGIN/lib:$ORIGIN/..' "$target"
  done
fi

mkdir -p "$out"
rm -f "$out"/ktremote-"$version"-py3-none-"$platform".whl
(cd "$stage" && KTREMOTE_VERSION="$version" KTREMOTE_WHEEL_PLATFORM="$platform" \
  "$python" -m pip wheel --quiet --no-build-isolation --no-deps --no-index --wheel-dir "$stage/dist" . \
  >"$stage/pip.log" 2>&1) || { cat "$stage/pip.log" >&2; exit 1; }
wheel=$(ls "$stage"/dist/ktremote-*.whl)
mv "$wheel" "$out"/
echo "$out/$(basename "$wheel")"
