#!/usr/bin/env python3
"""Makes the small reference inputs in this directory and the AVQ files that
velkor must produce from them, byte for byte.

The expected outputs are computed here, independently of the C++ code, from
the description of the AVQ forms: header line (given, or built from the
sampling-frequency estimate and the UTC start time), block completion,
16-bit saturation with per-block counts, the two time-header forms, and the
ASCII fields in printf "%.0f" / "%.14g" notation. The end-to-end tests run
velkor on the inputs and compare with these files.

    python3 tests/data/make_reference.py
"""
import datetime
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = 512

# Each case: output file name, velkor arguments after the inputs are named
# (informative; the e2e tests hold the same list), and the settings.
CASES = [
    # name, inputs, binary, scale, end mode, normaltime, minutes-in-day
    ("ref-4col.avq", "4col", True, 100.0, "zero", True, False),
    ("ref-4col-ascii.txt", "4col", False, 100.0, "zero", True, False),
    ("ref-2col-mirror-unix.avq", "2col", True, 1.0, "mirror", False, False),
    ("ref-2col-mirror-day.txt", "2col", False, 1.0, "mirror", True, True),
    ("ref-2col-truncate.avq", "2col", True, 1.0, "truncate", True, False),
]
COMMENT = "!REF station: y sampfrek: 4"


def make_inputs():
    # 4-column: 600 rows at 20 Hz from 1700000012.25 (2023-11-14 22:13:32.25),
    # values in hundreds of pascal so that scale 100 clips a few.
    rows4 = []
    for i in range(600):
        t = "%.2f" % (1700000012.25 + i * 0.05)
        a = 3.2 * math.sin(i / 7.0) + (400.0 if i in (5, 520) else 0.0)
        b = -1.25 + (i % 17) / 8.0 - (500.0 if i == 6 else 0.0)
        c = (i % 50) * 0.015625  # exact binary fractions
        rows4.append((t, "%.4f" % a, "%.3f" % b, repr(c)))
    with open(os.path.join(HERE, "ref-4col.txt"), "w", newline="\n") as f:
        for r in rows4:
            f.write(" ".join(r) + "\n")
    # 2-column: 300 rows at 4 Hz from 1262347509.75, one shared comment,
    # channel 2 and 3 times equal to channel 1's.
    for ch in range(3):
        with open(os.path.join(HERE, "ref-ch%d.txt" % (ch + 1)), "w", newline="\n") as f:
            f.write(COMMENT + "\r\n")  # the carriage return is not kept
            for i in range(300):
                t = 1262347509.75 + i * 0.25
                v = (ch + 1) * 1000.0 + i * (1 if ch != 1 else -3) + 0.5 * (i % 3)
                f.write("%.2f\t%g\n" % (t, v))


def read_inputs(kind):
    """Rows of (time of channel 1, [three values]) and the header comment."""
    if kind == "4col":
        rows = []
        for line in open(os.path.join(HERE, "ref-4col.txt")):
            p = [float(x) for x in line.split()]
            rows.append((p[0], p[1:4]))
        return rows, ""
    cols = []
    comment = ""
    for ch in range(3):
        lines = open(os.path.join(HERE, "ref-ch%d.txt" % (ch + 1)), newline="").read().split("\n")
        if lines[0].startswith("!"):
            comment = lines[0].replace("\r", "")
            lines = lines[1:]
        cols.append([[float(x) for x in l.split()] for l in lines if l.strip()])
    rows = [(cols[0][i][0], [cols[c][i][1] for c in range(3)]) for i in range(len(cols[0]))]
    return rows, comment


def built_header(rows, normaltime):
    n = len(rows)
    if n >= 11:
        f = 10.0 / (rows[10][0] - rows[0][0])
    elif n >= 2:
        f = (n - 1) / (rows[n - 1][0] - rows[0][0])
    else:
        f = 0.0
    start = int(rows[0][0]) if n else 0  # int() truncates toward zero
    d = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=start)
    return "!%s512Tidserier sampfrek: %s gain: 1 station: x %s" % (
        "S" if normaltime else "U", "%g" % f, d.strftime("date: %Y-%m-%d time: %H:%M:%S"))


def complete(values, mode):
    """Values per row after block completion, and the row count to write."""
    n = len(values)
    r = n % SAMPLES
    if r == 0:
        return values, n
    if mode == "truncate":
        return values, n - r
    added = SAMPLES - r
    if mode == "zero":
        return values + [[0.0, 0.0, 0.0]] * added, n
    # mirror about the last row (these cases have more than 256 rows)
    return values + [values[n - 2 - i] for i in range(added)], n


def clamp(v):
    if math.isnan(v):
        return 0, 0
    if v > 32767.0:
        return 32767, 1
    if v < -32768.0:
        return -32768, 1
    return int(v), 0


def expected(case):
    name, kind, binary, scale, mode, normaltime, in_day = case
    rows, comment = read_inputs(kind)
    header = comment if comment else built_header(rows, normaltime)
    values, count = complete([v for _, v in rows], mode)
    out = bytearray(header.encode() + (b"\r" if binary else b"\n"))
    for b in range(0, count, SAMPLES):
        t = rows[b][0]
        block = values[b:b + SAMPLES]
        if binary:
            whole = int(t)
            if normaltime:
                d = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=whole)
                th = struct.pack("<HH", d.hour * 60 + d.minute, d.second)
            else:
                th = struct.pack("<I", whole & 0xFFFFFFFF)
            for c in range(3):
                out += th
                for v in block:
                    out += struct.pack("<h", clamp(v[c] * scale)[0])
        else:
            if normaltime:
                m = math.floor(t / 60.0)
                if in_day:
                    m = math.fmod(m, 1440.0)
                s = math.fmod(t, 60.0)
            else:
                m, s = 0.0, t
            for c in range(3):
                fields = ["%.0f" % m, "%.14g" % s] + ["%.14g" % (v[c] * scale) for v in block]
                out += (" ".join(fields) + "\n").encode()
    return bytes(out)


def main():
    make_inputs()
    for case in CASES:
        with open(os.path.join(HERE, case[0]), "wb") as f:
            f.write(expected(case))


if __name__ == "__main__":
    main()
