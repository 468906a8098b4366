#!/usr/bin/env python3
"""The rows of bench/kaz/json_rows.kaz in Python 3, for bench/json_peers.sh: json_rows.py ROW N DOC
reads the document (and for json-encode decodes it once), then runs the row's operation N
times (N = 0 measures the making alone). Compact separators, as to-json writes."""
import json
import sys

row, n, doc = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(doc, encoding="utf-8") as f:
    text = f.read()

result = None
if row == "json-decode":
    for _ in range(n):
        result = len(json.loads(text)["records"])
elif row == "json-encode":
    value = json.loads(text)
    for _ in range(n):
        result = len(json.dumps(value, ensure_ascii=False, separators=(",", ":")))
print(result)
