#!/usr/bin/env bash
# Builds Kaz (release) and starts it with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target kaz
exec build/release/kaz "$@"
