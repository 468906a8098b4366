#!/usr/bin/env bash
# The HTTP client in one run: bench_http (from a Release build) beside python3's urllib, both
# against the same loopback server (the tests' tests/unit/services/http_server.py).
# Usage: bench/http_peers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target bench_http >/dev/null
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
