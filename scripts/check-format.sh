#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that every tracked C and C++ file is formatted as .clang-format
# says (Debian's clang-format 14), and that every source file carries the
# licence line (scripts/spdx.sh). Lists the files that are not and fails.
#
#   scripts/check-format.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' ':!:*.in')
/usr/bin/clang-format --dry-run -Werror "${files[@]}"
echo "check-format: ${#files[@]} files formatted"
# And that every source file carries the licence line.
"$root"/scripts/spdx.sh --check
