#!/usr/bin/env python3
"""The JSON codec against python3's json module.

Usage: json_oracle.py KAZ

Python writes seeded random documents (every value kind, deep nesting, text from every Unicode
plane, control characters, numbers near the integer limits) in several layouts; kaz decodes each
with load-json and writes it back with to-json, to-json/ascii and to-json/pretty; python reads
what kaz wrote and compares it with the document it started from. Then a list of texts that are
JSON and texts that are not: kaz must accept exactly those python's strict reader accepts.
"""
import json
import math
import os
import random
import subprocess
import sys
import tempfile

KAZ_SCRIPT = r'''Kaz [Title: "json oracle"]
dir: to file! system/options/args/1
count: to integer! system/options/args/2
accept: to integer! system/options/args/3
repeat i count [
    text: read rejoin [dir "doc" i ".json"]
    value: load-json text
    either error? value [print ["doc" i "failed:" value/arg1]] [
        write rejoin [dir "out" i "-c.json"] to-json value
        write rejoin [dir "out" i "-a.json"] to-json/ascii value
        write rejoin [dir "out" i "-p.json"] to-json/pretty value "  "
    ]
]
repeat i accept [
    text: read rejoin [dir "accept" i ".json"]
    result: try [load-json text]
    print either error? result [either result/type = 'user ["rejected"] ["raised"]] ["accepted"]
]
'''

rng = random.Random(20261211)


def random_char():
    kind = rng.random()
    if kind < 0.55:
        return chr(rng.randint(0x20, 0x7E))
    if kind < 0.65:
        return rng.choice('"\\/\b\f\n\r\t\x00\x01\x1f\x7f')
    if kind < 0.80:
        return chr(rng.randint(0xA0, 0x7FF))
    if kind < 0.92:
        cp = rng.randint(0x800, 0xFFFD)
        return chr(cp if not 0xD800 <= cp <= 0xDFFF else 0x4E2D)
    return chr(rng.randint(0x10000, 0x10FFFF))


def random_text(limit=12):
    return "".join(random_char() for _ in range(rng.randint(0, limit)))


def random_number():
    kind = rng.randrange(6)
    if kind == 0:
        return rng.randint(-1000, 1000)
    if kind == 1:
        return rng.choice([2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 0, -1])
    if kind == 2:
        return rng.randint(-(2**53), 2**53)
    if kind == 3:
        return rng.uniform(-1e6, 1e6)
    if kind == 4:
        return rng.choice([1e-300, 1.5e300, 2.5e-8, 6.02e23, -0.0, 0.1, 123456789.125])
    return round(rng.uniform(-1000, 1000), rng.randint(0, 6))


def random_value(depth):
    kinds = ["null", "bool", "number", "text"]
    if depth < 6:
        kinds += ["array", "object"] * 2
    kind = rng.choice(kinds)
    if kind == "null":
        return None
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "number":
        return random_number()
    if kind == "text":
        return random_text()
    if kind == "array":
        return [random_value(depth + 1) for _ in range(rng.randint(0, 6))]
    # Map keys do not tell case apart: one key per folded name.
    obj, folded = {}, set()
    for _ in range(rng.randint(0, 6)):
        key = rng.choice([random_text(8), rng.choice(["id", "name", "a-b", "x1", "+1", "", "true", "é"])])
        if key.casefold() not in folded:
            folded.add(key.casefold())
            obj[key] = random_value(depth + 1)
    return obj


def same(a, b):
    if isinstance(a, bool) or isinstance(b, bool) or a is None or b is None:
        return a is b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        if a == b:
            return True
        return math.isclose(a, b, rel_tol=1e-15, abs_tol=1e-300)
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return False


def nested(depth):
    return "[" * depth + "1" + "]" * depth


# (text) -> whether python's strict reader takes it; kaz must agree.
CASES = [
    "0", "-0", "-0.0e-0", "1E9", "1e+9", "[]", "{}", " \t\r\n[ 1 ,\n2 ] ", '{"a":{"b":[{}]}}', '"\\u0000"',
    '"\\ud834\\udd1e"', '"\\/"', '"\x7f"', '"\u2028"', nested(500), '[1,{"a":[true,false,null]}]',
    "01", "00", "-", "-01", "+1", "1.", ".1", "1e", "1e+", "0x10", "Infinity", "-Infinity", "NaN",
    "[1,]", "[,1]", "[1 2]", '{"a" 1}', '{"a":1,}', "{1:1}", "{'a':1}", "['a']", '"\t"', '"\n"',
    '"\\x41"', '"\\U0041"', '"\\u00G1"', '"abc', "[1", "]", "}", "nul", "truex", "[true false]",
    "\ufeff[]", "[1]\x00", "\x0c[]", "[\u00a0]", '"a"b', "// c\n1", "/* c */ 1", "",
]


def main():
    kaz = sys.argv[1]
    failures = []
    with tempfile.TemporaryDirectory() as work:
        docs = []
        for i in range(1, 121):
            doc = random_value(0)
            docs.append(doc)
            indent = rng.choice([None, None, 1, 4, "\t"])
            text = json.dumps(doc, ensure_ascii=rng.random() < 0.5, indent=indent,
                              separators=rng.choice([(",", ":"), (", ", ": ")]) if indent is None else None)
            with open(os.path.join(work, "doc%d.json" % i), "w", encoding="utf-8") as f:
                f.write(text)
        for i, text in enumerate(CASES, 1):
            with open(os.path.join(work, "accept%d.json" % i), "w", encoding="utf-8") as f:
                f.write(text)
        script = os.path.join(work, "oracle.kaz")
        with open(script, "w", encoding="utf-8") as f:
            f.write(KAZ_SCRIPT)
        run = subprocess.run([kaz, script, work + "/", str(len(docs)), str(len(CASES))],
                             capture_output=True, text=True, encoding="utf-8", timeout=600)
        if run.returncode != 0:
            print(run.stdout, run.stderr)
            return 1
        lines = run.stdout.splitlines()
        for line in lines[:-len(CASES)]:
            failures.append(line)
        for i, doc in enumerate(docs, 1):
            for variant in "cap":
                path = os.path.join(work, "out%d-%s.json" % (i, variant))
                if not os.path.exists(path):
                    failures.append("doc %d: no %s output" % (i, variant))
                    continue
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                try:
                    back = json.loads(text)
                except ValueError as e:
                    failures.append("doc %d %s: python cannot read it: %s" % (i, variant, e))
                    continue
                if not same(doc, back):
                    failures.append("doc %d %s: differs\n  in:  %r\n  out: %r" % (i, variant, doc, back))
                if variant == "a" and not text.isascii():
                    failures.append("doc %d: /ascii output holds non-ASCII text" % i)
        for text, answer in zip(CASES, lines[-len(CASES):]):
            try:
                json.loads(text, parse_constant=lambda name: (_ for _ in ()).throw(ValueError(name)))
                expected = "accepted"
            except ValueError:
                expected = "rejected"
            if answer != expected:
                failures.append("%r: kaz %s, python %s" % (text, answer, expected))
    for f in failures:
        print(f)
    print("%d documents, %d texts, %d failures" % (len(docs), len(CASES), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
