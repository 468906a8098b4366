#!/usr/bin/env bash
# DEFLATE of the peers' 50 MB text in one run: Kaz's codec in process (bench_deflate, from a
# Release build) beside python3's zlib at level 6 in process, and the gzip -6 and gunzip
# processes under hyperfine. Usage: bench/deflate_peers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
data=bench/peers/data/text50.txt
[ -f "$data" ] || python3 bench/peers/gen_data.py
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target bench_deflate >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gzip -6 -c "$data" > "$work/text50.gz"

echo "== Kaz, in process"
build/release/bench/bench_deflate --benchmark_filter='^(compress|decompress)/|decompress_fresh'
echo "== python3 zlib, level 6, in process"
python3 bench/peers/deflate_zlib.py "$data"
echo "== gzip -6 and gunzip, processes (reading the file, writing to a pipe)"
hyperfine -N --style basic --runs 5 --warmup 1 \
    -n "gzip -6" "gzip -6 -c $data" \
    -n "gunzip" "gzip -dc $work/text50.gz"
echo "gzip -6 size: $(stat -c %s "$work/text50.gz") bytes"
