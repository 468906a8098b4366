# Python's decimal on the operands bench/decimal_bench.cpp uses (amounts of 1 to 8 integer
# digits and 2 fractional ones, both signs): add, and multiply and divide cut to 5 places as
# money! cuts them. Prints nanoseconds per operation, less the cost of the bare loop.
import decimal
import random
import time
from decimal import Decimal

decimal.getcontext().prec = 28
UNIT = Decimal("0.00001")
DOWN = decimal.ROUND_DOWN
COUNT = 10_000
ROUNDS = 100


def amounts(seed):
    rng = random.Random(seed)
    out = []
    for _ in range(COUNT):
        whole = 1 + (rng.randrange(99_999_999) >> rng.randrange(20))
        sign = "-" if rng.randrange(2) == 0 else ""
        out.append(Decimal(f"{sign}{whole}.{rng.randint(10, 99)}"))
    return out


pairs = list(zip(amounts(0), amounts(1)))


def timed(body):
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(ROUNDS):
            body()
        best = min(best, time.perf_counter() - start)
    return best / (ROUNDS * COUNT) * 1e9


def bare():
    for a, b in pairs:
        pass


def add():
    for a, b in pairs:
        a + b


def multiply():
    for a, b in pairs:
        (a * b).quantize(UNIT, DOWN)


def divide():
    for a, b in pairs:
        (a / b).quantize(UNIT, DOWN)


loop = timed(bare)
print(f"loop      {loop:6.1f} ns")
for name, body in (("add", add), ("multiply", multiply), ("divide", divide)):
    print(f"{name:9} {timed(body) - loop:6.1f} ns")
