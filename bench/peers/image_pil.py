#!/usr/bin/python3
"""Pillow's decode and encode of the 4000x3000 picture, the peer of bench/image_bench.cpp.

Makes the picture first when it is missing (bench/peers/data/photo.png and photo.jpg): a
gradient, a Mandelbrot set and noise as its three channels, so that neither codec finds it
trivial. Prints the best of five runs of each row in milliseconds, wall clock and CPU time (the
benchmark shows both too: on a loaded machine compare the CPU columns).
Usage: /usr/bin/python3 bench/peers/image_pil.py [data folder]
"""
import io
import os
import sys
import time

from PIL import Image

W, H = 4000, 3000


def make(folder):
    os.makedirs(folder, exist_ok=True)
    red = Image.linear_gradient("L").resize((W, H))
    green = Image.effect_mandelbrot((W, H), (-2.0, -1.2, 1.0, 1.2), 100)
    blue = Image.effect_noise((W, H), 24)
    picture = Image.merge("RGB", (red, green, blue))
    picture.save(os.path.join(folder, "photo.png"))
    picture.save(os.path.join(folder, "photo.jpg"), quality=75)


def best(fn, runs=5):
    wall, cpu = [], []
    for _ in range(runs):
        start, start_cpu = time.perf_counter(), time.process_time()
        fn()
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return f"{min(wall) * 1000:8.1f} ms {min(cpu) * 1000:8.1f} ms CPU"


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "data")
    if not os.path.exists(os.path.join(folder, "photo.jpg")):
        make(folder)
    png = open(os.path.join(folder, "photo.png"), "rb").read()
    jpg = open(os.path.join(folder, "photo.jpg"), "rb").read()
    decoded = Image.open(io.BytesIO(png))
    decoded.load()

    def decode(data):
        im = Image.open(io.BytesIO(data))
        im.load()

    def encode(fmt, **options):
        decoded.save(io.BytesIO(), fmt, **options)

    print(f"png decode   {best(lambda: decode(png))}")
    print(f"png encode   {best(lambda: encode('PNG'))}")
    print(f"jpeg decode  {best(lambda: decode(jpg))}")
    print(f"jpeg encode  {best(lambda: encode('JPEG', quality=75))}")


if __name__ == "__main__":
    main()
