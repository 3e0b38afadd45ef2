#!/usr/bin/python3
"""Dumps a CREG hive with python3-libcreg (pycreg), an independent reader,
in the line format of the tests' DumpRegistry: each key's full path, then
"path|name|type|hex data" for each of its values, then its subkeys.

String data is shown as the registry calls hand it out: with a terminating
NUL added when the file did not store one. pycreg gives names decoded from
Windows-1252; they are turned back into the file's bytes.

Exit status 77 when pycreg is not installed."""
import sys

try:
    import pycreg
except ImportError:
    sys.exit(77)

STRING_TYPES = (1, 2, 7)


def name_bytes(name):
    return name.encode("cp1252", errors="surrogateescape") if name else b""


def dump(key, path, out):
    out.append(path)
    for i in range(key.number_of_values):
        # pycreg misbehaves when many value objects are alive at once: copy
        # each value out before fetching the next.
        value = key.get_value(i)
        name = name_bytes(value.name)
        kind = value.type
        data = bytes(value.data or b"")
        del value
        if kind in STRING_TYPES and (not data or data[-1] != 0):
            data += b"\0"
        out.append(path + b"|" + name + b"|" + str(kind).encode() + b"|" + data.hex().encode())
    for i in range(key.number_of_sub_keys):
        sub = key.get_sub_key(i)
        dump(sub, path + b"\\" + name_bytes(sub.name), out)


def main():
    hive = pycreg.file()
    hive.open(sys.argv[1])
    out = []
    dump(hive.get_root_key(), sys.argv[2].encode() if len(sys.argv) > 2 else b"HKEY_LOCAL_MACHINE", out)
    sys.stdout.buffer.write(b"\n".join(out) + b"\n")


if __name__ == "__main__":
    main()
