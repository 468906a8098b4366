#!/usr/bin/env bash
# The HTTP client in one run: bench_http (from a Release build) and `read` from Kaz scripts
# (bench/kaz/http.kaz) beside python3's urllib, all against the same loopback server (the
# tests' tests/unit/services/http_server.py).
# Usage: bench/http_peers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j3 --target bench_http kaz >/dev/null
work=$(mktemp -d)
mkfifo "$work/in"
# The server ends when its standard input closes: the descriptor held here is its lifetime.
python3 tests/unit/services/http_server.py < "$work/in" > "$work/port" &
server=$!
exec 3> "$work/in"
trap 'exec 3>&-; wait "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
until [ -s "$work/port" ]; do sleep 0.05; done
url="http://127.0.0.1:$(head -n1 "$work/port")"
export no_proxy='*' NO_PROXY='*'

echo "== Kaz"
KAZ_BENCH_HTTP="$url" build/release/bench/bench_http
echo "== python3 urllib"
python3 bench/peers/http_urllib.py "$url"
echo "== Kaz scripts (read/binary; mean of 5 runs, the start-up of a run subtracted)"
mean_ms() {  # the mean wall time of 5 runs of the Kaz row, in milliseconds
    local start end
    start=$(date +%s%N)
    for _ in 1 2 3 4 5; do KAZ_BENCH_HTTP="$url" build/release/boot/kaz bench/kaz/http.kaz "$1" >/dev/null; done
    end=$(date +%s%N)
    echo $(( (end - start) / 5000000 ))
}
startup=$(mean_ms none)
for row in get_1k_x1000 get_100mb; do
    printf '%-16s %10d ms\n' "$row" $(( $(mean_ms "$row") - startup ))
done
