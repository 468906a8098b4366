"""Python's side of bench/kaz/bytes.kaz, row by row: `bytes.py ROW N [TEXT]` makes the row's
input, then runs its operation N times (N = 0 measures the making alone). The DEFLATE rows read
the 50 MB text of gen_data.py (TEXT) and use zlib at level 6."""
import base64
import hashlib
import sys
import zlib


def mib(k):
    return bytes(range(256)) * (k * 4096)


def main():
    row, n = sys.argv[1], int(sys.argv[2])
    text = open(sys.argv[3], "rb").read() if len(sys.argv) > 3 else b""
    result = None
    if row == "crc32":
        data = mib(100)
        for _ in range(n):
            result = zlib.crc32(data)
    elif row == "sha256":
        data = mib(100)
        for _ in range(n):
            result = hashlib.sha256(data).digest()
    elif row == "enbase":
        data = mib(50)
        for _ in range(n):
            result = len(base64.b64encode(data))
    elif row == "debase":
        data = base64.b64encode(mib(50))
        for _ in range(n):
            result = len(base64.b64decode(data))
    elif row == "compress":
        for _ in range(n):
            result = len(zlib.compress(text, 6))
    elif row == "decompress":
        data = zlib.compress(text, 6)
        for _ in range(n):
            result = len(zlib.decompress(data))
    elif row == "decompress-sized":
        data = zlib.compress(text, 6)
        for _ in range(n):
            result = len(zlib.decompress(data, bufsize=len(text)))
    print(result)


main()
