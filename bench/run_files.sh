#!/usr/bin/env bash
# Runs the file and process rows of Kaz (bench_services) and of Python 3 (bench/peers/files.py)
# one after the other on the same inputs, from a Release build, and prints their medians and
# ratios. The inputs (about 220 MB) go to build/release/bench-data unless KAZ_BENCH_DATA names
# another directory; one on tmpfs (KAZ_BENCH_DATA=/dev/shm/kaz-bench) keeps the disk's write-back,
# which other processes share, out of the write rows.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target bench_services >/dev/null
data=${KAZ_BENCH_DATA:-build/release/bench-data}
[ -f "$data/text200.txt" ] || python3 bench/peers/files_data.py "$data"
KAZ_BENCH_DATA=$data build/release/bench/bench_services --benchmark_format=json >"$data/kaz.json"
/usr/bin/python3 bench/peers/files.py "$data" >"$data/python.txt"
python3 - "$data" <<'PY'
import json, sys
data = sys.argv[1]
kaz = {b["run_name"].split("/")[0]: b["real_time"] for b in json.load(open(data + "/kaz.json"))["benchmarks"]
       if b.get("aggregate_name") == "median"}
print("%-18s %10s %10s %8s" % ("row (ms, median)", "kaz", "python3", "ratio"))
for line in open(data + "/python.txt"):
    row, py = line.split()
    k = kaz.get(row)
    if k is None:
        continue
    print("%-18s %10.1f %10.1f %8.2f" % (row, k, float(py), k / float(py)))
PY
