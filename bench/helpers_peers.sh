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
source bench/peer_rows.sh
[ -f bench/peers/data/words20.txt ] || $python bench/peers/gen_data.py
words=$(realpath bench/peers/data/words20.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rows=("$@"); [ ${#rows[@]} -eq 0 ] && rows=(replace-all split-spaces split-lines extract)
for row in "${rows[@]}"; do
    n=5
    peer_row "$row" "$n" 5 "$kaz bench/kaz/helpers.kaz" "$python bench/peers/helpers_rows.py" "$words" "$words"
done
