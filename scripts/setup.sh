#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Run as root on a
# fresh Debian 12 machine; as another user it only reports what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++ g++-multilib
  googletest libgtest-dev libasio-dev
  # ktcli's HDF5 recording, and h5py for the tests that read its files back
  libhdf5-dev python3-h5py
)
# Extra package groups, chosen by arguments: "bench", "python", "packaging",
# "fuzz", "windows".
for group in "$@"; do
  case "$group" in
    bench) packages+=(libbenchmark-dev python3) ;;
    python) packages+=(python3 python3-pytest python3-numpy) ;;
    packaging) packages+=(pkgconf file dpkg-dev) ;;
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    windows) packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386) ;;
    *) echo "setup.sh: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
