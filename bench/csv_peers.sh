#!/usr/bin/env bash
# The CSV codec beside python3's csv: load-csv and to-csv of a ~20 MB CSV text
# (bench/peers/csv_data.py, written to a scratch directory) against csv.reader and csv.writer. Each
# row runs bench/kaz/csv_rows.kaz and bench/peers/csv_rows.py under hyperfine with the operation done N
# times and none, from a Release build; the difference of the fastest runs over N is the
# operation's time, printed with the ratio.
# Usage: bench/csv_peers.sh [ROWS...]
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source bench/peer_rows.sh
$python bench/peers/csv_data.py "$work/data20.csv"

rows=("$@"); [ ${#rows[@]} -eq 0 ] && rows=(decode encode)
for row in "${rows[@]}"; do
    peer_row "csv-$row" 3 5 "$kaz bench/kaz/csv_rows.kaz" "$python bench/peers/csv_rows.py" "$work/data20.csv" "$work/data20.csv"
done
