#!/usr/bin/env bash
# Builds and runs every test: the normal build, the ASan+UBSan build, the fuzz targets, then the
# GC-stress build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)

run_suite() {
    local dir=$1; shift
    echo "== $dir"
    cmake -S . -B "$dir" -G Ninja -DKAZ_WERROR=ON "$@" >/dev/null
    cmake --build "$dir"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DKAZ_SANITIZE=ON -DKAZ_BENCH=OFF

# ---- generated programs ----
# Random programs from the natives' and actions' specs run against the sanitizer build for a
# fixed time; any sanitizer report, heap-check fault or runtime error fails the run. The seed
# is printed first: `tests/gen/kazgen.py --seed S --program N --show` makes a program again.
echo "== generated programs (build/asan)"
python3 tests/gen/kazgen.py --kaz build/asan/boot/kaz --seconds 150 --jobs "$jobs"
# ---- end of generated programs ----

# The fuzz targets are built with clang (libFuzzer) and run briefly.
echo "== build/fuzz"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKAZ_BENCH=OFF >/dev/null
cmake --build build/fuzz --target fuzz_targets
ctest --test-dir build/fuzz -R '^fuzz/' --output-on-failure

# The collector runs at every 10th allocation (KAZ_GC_STRESS_EVERY; 1 collects at every one):
# any value held where the collector cannot see it is freed or moved under the code using it.
(export KAZ_GC_STRESS_EVERY="${KAZ_GC_STRESS_EVERY:-10}"
 run_suite build/gcstress -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAZ_GC_STRESS=ON -DKAZ_BENCH=OFF)
echo "All tests passed."
