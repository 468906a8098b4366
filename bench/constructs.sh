#!/usr/bin/env bash
# What one evaluation of each construct costs, in instructions (callgrind on a Release kaz):
# each construct runs as the body of `loop N [...]`, less the same loop with an empty body.
# Counts do not move with the machine's load, unlike times: the measure for evaluator work.
# Usage: bench/constructs.sh [N]   (default 200000 turns)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh valgrind >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target kaz >/dev/null
kaz=build/release/boot/kaz
n=${1:-200000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# name | the loop's body (f and g are one-argument functions, n is 5, s a string, b a block)
constructs=(
    "empty|"
    "literal|1"
    "word|n"
    "paren|(1)"
    "operator|n + 1"
    "paren operand|n + (1)"
    "set-word|x: 1"
    "native call|negate 1"
    "action call|append clear s 1"
    "function call|f 1"
    "set-word of a call|x: f 1"
    "call through return|g 1"
    "if, not taken|if n < 2 [1]"
    "if, taken|if n > 2 [1]"
    "either|either n < 2 [1] [2]"
    "while, one turn|m: 0 while [m < 1] [m: m + 1]"
    "foreach, 3 items|foreach v b [v]"
)

count() {
    printf 'Kaz []\nf: func [x] [x]\ng: func [x] [return x]\nn: 5\ns: copy ""\nb: [1 2 3]\nloop %s [%s]\n' \
        "$n" "$1" > "$work/c.kaz"
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$kaz" "$work/c.kaz" 2>&1 |
        awk '/refs:/ {gsub(",", "", $NF); print $NF}'
}

base=$(count "")
for entry in "${constructs[@]}"; do
    name=${entry%%|*}
    body=${entry#*|}
    [ "$name" = empty ] && continue
    total=$(count "$body")
    printf '%-22s %-32s %6d\n' "$name" "[$body]" $(( (total - base) / n ))
done
