#!/usr/bin/env python3
"""Generate the code tables of the "General" sort orders.

By default: jet/base/sort_general_table.inc, the Jet 4 "General" order
(sort order version 0, "General legacy") from index_codes_genleg.txt and
index_codes_ext_genleg.txt. With --general: jet/base/sort_general_v1_table.inc,
the newer "General" order of ACE14 and later (sort order version 1) from
index_codes_gen.txt and index_codes_ext_gen.txt, which have the same shape.

The two input files (index_codes_genleg.txt for U+0000..U+00FF and
index_codes_ext_genleg.txt for U+0100..U+FFFF without the surrogates) hold one
line per UTF-16 code unit: a kind letter followed by comma-separated hex byte
strings. Neighbouring code units very often share their kind and extra codes
while their inline code grows by 0 or 1, so the table is written as runs:
each run gives its first code unit, its length, the step of its inline code
and the code bytes of its first member. The engine looks a code unit up with a
binary search over the runs.

Usage: gen_sort_general.py [--general] REFERENCE_DIR [OUTPUT]
  REFERENCE_DIR  folder holding the two index_codes files
  OUTPUT         default: jet/base/sort_general_table.inc (sort_general_v1_table.inc
                 with --general) beside this script's repo
"""

import os
import sys

MAX_BYTES = 8
KINDS = "SIUPZGX"


def parse_hex(text, required):
    if text == "":
        if required:
            raise ValueError("empty code bytes")
        return b""
    if len(text) % 2:
        text = "0" + text  # the tables drop one leading zero
    return bytes.fromhex(text)


def parse_line(line, code_unit):
    kind = line[0]
    fields = line[1:].split(",") if len(line) > 1 else []
    where = "U+%04X" % code_unit
    inline = extra = b""
    flag = 0
    modifier = 0
    if kind in "SUG":
        if len(fields) != 1:
            raise ValueError("%s: expected one field in %r" % (where, line))
        inline = parse_hex(fields[0], True)
    elif kind == "I":
        if len(fields) != 2:
            raise ValueError("%s: expected two fields in %r" % (where, line))
        inline = parse_hex(fields[0], True)
        extra = parse_hex(fields[1], True)
    elif kind == "P":
        if len(fields) != 1:
            raise ValueError("%s: expected one field in %r" % (where, line))
        mod = parse_hex(fields[0], True)
        if len(mod) != 1:
            raise ValueError("%s: modifier must be one byte in %r" % (where, line))
        modifier = mod[0]
    elif kind == "Z":
        if len(fields) != 3:
            raise ValueError("%s: expected three fields in %r" % (where, line))
        inline = parse_hex(fields[0], True)
        extra = parse_hex(fields[1], False)
        # "1" is the first flag; anything else (written as "2" or left empty)
        # is the second.
        flag = 1 if fields[2] == "1" else 2
    elif kind == "X":
        if fields:
            raise ValueError("%s: ignored character with codes %r" % (where, line))
    else:
        raise ValueError("%s: unknown kind %r" % (where, kind))
    if len(inline) > MAX_BYTES or len(extra) > MAX_BYTES:
        raise ValueError("%s: more than %d code bytes in %r" % (where, MAX_BYTES, line))
    return kind, inline, extra, flag, modifier


def load(ref_dir, suffix):
    low_name = "index_codes_%s.txt" % suffix
    high_name = "index_codes_ext_%s.txt" % suffix
    with open(os.path.join(ref_dir, low_name), encoding="ascii") as f:
        low = f.read().split("\n")
    with open(os.path.join(ref_dir, high_name), encoding="ascii") as f:
        high = f.read().split("\n")
    low = [l for l in low if l != ""]
    high = [l for l in high if l != ""]
    units = list(range(0x0000, 0x0100))
    ext_units = [u for u in range(0x0100, 0x10000) if not 0xD800 <= u <= 0xDFFF]
    if len(low) != len(units):
        raise ValueError("%s: %d lines, expected %d" % (low_name, len(low), len(units)))
    if len(high) != len(ext_units):
        raise ValueError("%s: %d lines, expected %d" % (high_name, len(high), len(ext_units)))
    return [(u, parse_line(l, u)) for u, l in zip(units + ext_units, low + high)]


def as_int(b):
    return int.from_bytes(b, "big") if b else 0


def make_runs(entries):
    runs = []  # [first, count, step, kind, inline, extra, flag, modifier]
    for unit, (kind, inline, extra, flag, modifier) in entries:
        if runs:
            r = runs[-1]
            last = r[0] + r[1] - 1
            same_shape = (unit == last + 1 and r[3] == kind and r[5] == extra
                          and r[6] == flag and r[7] == modifier and len(r[4]) == len(inline))
            if same_shape:
                expected_step = as_int(inline) - (as_int(r[4]) + r[2] * (r[1] - 1))
                if r[1] == 1 and expected_step in (0, 1):
                    r[2] = expected_step
                    r[1] += 1
                    continue
                if r[1] > 1 and expected_step == r[2]:
                    r[1] += 1
                    continue
        runs.append([unit, 1, 0, kind, inline, extra, flag, modifier])
    return runs


def c_bytes(b):
    return "{" + ",".join("0x%02X" % x for x in b) + "}" if b else "{}"


def write(runs, out_path, general):
    if general:
        what = "the \"General\" sort order of ACE14 and later (locale 1033, version 1)"
        suffix, array = "gen", "kSortRunsV1"
    else:
        what = "the Jet 4 \"General\" sort order (locale 1033, version 0)"
        suffix, array = "genleg", "kSortRuns"
    lines = [
        "// Generated by scripts/gen_sort_general.py%s; do not edit." % (" --general" if general else ""),
        "//",
        "// Sort codes of %s," % what,
        "// one run of UTF-16 code units per row. Derived from the data files",
        "// index_codes_%s.txt and index_codes_ext_%s.txt of Jackcess" % (suffix, suffix),
        "// (https://github.com/jahlborn/jackcess), Apache License 2.0; see NOTICE.",
        "//",
        "// Row: first code unit, count, step of the inline code, kind, inline",
        "// (or unprintable) code bytes of the first member, extra code bytes,",
        "// flag (Z kind: 1 or 2), modifier (P kind).",
        "",
        "// clang-format off",
        "inline constexpr SortRun %s[] = {" % array,
    ]
    for first, count, step, kind, inline, extra, flag, modifier in runs:
        lines.append("{0x%04X,%d,%d,'%s',%d,%d,%s,%s,%d,0x%02X}," % (
            first, count, step, kind, len(inline), len(extra), c_bytes(inline), c_bytes(extra),
            flag, modifier))
    lines.append("};")
    lines.append("// clang-format on")
    with open(out_path, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def main(argv):
    general = len(argv) > 1 and argv[1] == "--general"
    if general:
        argv = argv[:1] + argv[2:]
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    ref_dir = argv[1]
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    default = "sort_general_v1_table.inc" if general else "sort_general_table.inc"
    out_path = argv[2] if len(argv) > 2 else os.path.join(repo, "jet", "base", default)
    runs = make_runs(load(ref_dir, "gen" if general else "genleg"))
    write(runs, out_path, general)
    print("%s: %d runs" % (out_path, len(runs)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
