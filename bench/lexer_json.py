#!/usr/bin/env python3
"""The peer figure for bench_lexer: json.loads over 20 MB of JSON text holding the same mix of
names, numbers, texts and nested arrays as the lexer's generated source. Run by hand."""
import json
import random
import time

SIZE = 20 << 20


def generate():
    rng = random.Random(20260101)
    names = ["print", "append", "value", "either", "foreach", "block", "length?", "x", "y",
             "result", "make-thing", "to-string", "count", "empty?"]
    out = ["["]
    size = 1
    depth = 0
    first = True
    while size < SIZE:
        kind = rng.randrange(18)
        if kind == 16 and depth < 8:
            piece = "["
            depth += 1
        elif kind == 17 and depth > 0:
            out.append("]")
            size += 1
            depth -= 1
            first = False
            continue
        elif kind < 7:
            piece = json.dumps(rng.choice(names))
        elif kind < 10:
            piece = str(rng.randrange(-2**31, 2**31) >> rng.randrange(31))
        elif kind < 12:
            piece = "%d.%d" % (rng.randrange(100000), rng.randrange(1000))
        elif kind < 14:
            piece = json.dumps("some text %d" % rng.randrange(1000))
        else:
            piece = "true" if kind == 14 else "null"
        if not first:
            out.append(",")
            size += 1
        out.append(piece)
        size += len(piece)
        first = piece == "["
    out.append("]" * (depth + 1))
    return "".join(out)


def main():
    text = generate()
    runs = []
    for _ in range(4):
        start = time.perf_counter()
        json.loads(text)
        runs.append(time.perf_counter() - start)
    best = min(runs)
    print("json.loads: %.1f MB in %.0f ms: %.1f MB/s" % (len(text) / 2**20, best * 1000,
                                                        len(text) / 2**20 / best))


if __name__ == "__main__":
    main()
