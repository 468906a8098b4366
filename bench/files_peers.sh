#!/usr/bin/env bash
# Files and child processes through the language, beside python3: read and write of a 200 MB
# text (as text and as bytes), read/lines of the peers' 20 MB text, and 1,000 waited calls of
# `true` (subprocess.run). Each row runs bench/kaz/files.kaz and bench/peers/files_rows.py
# under hyperfine with the operation done N times and none, from a Release build; the
# difference of the fastest runs over N is the operation's time, printed with the ratio.
# The 200 MB input goes to build/release/bench-data unless KAZ_BENCH_DATA names another
# directory (one on tmpfs keeps the disk's write-back out of the write rows).
# Usage: bench/files_peers.sh [ROWS...]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/peer_rows.sh
data=$(realpath -m "${KAZ_BENCH_DATA:-build/release/bench-data}")
[ -f "$data/text200.txt" ] || $python bench/peers/files_data.py "$data"
[ -f bench/peers/data/words20.txt ] || $python bench/peers/gen_data.py
words=$(realpath bench/peers/data/words20.txt)
work=$(mktemp -d)
trap 'rm -rf "$work" "$data/written.tmp"' EXIT

rows=("$@"); [ ${#rows[@]} -eq 0 ] && rows=(read-text read-binary write-text write-binary read-lines call-true)
for row in "${rows[@]}"; do
    case $row in
        call-true) n=1000 ;; read-lines) n=5 ;; *) n=3 ;;
    esac
    peer_row "$row" "$n" 5 "$kaz bench/kaz/files.kaz" "$python bench/peers/files_rows.py" \
        "$data $words" "$data $words"
done
