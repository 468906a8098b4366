#!/usr/bin/env bash
# Checksums, base 64 and DEFLATE through the natives, beside python3: CRC-32 and SHA-256 of
# 100 MB (zlib.crc32, hashlib.sha256), enbase and debase of 50 MB in base 64 (base64), compress
# and decompress of the peers' 50 MB text (zlib at level 6). Each row runs bench/kaz/bytes.kaz
# and bench/peers/bytes.py under hyperfine with the operation done N times and none, from a
# Release build; the difference of the fastest runs over N is the operation's time, printed with
# the ratio (the fastest runs: the ones a busy machine disturbed least).
# Usage: bench/bytes_peers.sh [ROWS...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh hyperfine python3 >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target kaz >/dev/null
kaz=build/release/boot/kaz
python=/usr/bin/python3
text=bench/peers/data/text50.txt
[ -f "$text" ] || $python bench/peers/gen_data.py
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The DEFLATE rows read the text as a literal set in front of the script (it holds no brace).
cp bench/kaz/bytes.kaz "$work/bytes.kaz"
{ echo 'Kaz []'; printf 'text: {'; cat "$text"; echo '}'; tail -n +2 bench/kaz/bytes.kaz; } >"$work/text.kaz"

rows=("$@"); [ ${#rows[@]} -eq 0 ] && rows=(crc32 sha256 enbase debase compress decompress decompress-sized)
for row in "${rows[@]}"; do
    case $row in
        crc32) n=40 ;; sha256) n=10 ;; compress) n=2 ;; *) n=5 ;;
    esac
    case $row in
        compress|decompress*) script=$work/text.kaz ;;
        *) script=$work/bytes.kaz ;;
    esac
    hyperfine -N --style none --runs 7 --warmup 1 --export-json "$work/$row.json" \
        -n kaz0 "$kaz $script $row 0" -n kaz "$kaz $script $row $n" \
        -n python0 "$python bench/peers/bytes.py $row 0 $text" -n python "$python bench/peers/bytes.py $row $n $text" \
        >/dev/null
    $python - "$work/$row.json" "$row" "$n" <<'PY'
import json, sys
path, row, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
t = {r["command"]: r["min"] for r in json.load(open(path))["results"]}
kaz = (t["kaz"] - t["kaz0"]) / n * 1000
py = (t["python"] - t["python0"]) / n * 1000
print("%-18s kaz %8.1f ms   python3 %8.1f ms   ratio %5.2f" % (row, kaz, py, kaz / py))
PY
done
