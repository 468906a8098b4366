#!/usr/bin/env bash
# The JSON codec beside python3's json (its C accelerator): load-json and to-json of the peers'
# ~25 MB document (bench/peers/gen_data.py writes doc20.json) against json.loads and
# json.dumps. Each row runs bench/kaz/json_rows.kaz and bench/peers/json_rows.py under hyperfine with the
# operation done N times and none, from a Release build; the difference of the fastest runs
# over N is the operation's time, printed with the ratio. The data is generated in a scratch
# directory unless bench/peers/data already holds it.
# Usage: bench/json_peers.sh [ROWS...]
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source bench/peer_rows.sh
doc=bench/peers/data/doc20.json
if [ ! -f "$doc" ]; then
    cp bench/peers/gen_data.py "$work/"
    $python "$work/gen_data.py"
    doc=$work/data/doc20.json
fi
doc=$(realpath "$doc")

rows=("$@"); [ ${#rows[@]} -eq 0 ] && rows=(decode encode)
for row in "${rows[@]}"; do
    peer_row "json-$row" 3 5 "$kaz bench/kaz/json_rows.kaz" "$python bench/peers/json_rows.py" "$doc" "$doc"
done
