#!/usr/bin/env bash
# Builds and runs every test: the normal build (g++), then the same tests again with the
# collector running every 10th allocation, then the clang build with AddressSanitizer and
# UndefinedBehaviorSanitizer, which also runs the libFuzzer targets.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)

configure_and_build() {
    local dir=$1; shift
    echo "== $dir"
    cmake -S . -B "$dir" -G Ninja -DKAZ_WERROR=ON "$@" >/dev/null
    cmake --build "$dir"
}

configure_and_build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build/test --output-on-failure -j "$jobs"

# The collector runs at every 10th allocation (KAZ_GC_STRESS_EVERY; 1 collects at every one):
# any value held where the collector cannot see it is freed or moved under the code using it.
# The README's commands were checked above; they build and run a release kaz, not this one.
echo "== build/test, collecting every ${KAZ_GC_STRESS_EVERY:-10}th allocation"
KAZ_GC_STRESS_EVERY="${KAZ_GC_STRESS_EVERY:-10}" \
    ctest --test-dir build/test --output-on-failure -j "$jobs" -LE readme

# Sanitizers, with clang: its libFuzzer targets are built in the same tree and run briefly.
CC=clang CXX=clang++ configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug \
    -DKAZ_SANITIZE=ON -DKAZ_BENCH=OFF
ctest --test-dir build/asan --output-on-failure -j "$jobs" -LE readme

# ---- generated programs ----
# Random programs from the natives' and actions' specs run against the sanitizer build for a
# fixed time; any sanitizer report, heap-check fault or runtime error fails the run. The seed
# is printed first: `tests/gen/kazgen.py --seed S --program N --show` makes a program again.
echo "== generated programs (build/asan)"
python3 tests/gen/kazgen.py --kaz build/asan/boot/kaz --seconds 150 --jobs "$jobs"
# ---- end of generated programs ----
echo "All tests passed."
