#!/usr/bin/env python3
"""Writes the same 20 MB of data twice: as Kaz source (source.kaz) and as a Python literal
(source.py), for bench/load_peers.sh. Integers, floats, texts, words (names in Python) and nested
blocks (lists), in a fixed pseudo-random mix."""
import random
import sys

SIZE = 20 << 20


def main(out_dir):
    rng = random.Random(20261211)
    names = ["print", "append", "value", "either", "foreach", "block", "x", "y", "result", "count"]
    kaz, py = ["["], ["["]
    size, depth = 1, 0
    while size < SIZE:
        kind = rng.randrange(10)
        if kind == 0 and depth < 8:
            k, p = "[", "["
            depth += 1
        elif kind == 1 and depth > 0:
            k, p = "]", "],"
            depth -= 1
        elif kind < 4:
            n = rng.randrange(-100000, 100000)
            k, p = str(n), f"{n},"
        elif kind < 6:
            f = rng.randrange(1, 10**6) / 1000
            k, p = repr(f), f"{f!r},"
        elif kind < 8:
            t = "".join(rng.choice("abcdefghij klmnop") for _ in range(rng.randrange(1, 20)))
            k, p = f'"{t}"', f'"{t}",'
        else:
            w = rng.choice(names)
            k, p = w, f"{w},"
        kaz.append(k)
        py.append(p)
        size += len(k) + 1
    kaz.append("]" * depth + "]")
    py.append("]," * depth + "]")
    with open(f"{out_dir}/source.kaz", "w") as f:
        f.write(" ".join(kaz))
    with open(f"{out_dir}/source.py", "w") as f:
        f.write("".join(py))


if __name__ == "__main__":
    main(sys.argv[1])
