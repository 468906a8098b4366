#!/usr/bin/env bash
# The helper library's loops beside python3: replace/all over the peers' 20 MB text, split of it
# on spaces and on newlines, and extract of every second value of a block of a million values
# (str.replace, str.split and slicing). Each row runs bench/kaz/helpers.kaz and
# bench/peers/helpers_rows.py under hyperfine with the operation done N times and none, from a
# Release build; the difference of the fastest runs over N is the operation's time, printed
# with the ratio.
# Usage: bench/helpers_peers.sh [ROWS...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh hyperfine python3 >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target kaz >/dev/null
kaz=build/release/boot/kaz
python=/usr/bin/python3
[ -f bench/peers/data/words20.txt ] || $python bench/peers/gen_data.py
words=$(realpath bench/peers/data/words20.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rows=("$@"); [ ${#rows[@]} -eq 0 ] && rows=(replace-all split-spaces split-lines extract)
for row in "${rows[@]}"; do
    n=5
    hyperfine -N --style none --runs 5 --warmup 1 --export-json "$work/$row.json" \
        -n kaz0 "$kaz bench/kaz/helpers.kaz $row 0 $words" -n kaz "$kaz bench/kaz/helpers.kaz $row $n $words" \
        -n python0 "$python bench/peers/helpers_rows.py $row 0 $words" \
        -n python "$python bench/peers/helpers_rows.py $row $n $words" >/dev/null
    $python - "$work/$row.json" "$row" "$n" <<'PY'
import json, sys
path, row, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
t = {r["command"]: r["min"] for r in json.load(open(path))["results"]}
k = (t["kaz"] - t["kaz0"]) / n * 1000
p = (t["python"] - t["python0"]) / n * 1000
print("%-14s kaz %9.2f ms   python3 %9.2f ms   ratio %5.2f" % (row, k, p, k / p))
PY
done
