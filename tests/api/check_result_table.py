# SPDX-License-Identifier: MIT
"""Checks that python/ktremote/errors.py names and explains every result code
exactly as include/ktremote_results.h does, and that the exceptions show
those explanations.

usage: check_result_table.py ktremote_results.h errors.py
"""

import ast
import importlib.util
import re
import sys


def header_table(path):
    text = open(path, encoding="utf-8").read()
    rows = re.findall(r'X\((KX_\w+),\s*(-?\d+),\s*("(?:[^"\\]|\\.)*")\)', text)
    # A C string literal of this table is also a Python one.
    return {int(value): (name, ast.literal_eval(meaning)) for name, value, meaning in rows}


def load_errors(path):
    found = importlib.util.spec_from_file_location("ktremote_errors", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def main(header_path, errors_path):
    table = header_table(header_path)
    errors = load_errors(errors_path)
    problems = []
    if len(table) < 28:
        problems.append(f"only {len(table)} rows read from {header_path}")
    names = {code: name for code, (name, _) in table.items()}
    meanings = {code: meaning for code, (_, meaning) in table.items()}
    for what, mine, theirs in (("RESULT_NAMES", errors.RESULT_NAMES, names),
                               ("RESULT_MEANINGS", errors.RESULT_MEANINGS, meanings)):
        for code in sorted(set(mine) | set(theirs)):
            if mine.get(code) != theirs.get(code):
                problems.append(f"{what}[{code}] is {mine.get(code)!r}, the header has {theirs.get(code)!r}")
    for code, (name, meaning) in table.items():
        if code >= 0:
            continue  # results, not failures: no exception
        shown = str(errors.error_for(code, "ktconSomething"))
        if f"{name} ({code}): {meaning}" not in shown:
            problems.append(f"error_for({code}) shows {shown!r}")
    for problem in problems:
        print(problem)
    print("result tables agree" if not problems else f"{len(problems)} differences")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
