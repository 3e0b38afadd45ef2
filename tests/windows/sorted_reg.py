#!/usr/bin/env python3
"""Writes a REGEDIT4 file with its keys and values in the order Wine keeps.

Wine's registry holds subkeys and values sorted by name, whatever order an
import gave them; the store keeps the order of the file. A fixture sorted
the way Wine sorts gives both registries the same index order, so that the
tools' output can be compared byte for byte: nothing is left out or
rewritten, only the order of whole sections and of the values in each.

usage: sorted_reg.py IN.reg OUT.reg
"""
import sys


def folded(name):
    # Wine compares names folded to lower case: "WDM_MODEM" before "WDMMODEM".
    return name.lower()


def main():
    text = open(sys.argv[1], "rb").read().decode("latin-1")
    lines = text.replace("\r\n", "\n").split("\n")
    if lines[0].strip() != "REGEDIT4":
        sys.exit("sorted_reg.py: expects a REGEDIT4 file")
    sections = {}
    order = []
    current = None
    i = 1
    while i < len(lines):
        line = lines[i]
        i += 1
        if not line.strip() or line.startswith(";"):
            continue
        if line.startswith("["):
            path = line[1:line.rindex("]")]
            if path not in sections:
                sections[path] = {}
                order.append(path)
            current = sections[path]
            continue
        logical = line
        while logical.endswith("\\") and "=hex" in logical:
            logical = logical[:-1] + lines[i].lstrip()
            i += 1
        if logical.startswith("@"):
            name = ""
        else:
            end = 1
            while logical[end] != '"':
                end += 2 if logical[end] == "\\" else 1
            name = logical[1:end].replace('\\"', '"').replace("\\\\", "\\")
        current[name] = logical
    out = ["REGEDIT4", ""]
    for path in sorted(order, key=lambda p: [folded(part) for part in p.split("\\")]):
        out.append("[" + path + "]")
        for name in sorted(sections[path], key=folded):
            out.append(sections[path][name])
        out.append("")
    open(sys.argv[2], "wb").write(("\r\n".join(out) + "\r\n").encode("latin-1"))


main()
