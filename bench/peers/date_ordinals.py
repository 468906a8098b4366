# Python's datetime on the days bench/calendar_bench.cpp walks: every day from 1600 to 2400,
# from its ordinal to a date and back. Prints nanoseconds per day, less the bare loop.
import datetime as dt
import time

FIRST = dt.date(1600, 1, 1).toordinal()
LAST = dt.date(2400, 12, 31).toordinal()
fromordinal = dt.date.fromordinal


def timed(body):
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        body()
        best = min(best, time.perf_counter() - start)
    return best / (LAST - FIRST + 1) * 1e9


def bare():
    for n in range(FIRST, LAST + 1):
        pass


def round_trip():
    for n in range(FIRST, LAST + 1):
        fromordinal(n).toordinal()


loop = timed(bare)
print(f"loop       {loop:6.1f} ns")
print(f"round trip {timed(round_trip) - loop:6.1f} ns")
