#!/usr/bin/env python3
"""Applies regwalk --diff --json's changes to OLD's regwalk --json and
prints the registry that gives, one line a key and a line a value, each
value as its exact bytes as the registry calls hand them out (a string
type always ends in a NUL there, stored or not), names folded as Windows compares them and the
lines sorted; given no diff, prints OLD itself so. Reads only the JSON:
the bytes are rebuilt from the documented schema, in the codepage named.

  apply_json_diff.py CODEPAGE OLD.json [DIFF.json]
"""
import json
import struct
import sys


def value_bytes(v, codepage):
    """A value's stored bytes, from --json's value schema alone."""
    if "data_hex" in v:
        return bytes.fromhex(v["data_hex"])
    data, code = v["data"], v["type_code"]
    if isinstance(data, int):
        return struct.pack("<I" if code == 4 else ">I", data)
    if isinstance(data, list):
        return b"".join(s.encode(codepage) + b"\0" for s in data) + (b"\0" if data else b"\0\0")
    return data.encode(codepage) + (b"\0" if v.get("terminated") else b"")


def handed_out(v, codepage):
    """The bytes the registry calls hand out: a string type's with a NUL."""
    data = value_bytes(v, codepage)
    if v["type_code"] in (1, 2, 7) and not data.endswith(b"\0"):
        data += b"\0"
    return data


def field_bytes(obj, field, codepage):
    if field + "_hex" in obj:
        return bytes.fromhex(obj[field + "_hex"])
    return obj[field].encode(codepage)


def fold(b):
    return bytes(c - 0x20 if 0x61 <= c <= 0x7A else c for c in b)


def main():
    codepage, old = sys.argv[1], sys.argv[2]
    keys = {}  # folded path -> {folded name: (type, bytes)}
    for line in open(old, encoding="utf-8"):
        key = json.loads(line)
        values = {}
        for v in key["values"]:
            values.setdefault(fold(field_bytes(v, "name", codepage)), (v["type_code"], handed_out(v, codepage)))
        keys[fold(field_bytes(key, "path", codepage))] = values
    for line in open(sys.argv[3], encoding="utf-8") if len(sys.argv) > 3 else []:
        change = json.loads(line)
        path = fold(field_bytes(change, "path", codepage))
        op = change["op"]
        if op == "key_removed":
            for p in [p for p in keys if p == path or p.startswith(path + b"\\")]:
                del keys[p]
        elif op == "key_added":
            keys.setdefault(path, {})
        elif op == "value_removed":
            del keys[path][fold(field_bytes(change["old"], "name", codepage))]
        else:
            new = change["new"]
            keys[path][fold(field_bytes(new, "name", codepage))] = (new["type_code"], handed_out(new, codepage))
    lines = []
    for path, values in keys.items():
        lines.append(path.hex())
        for name, (code, data) in values.items():
            lines.append(" ".join([path.hex(), name.hex(), str(code), data.hex()]))
    print("\n".join(sorted(lines)))


if __name__ == "__main__":
    main()
