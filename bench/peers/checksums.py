#!/usr/bin/env python3
"""Python's side of bench/checksum_bench.cpp: CRC-32 and SHA-256 over 100 MB, base 64 of
50 MB each way, each the best of five runs, in the same units (ms, and MB/s of input)."""
import base64
import hashlib
import os
import time
import zlib

DIGEST_BYTES = 100 << 20
BASE64_BYTES = 50 << 20


def best(label, size, fn, runs=5):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    t = min(times)
    print(f'{label:<24} {t * 1000:9.1f} ms {size / t / (1 << 20):9.0f} MB/s')


def main():
    data = os.urandom(DIGEST_BYTES)
    half = data[:BASE64_BYTES]
    text = base64.b64encode(half)
    best('zlib.crc32 100MB', DIGEST_BYTES, lambda: zlib.crc32(data))
    best('zlib.adler32 100MB', DIGEST_BYTES, lambda: zlib.adler32(data))
    best('hashlib.sha256 100MB', DIGEST_BYTES, lambda: hashlib.sha256(data).digest())
    best('base64.b64encode 50MB', BASE64_BYTES, lambda: base64.b64encode(half))
    best('base64.b64decode 50MB', BASE64_BYTES, lambda: base64.b64decode(text))


main()
