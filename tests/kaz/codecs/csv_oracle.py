#!/usr/bin/env python3
"""The CSV codec against python3's csv module.

Usage: csv_oracle.py KAZ

Python's csv writer writes seeded random tables (fields with delimiters, quotes, line feeds,
carriage returns under CR LF line ends, spaces and text from every Unicode plane; comma,
semicolon and tab delimiters; CR LF and LF line ends); kaz reads each with load-csv and prints what it read as JSON; python
compares it with what its csv reader reads from the same text. Then kaz writes tables of its own with to-csv and python's csv reader reads them back.
"""
import csv
import io
import json
import os
import random
import subprocess
import sys
import tempfile

KAZ_SCRIPT = r'''Kaz [Title: "csv oracle"]
dir: to file! system/options/args/1
count: to integer! system/options/args/2
repeat i count [
    text: read rejoin [dir "table" i ".csv"]
    delimiter: first read rejoin [dir "table" i ".dlm"]
    print to-json/ascii load-csv/with text delimiter
]
repeat i count [
    rows: load-json read rejoin [dir "rows" i ".json"]
    write rejoin [dir "written" i ".csv"] to-csv rows
]
'''

rng = random.Random(4180)


def random_field(carriage_returns):
    kind = rng.random()
    if kind < 0.3:
        return str(rng.randint(-99999, 99999))
    pool = "abcxyz ,;\t\"'\n" + ("\r" if carriage_returns else "") + "é日😀"
    return "".join(rng.choice(pool) for _ in range(rng.randint(0, 10)))


def random_table(carriage_returns):
    width = rng.randint(1, 6)
    rows = []
    for _ in range(rng.randint(1, 30)):
        row = [random_field(carriage_returns) for _ in range(width)]
        # A row of one empty field is a blank line, which the readers take differently.
        if width == 1 and row[0] == "":
            row[0] = "x"
        rows.append(row)
    return rows


def main():
    kaz = sys.argv[1]
    failures = []
    count = 80
    with tempfile.TemporaryDirectory() as work:
        own = []
        for i in range(1, count + 1):
            # Python quotes a carriage return only when it ends its lines with one: with LF line
            # ends a bare CR would end a row in either reader.
            terminator = rng.choice(["\n", "\r\n"])
            rows = random_table(terminator == "\r\n")
            delimiter = rng.choice([",", ";", "\t"])
            out = io.StringIO(newline="")
            csv.writer(out, delimiter=delimiter, lineterminator=terminator).writerows(rows)
            with open(os.path.join(work, "table%d.csv" % i), "w", encoding="utf-8", newline="") as f:
                f.write(out.getvalue())
            with open(os.path.join(work, "table%d.dlm" % i), "w", encoding="utf-8") as f:
                f.write(delimiter)
            # to-csv quotes no carriage return (it is no line end of its own): those stay out
            mine = random_table(False)
            own.append(mine)
            with open(os.path.join(work, "rows%d.json" % i), "w", encoding="utf-8") as f:
                json.dump(mine, f)
        script = os.path.join(work, "oracle.kaz")
        with open(script, "w", encoding="utf-8") as f:
            f.write(KAZ_SCRIPT)
        run = subprocess.run([kaz, script, work + "/", str(count)], capture_output=True, text=True,
                             encoding="utf-8", timeout=600)
        if run.returncode != 0:
            print(run.stdout, run.stderr)
            return 1
        lines = run.stdout.splitlines()
        for i, line in enumerate(lines, 1):
            read = json.loads(line)
            with open(os.path.join(work, "table%d.csv" % i), encoding="utf-8", newline="") as f:
                with open(os.path.join(work, "table%d.dlm" % i), encoding="utf-8") as d:
                    rows = list(csv.reader(f, delimiter=d.read()))
            if read != rows:
                failures.append("table %d read differently\n  python: %r\n  kaz:    %r" % (i, rows, read))
        for i, rows in enumerate(own, 1):
            with open(os.path.join(work, "written%d.csv" % i), encoding="utf-8", newline="") as f:
                back = list(csv.reader(f))
            if back != rows:
                failures.append("table %d written differently\n  kaz:    %r\n  python: %r" % (i, rows, back))
    for f in failures:
        print(f)
    print("%d tables each way, %d failures" % (count, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
