#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Puts the licence line "SPDX-License-Identifier: MIT" near the top of every
# tracked source file that lacks it, in the file's own comment syntax: the
# first line (after a "#!" line), or in MATLAB files after the help text,
# which MATLAB shows from the first comment block.
#
#   scripts/spdx.sh           adds the line where it is missing
#   scripts/spdx.sh --check   lists the files without it and fails
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
git ls-files -z '*.c' '*.cpp' '*.h' '*.hpp' '*.py' '*.sh' '*.cmake' '*CMakeLists.txt' '*.m' .ci/run \
  | /usr/bin/python3 -c '
import sys
check = sys.argv[1:] == ["--check"]
TAG = "SPDX-License-Identifier: MIT"
missing = []
for path in sys.stdin.read().split("\0"):
    if not path:
        continue
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    if any(TAG in line for line in lines[:30]):
        continue
    missing.append(path)
    if check:
        continue
    if path.endswith((".c", ".h")) and (path.startswith("include/") or path.endswith(".c")):
        line, at = f"/* {TAG} */", 0
    elif path.endswith((".cpp", ".h", ".hpp")):
        line, at = f"// {TAG}", 0
    elif path.endswith(".m"):
        at = 1
        while at < len(lines) and lines[at].lstrip().startswith("%"):
            at += 1
        indent = lines[1][: len(lines[1]) - len(lines[1].lstrip())] if at > 1 else ""
        lines[at:at] = [""]
        at += 1
        line = f"{indent}% {TAG}"
    else:
        line, at = f"# {TAG}", 1 if lines[0].startswith("#!") else 0
    lines.insert(at, line)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
for path in missing:
    print(("no licence line: " if check else "licence line added: ") + path)
sys.exit(1 if check and missing else 0)
' "$@"
