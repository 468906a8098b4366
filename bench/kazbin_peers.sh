#!/usr/bin/env bash
# Kazbin encode and decode of 1,000,000 values beside python3's pickle and marshal on the same
# list, and the environment's image decoded against its sources lexed, from a Release build.
# Usage: bench/kazbin_peers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh python3 >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target bench_kazbin >/dev/null
build/release/bench/bench_kazbin --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
/usr/bin/python3 bench/peers/kazbin_pickle.py
