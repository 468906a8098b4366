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
source bench/peer_rows.sh
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
    peer_row "$row" "$n" 7 "$kaz $script" "$python bench/peers/bytes.py" "" "$text"
done
