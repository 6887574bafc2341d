#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds the Windows DLLs with mingw-w64 (ktremote.dll for i686,
# ktremote64.dll for x86_64), checks their export and import tables, and runs
# the test suite of both under Wine. Called by scripts/test.sh; can be run
# on its own after scripts/setup.sh windows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
mkdir -p build

# The 38 exported functions, as declared in the public header.
mapfile -t expected < <(sed -n 's/^KTREMOTE_API KX_ERROR_CODE \(ktcon[A-Za-z0-9_]*\)(.*/\1/p' include/ktremote.h | sort)
if [ ${#expected[@]} -ne 38 ]; then
  echo "test-windows.sh: found ${#expected[@]} exports in include/ktremote.h, expected 38" >&2
  exit 1
fi

# check_dll <arch> <dll>: exactly the expected names, undecorated (a stdcall
# export would read name@N), and only system DLLs imported (-static keeps the
# C++ runtime and winpthread inside).
check_dll() {
  local arch=$1 dll=$2 dump
  dump=$("$arch-w64-mingw32-objdump" -p "$dll")
  local exported
  exported=$(awk '/\[Ordinal\/Name Pointer\] Table/ {t=1; next} t && /^\t\[ *[0-9]+\] / {print $3; next} t {t=0}' <<<"$dump" | sort)
  if [ "$exported" != "$(printf '%s\n' "${expected[@]}")" ]; then
    echo "$dll: export table differs from include/ktremote.h:" >&2
    diff <(printf '%s\n' "${expected[@]}") <(echo "$exported") >&2 || true
    return 1
  fi
  local imports bad
  imports=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | sort -u)
  bad=$(grep -vxE 'kernel32\.dll|msvcrt\.dll|ws2_32\.dll|mswsock\.dll|ole32\.dll|oleaut32\.dll|user32\.dll|advapi32\.dll|api-ms-win-.*' <<<"$imports" || true)
  if [ -n "$bad" ]; then
    echo "$dll: depends on non-system DLLs: $bad" >&2
    return 1
  fi
  echo "$dll: 38 exports, imports: $(echo $imports)"
}

# Configure and build both trees.
for arch in i686 x86_64; do
  tree=$([ $arch = i686 ] && echo win32 || echo win64)
  dll=$([ $arch = i686 ] && echo ktremote.dll || echo ktremote64.dll)
  echo "==== $tree"
  cmake -S . -B "build/$tree" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKTREMOTE_BUILD_TOOLS=OFF -DCMAKE_UNITY_BUILD=ON \
    >"build/$tree.configure.log" 2>&1 || { cat "build/$tree.configure.log"; exit 1; }
  cmake --build "build/$tree" -j "$jobs"
  check_dll $arch "build/$tree/src/$dll"
done

# Wine's 32-bit half is itself a 32-bit Linux program, which runs only where
# the kernel runs 32-bit programs natively (not through qemu-i386). There,
# one prefix with 32-bit support serves both trees; elsewhere a 64-bit-only
# prefix serves the 64-bit tree, and the 32-bit DLL is only built and its
# export table checked (above).
# shellcheck source=run32.sh
. scripts/run32.sh
if run32_mode && [ "$run32" = native ]; then
  trees=(win32 win64) wine=wine
  export WINEPREFIX="$root/build/wineprefix"
  prefix_ready() { [ -f "$WINEPREFIX/system.reg" ] && [ -d "$WINEPREFIX/drive_c/windows/syswow64" ]; }
else
  [ "$run32" = emulated ] && run32="32-bit programs run only through qemu-i386, which cannot start Wine's 32-bit loader"
  trees=(win64) wine=/usr/lib/wine/wine64
  export WINEPREFIX="$root/build/wineprefix64" WINEARCH=win64 WINELOADER=$wine
  prefix_ready() { [ -f "$WINEPREFIX/system.reg" ]; }
fi
# Wine's helper processes must not inherit ctest's output pipes (ctest would
# wait for them forever), so a persistent wineserver is started first,
# detached; it also saves the start-up of a server for every test.
export WINEDEBUG=-all DISPLAY=
if ! prefix_ready; then
  rm -rf "$WINEPREFIX"
  "$wine" wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
fi
wineserver -p </dev/null >/dev/null 2>&1 || true # already running is fine
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# Stopped from outside (test.sh stops it with its process group): the
# wineserver goes too.
trap 'exit 143' TERM INT
"$wine" wineboot </dev/null >/dev/null 2>&1
# The desktop process too: Wine starts it for the first program that makes
# a window (COM does), and it would hold that test's output pipe open.
("$wine" explorer.exe /desktop </dev/null >/dev/null 2>&1 &)
for _ in $(seq 50); do
  pgrep -f 'explorer.exe /desktop' >/dev/null && break
  sleep 0.2
done
# A "Kaltrop.App" left registered by an interrupted run would make the
# tests that expect no application connect to the fake one.
for view in 32 64; do
  "$wine" reg delete 'HKCR\Kaltrop.App' /f /reg:$view </dev/null >/dev/null 2>&1 || true
done

echo "==== Wine ready after ${SECONDS} s"
# A test process that has passed can, rarely (about 1 in 250 runs), crash
# at process exit under Wine's 32-bit loader, after its last test; the cause
# is not found yet (Linux ASan/UBSan/TSan runs of the same tests are clean).
# A crashed test is run once more; a real failure fails twice and still fails
# the build.
if [ ${#trees[@]} -eq 1 ]; then
  echo "==== win32 (Wine): tests SKIPPED: $run32"
fi
for tree in "${trees[@]}"; do
  echo "==== $tree (Wine)"
  ctest --test-dir "build/$tree" -j "$jobs" --output-on-failure --timeout 120 --no-tests=error \
    --repeat until-pass:2
done
echo "==== Windows builds passed (${SECONDS} s)"
