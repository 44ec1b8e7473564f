#!/usr/bin/env python3
"""Makes the example station data in this directory.

Three pressure channels of a small infrasound array, sampled at 20 Hz, in
pascal: a microbarom-like wave near 0.2 Hz, a slower 0.03 Hz swell, a short
0.5 Hz burst crossing the array (a few tenths of a second between the
elements), and white noise. Times are Unix seconds (UTC) from 2026-01-02
00:00:00. The same rows are written in the three input layouts:

  station-4col.txt                    time and three values, no comment
  station-ch1.txt .. station-ch3.txt  time and value, one "!" comment each
  station-time.txt                    times, with a "!" comment (ignored)
  station-v1.txt .. station-v3.txt    one value per line, no comment

The row count, 2200, is not a multiple of 512, so the last block is
completed. The output is the same on every run (fixed seed).

    python3 examples/make_examples.py [directory]
"""
import math
import os
import random
import sys

ROWS = 2200
RATE = 20.0                 # samples per second
START = 1767312000          # 2026-01-02 00:00:00 UTC
DELAY = (0.0, 0.35, 0.8)    # arrival delay of the burst at each element, s
COMMENT = "! station IS99 elements H1 H2 H3, pressure in Pa, 20 Hz"


def pressure(t, element, rng):
    d = DELAY[element]
    microbarom = 0.12 * math.sin(2 * math.pi * 0.21 * (t - d) + 0.3 * element)
    swell = 0.4 * math.sin(2 * math.pi * 0.03 * t + 1.1)
    tb = t - 55.0 - d
    burst = 0.9 * math.exp(-(tb / 6.0) ** 2) * math.sin(2 * math.pi * 0.5 * tb)
    return microbarom + swell + burst + rng.gauss(0.0, 0.02)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    rng = random.Random(2026)
    rows = []
    for i in range(ROWS):
        t = i / RATE
        rows.append(("%.2f" % (START + t), ["%.4f" % pressure(t, e, rng) for e in range(3)]))

    def write(name, lines):
        with open(os.path.join(out, name), "w", newline="\n") as f:
            f.write("".join(line + "\n" for line in lines))

    write("station-4col.txt", ["%s %s %s %s" % (t, *v) for t, v in rows])
    for e in range(3):
        write("station-ch%d.txt" % (e + 1), [COMMENT] + ["%s %s" % (t, v[e]) for t, v in rows])
        write("station-v%d.txt" % (e + 1), [v[e] for _, v in rows])
    write("station-time.txt", ["! times of station IS99, Unix seconds UTC"] + [t for t, _ in rows])


if __name__ == "__main__":
    main()
