#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages the build and the tests need, and makes 32-bit
# programs runnable where the kernel cannot run them itself. Run as root on a
# fresh Debian 12 machine; as another user it only reports what is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  build-essential cmake ninja-build g++ g++-multilib
  # The i386 C library in the multiarch directory: with it CMake knows the
  # 32-bit tree's library architecture and installs into lib/i386-linux-gnu,
  # where 32-bit consumers of a shared prefix find the package.
  libc6:i386
  googletest libgtest-dev libasio-dev
  # The dead-link tests cut links in a network namespace of their own.
  util-linux iproute2
  # ktcli's HDF5 recording, and h5py for the tests that read its files back
  libhdf5-dev python3-h5py
)
# Extra package groups, chosen by arguments: "bench", "python", "packaging",
# "fuzz", "windows", "matlab" (Octave for the MATLAB/Octave toolbox tests).
for group in "$@"; do
  case "$group" in
    bench) packages+=(libbenchmark-dev python3 python3-numpy) ;;
    python) packages+=(python3 python3-pytest python3-numpy python3-pip python3-venv python3-setuptools python3-wheel) ;;
    packaging) packages+=(pkgconf file dpkg-dev man-db groff-base patchelf) ;;
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    matlab) packages+=(octave liboctave-dev python3) ;;
    windows) packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386) ;;
    *) echo "setup.sh: unknown group '$group'" >&2; exit 2 ;;
  esac
done

install_packages() {
  missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh: missing packages (run as root to install): ${missing[*]}" >&2
    exit 1
  fi
  if grep -q ':i386$' <<<"$(printf '%s\n' "${missing[@]}")"; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A mirror that is being synced fails an index now and then: try again, and
  # go on with the indexes there are if it keeps failing (the install then says
  # what it cannot find).
  updated=no
  for attempt in 1 2 3; do
    apt-get update -q && { updated=yes; break; }
    echo "setup.sh: apt-get update failed (attempt $attempt)" >&2
    if [ "$attempt" -lt 3 ]; then sleep $((attempt * 10)); fi
  done
  install() { apt-get install -y -q --no-install-recommends "$@" "${missing[@]}"; }
  install && return 0
  # An i386 library must have exactly the version of its amd64 twin. When only
  # the security suite's i386 index failed, the amd64 candidates come from that
  # suite and the i386 ones cannot follow. Preferring the main suites' versions,
  # which both architectures have, resolves it; packages already installed are
  # never downgraded by this.
  if [ "$updated" = no ] && grep -q ':i386$' <<<"$(printf '%s\n' "${missing[@]}")"; then
    echo "setup.sh: retrying with the main suites' versions preferred over the security suite's" >&2
    prefs=$(mktemp -d)
    trap 'rm -rf "$prefs"' EXIT
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$prefs/ktremote-setup.pref"
    install -o Dir::Etc::PreferencesParts="$prefs"
  else
    exit 1
  fi
}

# The 32-bit tree's tests run 32-bit programs, and some x86-64 kernels are
# built without support for them. There, as root, the kernel is told to run
# them through qemu-i386 (binfmt_misc), which covers the programs that tests
# start themselves too. A kernel that runs them is left alone. Where neither
# works, scripts/test.sh still builds the 32-bit tree and skips its tests.
enable_32bit_programs() {
  # shellcheck source=run32.sh
  . "$root/scripts/run32.sh"
  if run32_mode; then
    echo "setup.sh: 32-bit programs run ($run32)"
    return 0
  fi
  echo "setup.sh: $run32"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh: not root, so no emulator is set up: the 32-bit tests will be skipped"
    return 0
  fi
  if ! dpkg-query -W -f='${Status}' qemu-user 2>/dev/null | grep -q "install ok installed" \
    && ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends qemu-user; then
    echo "setup.sh: qemu-user cannot be installed: the 32-bit tests will be skipped"
    return 0
  fi
  local binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -e "$binfmt/register" ] \
    && ! mount -t binfmt_misc binfmt_misc "$binfmt"; then
    echo "setup.sh: binfmt_misc cannot be mounted: the 32-bit tests will be skipped"
    return 0
  fi
  # The i386 ELF magic and mask of Debian's qemu-user-binfmt. "F" opens the
  # interpreter now, so it works in other mount namespaces too. An entry that
  # is there already is enabled, not registered again (the kernel refuses a
  # second registration under the same name).
  if [ -e "$binfmt/qemu-i386" ]; then
    echo 1 >"$binfmt/qemu-i386"
  else
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
      >"$binfmt/register"
  fi
  if run32_mode; then
    echo "setup.sh: 32-bit programs run ($run32, through qemu-i386)"
  else
    echo "setup.sh: 32-bit programs still do not run ($run32): the 32-bit tests will be skipped"
  fi
}

install_packages
enable_32bit_programs
