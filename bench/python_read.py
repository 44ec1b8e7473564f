"""Speed and memory of avq.read on a binary AVQ file, against numpy.fromfile
reading the same bytes (every record after the header line, as 16-bit
words, time headers included) into one array.

    /usr/bin/python3 bench/python_read.py FILE.avq [RUNS]

With bench/gen's four-column file of 4,000,000 rows converted by velkor
(c++ -O2 -o gen bench/gen.cpp):

    gen DIR 4000000 && velkor -4 DIR/four.txt DIR/four.avq
    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_read.py DIR/four.avq 9

The two reads alternate, RUNS times each (default 9), each in a process of
its own that has imported numpy and avq beforehand, and the medians are
printed with their ratio (goal: avq.read at most 2 x numpy.fromfile), and
the peak resident memory that each read adds beyond the arrays it returns
(goal for avq.read: at most 16 MiB). The page cache is warm: the file is
read once before the runs."""
import json
import statistics
import subprocess
import sys

CHILD = r"""
import json, resource, sys, time
import numpy as np
import avq
path, how = sys.argv[1], sys.argv[2]
with open(path, "rb") as f:
    offset = f.read(65536).index(b"\r") + 1
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
if how == "avq":
    arrays = [avq.read(path).data]
else:
    arrays = [np.fromfile(path, dtype="<i2", offset=offset)]
seconds = time.perf_counter() - start
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": seconds, "extra_kib": after - before,
                  "array_kib": sum(a.nbytes for a in arrays) / 1024}))
"""


def run(path, how):
    out = subprocess.run([sys.executable, "-c", CHILD, path, how], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    path = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass
    results = {"avq": [], "fromfile": []}
    for _ in range(runs):
        for how in results:
            results[how].append(run(path, how))
    print("%s, median of %d alternated runs" % (path, runs))
    print("%-16s %10s %14s %12s" % ("read", "seconds", "array MiB", "extra MiB"))
    median = {}
    for how, rs in results.items():
        median[how] = statistics.median(r["seconds"] for r in rs)
        extra = max(r["extra_kib"] - r["array_kib"] for r in rs) / 1024
        print("%-16s %10.4f %14.1f %12.1f" % ("avq.read" if how == "avq" else "numpy.fromfile",
                                               median[how], rs[0]["array_kib"] / 1024, extra))
    print("avq.read / numpy.fromfile: %.2f (goal <= 2)" % (median["avq"] / median["fromfile"]))


main()
