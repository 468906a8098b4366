#!/usr/bin/env bash
# Decoding and encoding a 4000x3000 PNG and JPEG in one run: the imaging layer (bench_image,
# from a Release build) beside Pillow (Debian's python3-pil). Usage: bench/image_peers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
/usr/bin/python3 -c "import PIL" 2>/dev/null || scripts/deps.sh python3-pil
# Pillow makes the picture on its first run.
[ -f bench/peers/data/photo.jpg ] || /usr/bin/python3 bench/peers/image_pil.py >/dev/null
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target bench_image >/dev/null
echo "== Kaz's imaging layer"
build/release/bench/bench_image
echo "== Pillow"
/usr/bin/python3 bench/peers/image_pil.py
