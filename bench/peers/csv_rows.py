#!/usr/bin/env python3
"""The rows of bench/kaz/csv_rows.kaz in Python 3, for bench/csv_peers.sh: csv_rows.py ROW N CSV
reads the text (and for csv-encode reads its rows once), then runs the row's operation N times
(N = 0 measures the making alone)."""
import csv
import io
import sys

row, n, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(path, encoding="utf-8", newline="") as f:
    text = f.read()

result = None
if row == "csv-decode":
    for _ in range(n):
        result = len(list(csv.reader(io.StringIO(text, newline=""))))
elif row == "csv-encode":
    rows = list(csv.reader(io.StringIO(text, newline="")))
    for _ in range(n):
        out = io.StringIO()
        csv.writer(out, lineterminator="\n").writerows(rows)
        result = len(out.getvalue())
print(result)
