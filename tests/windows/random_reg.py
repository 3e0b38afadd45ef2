#!/usr/bin/env python3
"""Writes random .reg files for the import differential: valid lines,
near-valid lines (one thing changed), garbage lines and hex values continued
over lines, broken or not, all below HKEY_CURRENT_USER\\Software\\KormaldCase.
REGEDIT4 files are ASCII and a few Latin-1 letters (codepage 1252); version 5
files are UTF-16LE with a byte order mark.

  random_reg.py SEED COUNT DIRECTORY

Left out on purpose, because Wine's regedit and Windows part ways on them or
Wine's own behaviour is undefined there: the escape \\0 and a string ending
in a backslash at the line's end (Wine stops reading the file),
deleting a root or a key under an unknown root (Wine exits), string-typed hex
data that could end up empty (Wine reads before its buffer), NUL bytes,
names over 255 characters, types of 0xFFFFFFFF (Wine looks at an errno an
earlier line may have left); and what Wine's export cannot give back as it
was imported (dwords not 4 bytes long, bytes codepage 1252 lacks in string
data, a NUL inside a REG_SZ).
"""
import random
import sys

CASE_KEY = "HKEY_CURRENT_USER\\Software\\KormaldCase"
NAMES = ["a", "b", "A", "Wert", "x y", "q\\\"q", "back\\\\slash", "", "caf\u00e9"]
SUBKEYS = ["", "\\s", "\\s\\t", "\\S", "\\u", "\\s\\\\v", "\\w\\", "\\\u00e4"]


def quoted(rng):
    text = rng.choice(["", "text", "two words", "a\\\\b", "say \\\"hi\\\"", "\u00e9t\u00e9", "x;y", "line\\nbreak"])
    return '"' + text + '"'


# Bytes codepage 1252 leaves undefined: Wine keeps a REGEDIT4 file's
# string-typed hex data as UTF-16, through which they do not come back.
UNDEFINED_1252 = {0x81, 0x8D, 0x8F, 0x90, 0x9D}
TEXT_1252 = [0] + list(range(0x20, 0x7F)) + list(range(0xA0, 0x100))
# Whether the file being written is a version 5 one.
VERSION5 = [False]


def hex_bytes(rng, count, no_nul=False):
    choices = [b for b in range(1 if no_nul else 0, 256) if b not in UNDEFINED_1252]
    return ",".join("%02x" % rng.choice(choices) for _ in range(count))


def valid_value(rng, lines):
    name = rng.choice(NAMES)
    lead = "@" if rng.random() < 0.1 else '"' + name + '"'
    kind = rng.randrange(7)
    if kind == 0:
        lines.append(lead + "=" + quoted(rng))
    elif kind == 1:
        lines.append(lead + "=dword:%0*x" % (rng.choice([1, 4, 8]), rng.randrange(1 << 32) & 0xFFFFFFFF))
    elif kind == 2:
        lines.append(lead + "=hex:" + hex_bytes(rng, rng.randrange(0, 6)))
    elif kind == 3:
        # A string type, never empty; in a version 5 file UTF-16 text that
        # codepage 1252 holds (a lone surrogate would not come back through
        # Wine's export). A REG_SZ holds no NUL before its end: Wine's
        # export writes such a string only up to it.
        string_type = rng.choice([1, 2, 7])
        if VERSION5[0]:
            units = [rng.choice(TEXT_1252[string_type == 1:]) for _ in range(rng.randrange(1, 4))]
            data = ",".join("%02x,%02x" % (u & 0xFF, u >> 8) for u in units)
        else:
            data = hex_bytes(rng, 2 * rng.randrange(1, 4), string_type == 1)
        lines.append(lead + "=hex(%d):" % string_type + data)
    elif kind == 4:
        # A dword type's data is 4 bytes here: Wine's export reads 4 from
        # any, so a shorter one would not come back as it was imported.
        kind = rng.choice([0, 3, 4, 5, 0x20, 0xffff0001])
        lines.append(lead + "=hex(%x):" % kind + hex_bytes(rng, 4 if kind in (4, 5) else rng.randrange(1, 5)))
    elif kind == 5:
        lines.append(lead + "=-")
    else:
        # Hex over lines, perhaps with blank and comment lines inside.
        first = lead + "=hex:" + hex_bytes(rng, rng.randrange(1, 4)) + ",\\"
        lines.append(first)
        for _ in range(rng.randrange(1, 4)):
            if rng.random() < 0.2:
                lines.append(rng.choice(["", "  ;comment", "\t"]))
            lines.append("  " + hex_bytes(rng, rng.randrange(1, 4)) + ",\\")
        lines.append("  " + hex_bytes(rng, rng.randrange(1, 3)))


def near_valid(rng, lines):
    start = len(lines)
    valid_value(rng, lines)
    at = rng.randrange(start, len(lines))
    # A dword type cut short would meet Wine's export of short dwords, and
    # a string type cut short Wine's reading before its buffer: binary here.
    line = lines[at]
    for kind in "12457":
        line = line.replace("=hex(%s):" % kind, "=hex(3):")
    change = rng.randrange(12)
    if change == 0 and line:
        # Not cut after a backslash: a string ending there ends Wine's
        # reading of the file (as \0 does), Windows' only the value's.
        line = line[: rng.randrange(len(line))].rstrip("\\")
    elif change == 1:
        line = line.replace("=", " = ", 1)
    elif change == 2:
        line = line + rng.choice([" ;c", ";c", "#c", " x", "  ", "\t"])
    elif change == 3:
        line = line.replace("dword:", rng.choice(["Dword:", "dword: ", "dword:0x", "dword:-"]))
    elif change == 4:
        line = line.replace("hex", rng.choice(["HEX", "hex ", "Hex"]), 1)
    elif change == 5:
        line = line.replace(",", rng.choice([" ,", ",,", ", ", ",\\"]), 1)
    elif change == 6:
        line = line.replace("\\", rng.choice(["", "\\ x", "\\ ;c", "\\\\"]), 1)
    elif change == 7:
        line = rng.choice([",", "\\", "#", "x", "\"z\"=\"1\"", "[" + CASE_KEY + "]"]) + line
    elif change == 8:
        line = line.replace('"', "", 1)
    elif change == 9:
        line = line.replace("=", "", 1)
    elif change == 10:
        line = line + ' "b"="2"'
    else:
        line = line.replace("hex(", rng.choice(["hex( ", "hex(0x", "hex(+", "hex("]), 1)
    lines[at] = line


def key_line(rng):
    kind = rng.randrange(10)
    sub = rng.choice(SUBKEYS)
    if kind == 0:
        return "[-" + CASE_KEY + rng.choice(["\\s", "\\u", "\\s\\t", "\\\\w"]) + "]"
    if kind == 1:
        return "[ " + CASE_KEY + sub + "]"
    if kind == 2:
        return "[" + CASE_KEY + sub
    if kind == 3:
        return "[" + CASE_KEY + sub + "] junk"
    if kind == 4:
        return "[HKCU\\Software\\KormaldCase" + sub + "]"
    if kind == 5:
        return "[hkey_current_user\\Software\\KormaldCase" + sub + "]"
    return "[" + CASE_KEY + sub + "]"


def garbage(rng):
    return rng.choice(["Hello", "DEL x", "=", "@", "\"", "]", "[]", "-", "\\", "0x10", "\"v\"=1",
                       "\"v\"=str:\"x\"", "\"unterminated", "%SystemRoot%\\x", "\u00e4\u00f6\u00fc"])


def file_lines(rng):
    lines = ["", "[" + CASE_KEY + "]"]
    for _ in range(rng.randrange(5, 40)):
        roll = rng.random()
        if roll < 0.15:
            lines.append(key_line(rng))
        elif roll < 0.55:
            valid_value(rng, lines)
        elif roll < 0.85:
            near_valid(rng, lines)
        elif roll < 0.95:
            lines.append(garbage(rng))
        else:
            lines.append(rng.choice(["", "; comment", "# comment", "   "]))
    return lines


def main():
    seed, count, directory = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    rng = random.Random(seed)
    for number in range(count):
        version5 = number % 2 == 1
        VERSION5[0] = version5
        ends = rng.choice(["\r\n", "\n", "\r"])
        text = ("Windows Registry Editor Version 5.00" if version5 else "REGEDIT4") + ends
        text += ends.join(file_lines(rng)) + rng.choice([ends, ""])
        data = b"\xff\xfe" + text.encode("utf-16-le") if version5 else text.encode("cp1252")
        with open("%s/random%d-%d.reg" % (directory, number, 5 if version5 else 4), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
