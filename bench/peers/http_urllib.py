#!/usr/bin/env python3
"""The peer of bench/http_bench.cpp: a thousand GETs of a 1 KB body and one GET of 100 MB with
urllib, from the server at the URL given (bench/http_peers.sh starts it). Prints the mean time
of five runs of each, in milliseconds."""
import sys
import time
import urllib.request

RUNS = 5


def get(url, expected):
    with urllib.request.urlopen(url) as response:
        body = response.read()
    assert response.status == 200 and len(body) == expected


def timed(name, work):
    start = time.perf_counter()
    for _ in range(RUNS):
        work()
    print(f"{name:<16} {(time.perf_counter() - start) * 1000 / RUNS:10.1f} ms")


def main():
    base = sys.argv[1]
    small, big = base + "/bytes/1024", base + f"/bytes/{100 << 20}"
    timed("get_1k_x1000", lambda: [get(small, 1024) for _ in range(1000)])
    timed("get_100mb", lambda: get(big, 100 << 20))


if __name__ == "__main__":
    main()
