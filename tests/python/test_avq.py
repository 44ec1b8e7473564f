"""The Python module avq against velkor and avqdump: the files velkor writes,
in every input layout and both forms, read back as avqdump has them (its CSV
for the samples and their times, its JSON summary for the header, frequency
and runs); bad files raise ValueError with avqdump's message and the file's
name.

Run by ctest as "python3 -m unittest test_avq" with Debian's interpreter;
VELKOR and AVQDUMP name the programs, PYTHONPATH holds the built module."""
import csv
import datetime
import json
import math
import os
import pathlib
import re
import subprocess
import tempfile
import unittest

import numpy as np

import avq

VELKOR = os.environ["VELKOR"]
AVQDUMP = os.environ["AVQDUMP"]


def make_rows(n, gap_after=None):
    """Rows (time text, three value texts) from 1700000012.25 s on, 0.01 s
    apart, 100 s missing after row gap_after."""
    rows = []
    for i in range(n):
        t = 1700000012.25 + i * 0.01 + (100 if gap_after is not None and i > gap_after else 0)
        values = (16000 * math.sin(i / 40), 12.9 * math.cos(i / 7) - 0.3, -(i % 97) / 8)
        rows.append(("%.2f" % t, ["%.10g" % v for v in values]))
    return rows


class InTempDir(unittest.TestCase):
    """Each test in a directory of its own, where velkor and avqdump run."""

    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = pathlib.Path(tmp.name)

    def write(self, name, text):
        (self.dir / name).write_text(text)

    def run_tool(self, *args, check=True):
        return subprocess.run(args, cwd=self.dir, capture_output=True, text=True, check=check)

    def convert(self, layout, options, rows, out, comment=True):
        """Writes rows in the input layout "1", "2" or "4" and converts them."""
        head = "!station test\n" if comment else ""
        if layout == "4":
            self.write("q.txt", head + "".join("%s %s\n" % (t, " ".join(v)) for t, v in rows))
            inputs = ["-4", "q.txt"]
        elif layout == "2":
            for c in range(3):
                self.write("c%d.txt" % c, head + "".join("%s %s\n" % (t, v[c]) for t, v in rows))
            inputs = ["c0.txt", "c1.txt", "c2.txt"]
        else:
            self.write("t.txt", "".join(t + "\n" for t, _ in rows))
            for c in range(3):
                self.write("v%d.txt" % c, head + "".join(v[c] + "\n" for _, v in rows))
            inputs = ["-1", "-t", "t.txt", "v0.txt", "v1.txt", "v2.txt"]
        self.run_tool(VELKOR, *options, *inputs, out)
        return self.dir / out


class Converted(InTempDir):
    def check_against_avqdump(self, path):
        """avq.read(path) holds what avqdump --csv and --json say of it."""
        f = avq.read(path)
        summary = json.loads(self.run_tool(AVQDUMP, "--json", path).stdout)
        dump = self.run_tool(AVQDUMP, "--csv", path)
        table = list(csv.reader(dump.stdout.splitlines()))
        column, rows = table[0][0], table[1:]

        self.assertEqual(f.header, summary["header"])
        self.assertEqual(f.form, summary["form"])
        self.assertEqual(f.dated, summary["dated"])
        self.assertEqual(f.fs, summary["sampling_frequency"]["hz"])
        self.assertEqual([(r.first_block, r.blocks) for r in f.runs],
                         [(r["first_block"], r["blocks"]) for r in summary["runs"]])
        self.assertEqual(f.data.shape, (len(rows), 3))
        self.assertEqual(f.data.dtype, np.int16 if f.form == "binary" else np.float64)
        self.assertEqual(column, "time_utc" if f.dated else "seconds")

        values = np.array([[float(x) for x in r[3:]] for r in rows])
        np.testing.assert_array_equal(f.data, values)
        # The CSV's times are rounded to the microsecond.
        times = f.times()
        if f.dated:
            expected = np.array([r[0].rstrip("Z") for r in rows], dtype="datetime64[ns]")
            self.assertEqual(f.start, expected[0])
            diff = np.abs((times - expected).astype(np.int64))
            self.assertLessEqual(diff.max(), 500)
        else:
            self.assertIsNone(f.start)
            np.testing.assert_allclose(times, [float(r[0]) for r in rows], rtol=0, atol=5e-7)
        starts = [r.start for r in f.runs]
        self.assertEqual(starts, [times[r.first_block * 512] for r in f.runs])
        return f

    def test_every_layout_and_form_reads_as_avqdump_has_it(self):
        rows = make_rows(1300)  # two blocks and a third completed with zeroes
        conversions = [
            ([], True, "binary, the inputs' header: undated, frequency fitted"),
            ([], False, "binary, a built header: sampfrek and date"),
            (["--unixtime"], True, "binary Unix times"),
            (["--scale=2.5"], False, "binary, values at the 16-bit limits"),
            (["--ascii"], True, "ASCII, minutes since the epoch"),
            (["--ascii", "--minutes-in-day"], True, "ASCII minutes of the day: undated"),
            (["--ascii", "--unixtime"], False, "ASCII Unix times"),
        ]
        for layout in "124":
            for options, comment, what in conversions:
                with self.subTest(layout=layout, what=what):
                    out = "out.txt" if "--ascii" in options else "out.avq"
                    f = self.check_against_avqdump(self.convert(layout, options, rows, out,
                                                                comment))
                    self.assertEqual(len(f.runs), 1)
                    self.assertEqual(f.fs, 100)
                    # One timeline: 10 ms from sample to sample, block
                    # boundaries included.
                    steps = np.diff(f.times())
                    if f.dated:
                        steps = steps.astype(np.int64) / 1e9
                    np.testing.assert_allclose(steps, 0.01, rtol=0, atol=1e-6)

    def test_a_gap_begins_a_second_run(self):
        for options, out in ([], "gap.avq"), (["--ascii"], "gap.txt"):
            with self.subTest(form=out):
                path = self.convert("4", options, make_rows(2000, 1100), out)
                f = self.check_against_avqdump(path)
                self.assertEqual([r.first_block for r in f.runs], [0, 3])
                self.assertEqual(f.runs[0].blocks, 3)
                self.assertGreater(np.diff(f.block_times)[2], 100)

    def test_the_readme_example_has_sampfrek_date_and_one_run(self):
        example = pathlib.Path(__file__).parents[2] / "examples" / "station-4col.txt"
        self.write("station-4col.txt", example.read_text())
        self.run_tool(VELKOR, "-4", "station-4col.txt", "example.avq")
        f = avq.read(self.dir / "example.avq")
        self.assertEqual((f.form, f.fs, f.fs_from, f.dated), ("binary", 20, "header", True))
        self.assertEqual(f.start, np.datetime64("2026-01-02T00:00:00", "ns"))
        self.assertEqual(f.runs, [avq.Run(0, 5, np.datetime64("2026-01-02T00:00:00", "ns"))])
        np.testing.assert_array_equal(np.diff(f.times()), np.timedelta64(50, "ms"))
        self.assertEqual(f.block_times[1], np.datetime64("2026-01-02T00:00:25", "ns"))
        self.assertEqual(repr(f), "<avq file '%s': binary, 2560 samples per channel at 20 Hz, "
                                  "1 run>" % (self.dir / "example.avq"))

    def test_paths_of_every_kind_and_an_empty_file(self):
        path = self.convert("4", [], make_rows(512), "a.avq")
        for p in (str(path), path, os.fsencode(path)):
            self.assertEqual(avq.read(p).data.shape, (512, 3))
        (self.dir / "empty.avq").write_bytes(b"!nothing yet\r")
        f = avq.read(self.dir / "empty.avq")
        self.assertEqual((f.data.shape, f.runs, f.start, len(f.times())), ((0, 3), [], None, 0))
        self.assertEqual(f.header_bytes, b"!nothing yet")

    def test_a_header_that_is_not_utf8(self):
        good = self.convert("4", [], make_rows(512), "a.avq").read_bytes()
        (self.dir / "latin1.avq").write_bytes(b"!station \xd8st" + good[good.index(b"\r"):])
        f = avq.read(self.dir / "latin1.avq")
        self.assertEqual(f.header, "!station \ufffdst")
        self.assertEqual(f.header_bytes, b"!station \xd8st")

    def test_bad_files_raise_value_error_naming_the_file(self):
        good = self.convert("4", [], make_rows(600), "good.avq").read_bytes()
        text = self.convert("4", ["--ascii"], make_rows(600), "good.txt").read_text()
        # Channel 2 of block 1 with a time of its own.
        at = good.index(b"\r") + 1 + 3084 + 1028
        times = good[:at] + bytes([good[at] ^ 1]) + good[at + 1:]
        bad = {
            "times.avq": times,
            "cut.avq": good[:-10],
            "long.avq": good + b"x",
            "short.txt": (text[:text.rindex(" ")] + "\n").encode(),
            "crlf.txt": text.replace("\n", "\r\n").encode(),
            "unended.txt": text[:-1].encode(),
            "empty.avq": b"",
            "noline.avq": b"!header without an end",
        }
        for name, content in bad.items():
            with self.subTest(name):
                (self.dir / name).write_bytes(content)
                said = self.run_tool(AVQDUMP, "--info", name, check=False)
                self.assertEqual(said.returncode, 1)
                with self.assertRaises(ValueError) as caught:
                    avq.read(str(self.dir / name))
                # avqdump's message, with the file's name as given.
                self.assertEqual("avqdump: " + str(caught.exception).replace(
                    str(self.dir / name), name) + "\n", said.stderr)
        with self.assertRaises(FileNotFoundError) as caught:
            avq.read(self.dir / "missing.avq")
        self.assertEqual(caught.exception.filename, str(self.dir / "missing.avq"))


class Written(InTempDir):
    """avq.write, read back by avq.read and compared with what velkor writes."""

    def test_round_trips_in_both_forms(self):
        rng = np.random.default_rng(7)
        day = 1767312000  # 2026-01-02
        # Each start with its time in seconds.
        starts = ((np.datetime64("2026-01-02T00:00:00"), day),
                  (datetime.datetime(2026, 1, 2, 0, 0, 0, 250000), day + 0.25),
                  (datetime.datetime(2026, 1, 2, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=1))), day),
                  (float(day) + 0.75, day + 0.75))
        cases = []
        for n in (1, 511, 512, 513, 1300):
            for fs in (20.0, 100.0, 19.99999):
                cases.append((n, fs, starts[n % 4]))
        for n, fs, (start, seconds) in cases:
            ints = rng.integers(-32768, 32768, size=(n, 3)).astype(np.int16)
            # Values of at most 14 significant digits, as the text form writes them.
            floats = np.round(rng.normal(scale=1e4, size=(n, 3)), 6)
            for ascii, data in ((False, ints), (True, floats), (False, floats.astype(np.float32))):
                with self.subTest(n=n, fs=fs, start=start, ascii=ascii, dtype=data.dtype):
                    path = self.dir / "w.avq"
                    avq.write(path, data, start, fs, ascii=ascii)
                    f = avq.read(path)
                    blocks = -(-n // 512)
                    self.assertEqual((f.form, f.fs, f.data.shape), ("ascii" if ascii else "binary", fs, (blocks * 512, 3)))
                    want = data if ascii or data.dtype == np.int16 else np.clip(np.trunc(data), -32768, 32767).astype(np.int16)
                    np.testing.assert_array_equal(f.data[:n], want)
                    self.assertFalse(f.data[n:].any())  # completed with zeroes
                    self.assertEqual(len(f.runs), 1)
                    # Binary block times keep whole seconds.
                    first = seconds if ascii else math.floor(seconds)
                    ns = f.times().astype(np.int64)
                    self.assertEqual(ns[0], day * 10**9 + round((first - day) * 1e9))
                    np.testing.assert_allclose(ns[1:] - ns[0], np.arange(1, len(ns)) * 1e9 / fs, atol=1)

    def test_writes_what_velkor_writes(self):
        rows = make_rows(1536)
        for options, name in (([], "v.avq"), (["--ascii"], "v.txt")):
            with self.subTest(options=options):
                made = self.convert("4", options, rows, name, comment=False).read_bytes()
                f = avq.read(self.dir / name)
                data = f.data if not options else np.array([[float(x) for x in v] for _, v in rows])
                avq.write(self.dir / "w", data, float(rows[0][0]), 100.0, ascii=bool(options), header=f.header)
                got = (self.dir / "w").read_bytes()
                if not options:
                    self.assertEqual(got, made)
                else:
                    np.testing.assert_array_equal(avq.read(self.dir / "w").data, f.data)

    def test_bad_arguments_and_files_that_are_not_avq(self):
        ok = np.zeros((600, 3), np.int16)
        start = 1767312000.0
        bad = [
            (ValueError, "shape (n, 3)", dict(data=np.zeros((5, 2)))),
            (ValueError, "int16 or floating point", dict(data=np.zeros((5, 3), np.int32))),
            (ValueError, "shape (n, 3)", dict(data="rows")),
            (ValueError, "positive finite", dict(fs=0)),
            (ValueError, "positive finite", dict(fs=float("nan"))),
            (TypeError, "fs must be a number", dict(fs="20")),
            (ValueError, "not a time", dict(start=float("inf"))),
            (ValueError, "1970-01-01 to 2106-02-07", dict(start=-1.0)),
            (TypeError, "start must be", dict(start="2026-01-02")),
            (ValueError, 'begin with "!"', dict(header="station x")),
            (ValueError, "one line", dict(header="!a\nb")),
            (ValueError, "sampfrek 50 is not fs, 20", dict(header="!S512Tidserier sampfrek: 50")),
            (ValueError, "date 2026-01-03 is not the date of start",
             dict(header="!S512Tidserier sampfrek: 20 gain: 1 station: x date: 2026-01-03 time: 00:00:00")),
            (ValueError, "above 512/86400 Hz", dict(fs=0.001)),
        ]
        for error, words, change in bad:
            args = dict(path=self.dir / "x.avq", data=ok, start=start, fs=20.0)
            args.update(change)
            with self.subTest(change=change):
                with self.assertRaisesRegex(error, re.escape(words)):
                    avq.write(**args)
                self.assertFalse((self.dir / "x.avq").exists())
        raw = self.dir / "raw.txt"
        raw.write_text("1767312000 1 2 3\n")
        with self.assertRaises(FileExistsError):
            avq.write(raw, ok, start, 20.0)
        self.assertEqual(raw.read_text(), "1767312000 1 2 3\n")
        avq.write(raw, ok, start, 20.0, force=True)
        self.assertEqual(avq.read(raw).data.shape, (1024, 3))
        avq.write(raw, ok[:10], start, 20.0)  # an AVQ file is replaced without force
        with self.assertRaises(FileNotFoundError) as caught:
            avq.write(self.dir / "no" / "x.avq", ok, start, 20.0)
        self.assertEqual(caught.exception.filename, str(self.dir / "no" / "x.avq"))
        self.assertEqual(sorted(p.name for p in self.dir.iterdir()), ["raw.txt"])
        with self.assertWarnsRegex(RuntimeWarning, "^30 values beyond the 16-bit range"):
            avq.write(raw, np.full((10, 3), -1e6), start, 20.0)
        self.assertEqual(avq.read(raw).data[9, 2], -32768)


if __name__ == "__main__":
    unittest.main()
