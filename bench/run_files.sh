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
# Row by row, Kaz then Python: a machine whose load drifts favours neither.
rows=(ReadText200MB ReadBinary200MB WriteText200MB WriteBinary200MB SplitLines20MB ReadLines20MB SpawnTrue1000)
: >"$data/python.txt"
for row in "${rows[@]}"; do
    KAZ_BENCH_DATA=$data build/release/bench/bench_services --benchmark_filter="^$row/" \
        --benchmark_format=json >"$data/kaz-$row.json"
    /usr/bin/python3 bench/peers/files.py "$data" "$row" >>"$data/python.txt"
done
python3 - "$data" "${rows[@]}" <<'PY'
import json, sys
data, rows = sys.argv[1], sys.argv[2:]
kaz = {}
for row in rows:
    for b in json.load(open("%s/kaz-%s.json" % (data, row)))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            kaz[b["run_name"].split("/")[0]] = b["real_time"]
python = dict(line.split() for line in open(data + "/python.txt"))
print("%-18s %10s %10s %8s" % ("row (ms, median)", "kaz", "python3", "ratio"))
for row in rows:
    k, p = kaz[row], float(python[row])
    print("%-18s %10.1f %10.1f %8.2f" % (row, k, p, k / p))
PY
