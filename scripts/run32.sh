#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tells whether this machine runs 32-bit x86 programs, and how.
#
#   scripts/run32.sh              prints "native", "emulated" or "no: <why>"
#   scripts/run32.sh --self-test  checks that a probe the kernel refuses on
#                                 purpose (its machine field says ARM) is
#                                 reported as "no"
#
# Exits 0 when they run (natively or through qemu-i386 registered with the
# kernel's binfmt_misc), 1 when they do not. The answer comes from running a
# tiny 32-bit program: some x86-64 kernels are built without 32-bit support,
# and only running something tells.
#
# Sourced by other scripts for run32_mode, which sets run32 to the answer.
binfmt_entry=/proc/sys/fs/binfmt_misc/qemu-i386

# run32_mode [refuse]: with "refuse", the probe's ELF machine field is
# overwritten with ARM's, which no x86 kernel runs.
run32_mode() {
  local dir program status out
  dir=$(mktemp -d)
  program="$dir/probe32"
  if ! echo 'int main(void) { return 3; }' | cc -m32 -x c - -o "$program" 2>"$dir/cc.err"; then
    run32="no: cc -m32 cannot build a 32-bit program ($(tail -n1 "$dir/cc.err"))"
    rm -rf "$dir"
    return 1
  fi
  if [ "${1:-}" = refuse ]; then
    printf '\x28' | dd of="$program" bs=1 seek=18 conv=notrunc status=none
  fi
  status=0
  out=$("$program" 2>&1) || status=$?
  rm -rf "$dir"
  if [ "$status" -ne 3 ]; then
    run32="no: the kernel refuses 32-bit programs (${out##*: }; exit status $status)"
    return 1
  fi
  # A registered and enabled qemu-i386 handler takes every i386 program,
  # whether or not the kernel could run it itself.
  if [ -r "$binfmt_entry" ] && head -n1 "$binfmt_entry" | grep -qx enabled; then
    run32=emulated
  else
    run32=native
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  case "${1:-}" in
  --self-test)
    if run32_mode refuse; then
      echo "run32.sh: a probe made unrunnable on purpose was reported as \"$run32\"" >&2
      exit 1
    fi
    echo "run32.sh: a refused probe is detected ($run32)"
    ;;
  "")
    run32_mode
    status=$?
    echo "$run32"
    exit $status
    ;;
  *) echo "usage: scripts/run32.sh [--self-test]" >&2; exit 2 ;;
  esac
fi
