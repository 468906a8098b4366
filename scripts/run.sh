#!/usr/bin/env bash
# Builds Kaz (release) and starts it with the given arguments: `scripts/run.sh` alone is the
# console, `scripts/run.sh script.kaz [args...]` runs a script (a path from where you stand).
# The build's progress goes to standard error, so standard output carries only what kaz prints.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" >&2
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/release" --target kaz >&2
exec "$root/build/release/boot/kaz" "$@"
