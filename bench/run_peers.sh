#!/usr/bin/env bash
# Runs the Kaz rows of the peer benchmarks side by side with Python 3 and Lua 5.4 in one
# hyperfine run each, from a Release build. Everything a row needs is in bench/: its Kaz script
# in bench/kaz/, its peers in bench/peers/ (a peer missing there is left out of the row).
# Usage: bench/run_peers.sh [ROWS...]   (a row is a script's name or its start: b01, gc_churn)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh hyperfine lua5.4 python3 >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target kaz >/dev/null
kaz=build/release/boot/kaz
# Debian's Python, whatever else comes first on the PATH.
python=/usr/bin/python3
rows=("$@"); [ ${#rows[@]} -eq 0 ] && rows=(b01 b02 b03 b04 b05 b10 return_calls)
for row in "${rows[@]}"; do
    script=$(ls bench/kaz/"$row"*.kaz | head -1)
    name=$(basename "$script" .kaz)
    commands=(-n kaz "$kaz $script")
    [ -f "bench/peers/$name.py" ] && commands+=(-n python3 "$python bench/peers/$name.py")
    [ -f "bench/peers/$name.lua" ] && commands+=(-n lua5.4 "lua5.4 bench/peers/$name.lua")
    echo "== $name"
    hyperfine -N --style basic --runs 10 --warmup 1 "${commands[@]}"
done
