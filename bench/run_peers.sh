#!/usr/bin/env bash
# Runs the Kaz rows of the peer benchmarks side by side with Python 3 and Lua 5.4 in one
# hyperfine run each, from a Release build. Usage: bench/run_peers.sh [ROWS...]
set -euo pipefail
cd "$(dirname "$0")/.."
peers=${KAZ_PEERS:-../shared/bench-peers}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target kaz >/dev/null
kaz=build/release/boot/kaz
rows=("$@"); [ ${#rows[@]} -eq 0 ] && rows=(b01 b02 b03 b04 b05 b10 return_calls)
for row in "${rows[@]}"; do
    script=$(ls bench/kaz/${row}*.kaz | head -1)
    name=$(basename "$script" .kaz)
    # Rows of our own (no shared peer version) keep their Python and Lua versions in bench/peers.
    py=$peers/py/$name.py; lua=$peers/lua/$name.lua
    [ -f "$py" ] || py=bench/peers/$name.py
    [ -f "$lua" ] || lua=bench/peers/$name.lua
    echo "== $name"
    hyperfine -N --style basic --runs 10 --warmup 1 \
        -n kaz "$kaz $script" \
        -n python3 "/usr/bin/python3 $py" \
        -n lua5.4 "lua5.4 $lua"
done
