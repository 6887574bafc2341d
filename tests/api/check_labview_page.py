# SPDX-License-Identifier: MIT
"""Checks docs/labview.md against include/ktremote.h: one section per
exported function, none more; each section's table lists the function's
parameters in order with their C types as the header declares them, and
gives each a LabVIEW type and way of passing that fits its C type.

usage: check_labview_page.py ktremote.h labview.md
"""

import re
import sys

POINTER_SIZED = "Numeric, Unsigned Pointer-sized Integer"
# What the page may say for each C type: (LabVIEW type, how it is passed).
FITTING = {
    "KTXInstance*": {(POINTER_SIZED, "Value")},
    "ChannelInstance*": {(POINTER_SIZED, "Value")},
    "KTXInstance**": {(POINTER_SIZED, "Pointer to Value")},
    "ChannelInstance**": {(POINTER_SIZED, "Pointer to Value")},
    "char***": {(POINTER_SIZED, "Pointer to Value")},
    "double**": {(POINTER_SIZED, "Pointer to Value")},
    "size_t": {(POINTER_SIZED, "Value")},
    "size_t*": {(POINTER_SIZED, "Pointer to Value")},
    "intptr_t": {("Numeric, Signed Pointer-sized Integer", "Value")},
    "int": {("Numeric, Signed 32-bit Integer", "Value")},
    "int*": {("Numeric, Signed 32-bit Integer", "Pointer to Value")},
    "bool": {("Numeric, Unsigned 8-bit Integer", "Value")},
    "bool*": {("Numeric, Unsigned 8-bit Integer", "Pointer to Value")},
    "double": {("Numeric, 8-byte Double", "Value")},
    "double*": {("Numeric, 8-byte Double", "Pointer to Value"),
                ("Array, 8-byte Double, 1 dimension", "Array Data Pointer")},
    "const char*": {("String", "C String Pointer")},
    "char*": {("String", "C String Pointer"),
              ("Array, Unsigned 8-bit Integer, 1 dimension", "Array Data Pointer")},
}


def header_functions(text):
    """{name: [(C type, parameter name), ...]} in the header's order."""
    functions = {}
    for name, arguments in re.findall(r"KTREMOTE_API\s+KX_ERROR_CODE\s+(ktcon\w+)\s*\(([^)]*)\)\s*;", text):
        parameters = []
        for argument in arguments.split(","):
            found = re.fullmatch(r"(.*?)\s*(\w+)", " ".join(argument.split()))
            parameters.append((re.sub(r"\s*\*", "*", found.group(1)), found.group(2)))
        functions[name] = parameters
    return functions


def page_sections(text):
    """{name: [(parameter, C type, LabVIEW type, pass), ...]}, and the names
    of sections that came twice."""
    sections, twice = {}, []
    for block in re.split(r"^### ", text, flags=re.MULTILINE)[1:]:
        name = re.match(r"`(\w+)`", block)
        if not name:
            continue
        rows = re.findall(r"^\| `(\w+)` \| `([^`]+)` \| ([^|]+?) \| ([^|]+?) \|$", block, re.MULTILINE)
        if name.group(1) in sections:
            twice.append(name.group(1))
        sections[name.group(1)] = rows
    return sections, twice


def problems_of(header_text, page_text):
    functions = header_functions(header_text)
    sections, twice = page_sections(page_text)
    problems = [f"{name} has two sections" for name in twice]
    if len(functions) != 38:
        problems.append(f"read {len(functions)} functions from the header, not 38")
    for name in functions.keys() - sections.keys():
        problems.append(f"{name} has no section")
    for name in sections.keys() - functions.keys():
        problems.append(f"{name} is no function of the header")
    for name in functions.keys() & sections.keys():
        declared = functions[name]
        listed = [(ctype, parameter) for parameter, ctype, _, _ in sections[name]]
        if listed != declared:
            problems.append(f"{name}: the page lists {listed}, the header declares {declared}")
        for parameter, ctype, labview, passing in sections[name]:
            if (labview, passing) not in FITTING.get(ctype, set()):
                problems.append(f"{name}({parameter}): {labview} / {passing} does not fit {ctype}")
    return problems


def main(header_path, page_path):
    with open(header_path, encoding="utf-8") as header, open(page_path, encoding="utf-8") as page:
        problems = problems_of(header.read(), page.read())
    for problem in sorted(problems):
        print(problem)
    print("the LabVIEW page matches the header" if not problems else f"{len(problems)} differences")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
