#!/usr/bin/env python3
"""Writes the ~20 MB CSV text of bench/csv_peers.sh to the path given: 8 fields a row, with
numbers, words, quoted fields holding commas, doubled quotes and line breaks, and some
non-ASCII text. Deterministic."""
import csv
import random
import sys

rng = random.Random(4180)
letters = "abcdefghijklmnopqrstuvwxyz"
vocab = ["".join(rng.choice(letters) for _ in range(rng.randint(2, 10))) for _ in range(3000)]
with open(sys.argv[1], "w", encoding="utf-8", newline="") as f:
    w = csv.writer(f, lineterminator="\n")
    size, i = 0, 0
    while size < 20 * 1000 * 1000:
        row = [
            str(i),
            rng.choice(vocab),
            "%.4f" % rng.uniform(-1000, 1000),
            " ".join(rng.choices(vocab, k=rng.randint(1, 6))),
            "%s, %s" % (rng.choice(vocab), rng.choice(vocab)) if i % 3 == 0 else rng.choice(vocab),
            'say "%s"' % rng.choice(vocab) if i % 5 == 0 else "",
            "line one\nline two" if i % 11 == 0 else str(rng.randint(0, 99999)),
            "caf\u00e9 \u4e2d\u6587" if i % 7 == 0 else rng.choice(vocab),
        ]
        w.writerow(row)
        size += sum(len(x) for x in row) + 12
        i += 1
