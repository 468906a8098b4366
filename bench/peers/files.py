#!/usr/bin/env python3
"""Python 3's side of the file and process rows (bench/run_files.sh): the median of a few runs
of each, in milliseconds, one "row ms" line each. Arguments: the directory of files_data.py,
then the rows to run (all when none is named)."""
import os, statistics, subprocess, sys, time

data = sys.argv[1]
text200 = os.path.join(data, "text200.txt")
words20 = os.path.join(data, "words20.txt")
scratch = os.path.join(data, "written.tmp")

def median(runs, work):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)

def write_text():
    with open(scratch, "w", encoding="utf-8") as f:
        f.write(text)

def write_binary():
    with open(scratch, "wb") as f:
        f.write(blob)

def spawn_true():
    for _ in range(1000):
        subprocess.run(["true"])

wanted = set(sys.argv[2:])
text = open(text200, encoding="utf-8").read() if not wanted or "WriteText200MB" in wanted else ""
blob = open(text200, "rb").read() if not wanted or "WriteBinary200MB" in wanted else b""
words = open(words20, encoding="utf-8").read()
rows = [
    ("ReadText200MB", 5, lambda: open(text200, encoding="utf-8").read()),
    ("ReadBinary200MB", 5, lambda: open(text200, "rb").read()),
    ("WriteText200MB", 5, write_text),
    ("WriteBinary200MB", 5, write_binary),
    ("SplitLines20MB", 5, lambda: words.splitlines()),
    ("ReadLines20MB", 5, lambda: open(words20, encoding="utf-8").read().splitlines()),
    ("SpawnTrue1000", 3, spawn_true),
]
for name, runs, work in rows:
    if not wanted or name in wanted:
        print(name, "%.1f" % median(runs, work), flush=True)
if os.path.exists(scratch):
    os.remove(scratch)
