#!/usr/bin/env python3
"""The rows of bench/kaz/files.kaz in Python 3, for bench/files_peers.sh: files_rows.py ROW N DATA WORDS
makes the row's input, then runs its operation N times (N = 0 measures the making alone)."""
import os, subprocess, sys

row, n, data, words20 = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
text200 = os.path.join(data, "text200.txt")
scratch = os.path.join(data, "written.tmp")

def write(mode, value):
    with open(scratch, mode, **({} if "b" in mode else {"encoding": "utf-8"})) as f:
        return f.write(value)

result = None
if row == "read-text":
    for _ in range(n):
        with open(text200, encoding="utf-8") as f:
            result = len(f.read())
elif row == "read-binary":
    for _ in range(n):
        with open(text200, "rb") as f:
            result = len(f.read())
elif row == "write-text":
    with open(text200, encoding="utf-8") as f:
        text = f.read()
    for _ in range(n):
        result = write("w", text)
elif row == "write-binary":
    with open(text200, "rb") as f:
        blob = f.read()
    for _ in range(n):
        result = write("wb", blob)
elif row == "read-lines":
    for _ in range(n):
        with open(words20, encoding="utf-8") as f:
            result = len(f.read().splitlines())
elif row == "call-true":
    for _ in range(n):
        result = subprocess.run(["true"]).returncode
print(result)
