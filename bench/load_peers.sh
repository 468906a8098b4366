#!/usr/bin/env bash
# `load` of a 20 MB source file beside python3's ast.parse of the same data as a literal
# (bench/peers/load_data.py makes both). Each side reads the file and parses it once per run,
# timed inside the process around the parse alone; prints both and the ratio.
# Usage: bench/load_peers.sh [BUILD_DIR] (default build/release, built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
if [ ! -x "$build/boot/kaz" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target kaz >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 bench/peers/load_data.py "$work"
cat >"$work/load.kaz" <<'KAZ'
Kaz []
text: read/binary %source.kaz
best: none
loop 3 [
    t: now/precise
    code: load text
    d: to float! difference now/precise t
    if any [none? best d < best] [best: d]
]
print best
KAZ
kaz_s=$("$build/boot/kaz" "$work/load.kaz")
py_s=$(python3 - "$work/source.py" <<'PY'
import ast, sys, time
text = open(sys.argv[1]).read()
best = None
for _ in range(3):
    t = time.perf_counter()
    ast.parse(text)
    d = time.perf_counter() - t
    best = d if best is None or d < best else best
print(best)
PY
)
echo "load 20 MB: kaz ${kaz_s} s, python3 ast.parse ${py_s} s, ratio $(python3 -c "print(round($kaz_s / $py_s, 2))")"
