#!/usr/bin/env python3
"""Deterministic inputs of the file rows (bench/run_files.sh), written into the directory given:
   words20.txt   ~20 MB of prose-like lines (the lines rows)
   text200.txt   ~200 MB of the same kind of text (the read and write rows)"""
import os, random, sys

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
rng = random.Random(12345)
letters = "abcdefghijklmnopqrstuvwxyz"
vocab, seen = [], set()
while len(vocab) < 5000:
    w = "".join(rng.choice(letters) for _ in range(rng.randint(2, 10)))
    if w not in seen:
        seen.add(w)
        vocab.append(w)
weights = [1.0 / (i + 1) for i in range(len(vocab))]
punct = ["", "", "", "", "", ",", ".", ";"]

def text(target):
    lines, size = [], 0
    while size < target:
        words = rng.choices(vocab, weights, k=rng.randint(6, 16))
        line = " ".join(w + rng.choice(punct) for w in words) + "\n"
        lines.append(line)
        size += len(line)
    return "".join(lines)

words = text(20 * 1000 * 1000)
with open(os.path.join(out, "words20.txt"), "w") as f:
    f.write(words)
# Ten different 20 MB texts would say nothing more about reading and writing.
with open(os.path.join(out, "text200.txt"), "w") as f:
    for _ in range(10):
        f.write(words)
