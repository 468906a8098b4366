#!/usr/bin/env bash
# Runs the Kaz rows of the peer benchmarks side by side with Python 3 and Lua 5.4 in one
# hyperfine run each, from a Release build. Usage: bench/run_peers.sh [ROWS...]
set -euo pipefail
cd "$(dirname "$0")/.."
peers=${KAZ_PEERS:-../shared/bench-peers}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target kaz >/dev/null
kaz=build/release/boot/kaz
rows=("$@"); [ ${#rows[@]} -eq 0 ] && rows=(b01 b02 b03 b10)
for row in "${rows[@]}"; do
    script=$(ls bench/kaz/${row}_*.kaz | head -1)
    name=$(basename "$script" .kaz)
    echo "== $name"
    hyperfine -N --style basic --runs 10 --warmup 1 \
        -n kaz "$kaz $script" \
        -n python3 "/usr/bin/python3 $peers/py/$name.py" \
        -n lua5.4 "lua5.4 $peers/lua/$name.lua"
done
