#!/usr/bin/env python3
"""The rows of bench/kaz/helpers.kaz in Python 3, for bench/helpers_peers.sh: helpers_rows.py
ROW N WORDS makes the row's input, then runs its operation N times (N = 0 measures the making
alone)."""
import sys

row, n, words20 = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(words20, encoding="utf-8") as f:
    text = f.read()

result = None
if row == "replace-all":
    for _ in range(n):
        result = len(text.replace(",", " ;"))
elif row == "split-spaces":
    for _ in range(n):
        result = len(text.split(" "))
elif row == "split-lines":
    for _ in range(n):
        result = len(text.split("\n"))
elif row == "extract":
    values = list(range(1, 1000001))
    for _ in range(n):
        result = len(values[::2])
print(result)
