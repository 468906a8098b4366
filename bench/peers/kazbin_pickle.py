"""The peer of bench/kazbin_bench.cpp: pickle and marshal on a list of 1,000,000 values
(integers, strings and two-integer lists in turn). Prints the fastest of five runs of each."""
import marshal
import pickle
import time


def values():
    out = []
    for i in range(1_000_000):
        r = i % 3
        out.append(i if r == 0 else "item%d" % i if r == 1 else [i, i + 1])
    return out


def fastest(f, runs=5):
    best = None
    for _ in range(runs):
        t = time.perf_counter()
        f()
        d = time.perf_counter() - t
        best = d if best is None or d < best else best
    return best * 1000


v = values()
p = pickle.dumps(v, protocol=pickle.HIGHEST_PROTOCOL)
m = marshal.dumps(v)
print("pickle  dumps %8.1f ms  loads %8.1f ms  %d bytes" %
      (fastest(lambda: pickle.dumps(v, protocol=pickle.HIGHEST_PROTOCOL)), fastest(lambda: pickle.loads(p)), len(p)))
print("marshal dumps %8.1f ms  loads %8.1f ms  %d bytes" %
      (fastest(lambda: marshal.dumps(v)), fastest(lambda: marshal.loads(m)), len(m)))
