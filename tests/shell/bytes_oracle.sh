# Checksums, digests, HMAC, the base encodings and compression against python3's own (zlib,
# gzip, hashlib, hmac, base64) and the gzip command, on pseudo-random, text, repetitive and
# empty inputs of every size class, both ways: what kaz computes and writes, python3 checks;
# what python3 and gzip write, kaz reads back.
source "$(dirname "$0")/lib.sh"

python3 - "$kaz" "$scratch" <<'PY' || failures=$((failures + 1))
import base64, gzip, hashlib, hmac, random, subprocess, sys, zlib

kaz, scratch = sys.argv[1], sys.argv[2]
rng = random.Random(20240611)
B58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def b58(data):
    n, digits = int.from_bytes(data, "big"), ""
    while n:
        n, r = divmod(n, 58)
        digits = B58[r] + digits
    return "1" * (len(data) - len(data.lstrip(b"\0"))) + digits


def s32(x):
    return x - (1 << 32) if x >= 1 << 31 else x


def tcp(data):
    s = sum(data[i] << 8 | data[i + 1] for i in range(0, len(data) - 1, 2))
    if len(data) % 2:
        s += data[-1]
    while s >> 16:
        s = (s >> 16) + (s & 0xFFFF)
    return ~s & 0xFFFF


def hexb(data):
    return "#{" + data.hex().upper() + "}"


def literal(data):
    # Base 64 in a braced string, cut into lines: debase skips the line feeds.
    return "debase {" + base64.encodebytes(data).decode() + "}"


def text_of(n):
    words = ["kaz", "binary", "été", "naïve", "日本", "x", "the", "and", "Ω"]
    out = ""
    while len(out.encode()) < n:
        out += rng.choice(words) + rng.choice([" ", " ", ",", "\n"])
    return out


inputs = []
for n in [0, 1, 2, 3, 4, 5, 31, 32, 33, 63, 64, 65, 1000, 65535, 65536, 65537, 200000]:
    inputs.append(bytes(rng.getrandbits(8) for _ in range(n)))
    inputs.append((b"abcd" * (n // 4 + 1))[:n])
inputs.append(bytes(1000))
texts = [text_of(n) for n in [10, 5000, 100000]]
inputs += [t.encode() for t in texts]

script = ["Kaz []"]
expected = []
digests = ["md5", "sha1", "sha256", "sha384", "sha512"]
for i, data in enumerate(inputs):
    script.append("data: " + literal(data))
    # the sums and digests, and HMAC under a key of a length about a block's
    key = bytes(rng.getrandbits(8) for _ in range(rng.choice([0, 1, 20, 64, 65, 128, 129, 200])))
    script.append("key: " + literal(key))
    script.append("print mold/flat reduce [checksum data 'crc32 checksum data 'adler32 checksum data 'tcp"
                  + "".join(" checksum data '%s checksum/with data '%s key" % (d, d) for d in digests) + "]")
    parts = [str(s32(zlib.crc32(data))), str(s32(zlib.adler32(data))), str(tcp(data))]
    for d in digests:
        parts += [hexb(hashlib.new(d, data).digest()), hexb(hmac.new(key, data, d).digest())]
    expected.append("[" + " ".join(parts) + "]")
    # the base encodings (base 58 is quadratic: small inputs only)
    script.append('print enbase data')
    expected.append(base64.b64encode(data).decode())
    script.append('print enbase/base data 16')
    expected.append(data.hex().upper())
    if len(data) <= 1000:
        script.append('print enbase/base data 2')
        expected.append("".join(format(b, "08b") for b in data))
        script.append('print enbase/base data 58')
        expected.append(b58(data))
        script.append('print data = debase/base enbase/base data 58 58')
        expected.append("true")
    # what kaz compresses, python3 inflates (checked below); what python3 and gzip compress, kaz inflates
    for method in ["deflate", "zlib", "gzip"]:
        script.append("print enbase compress data '%s" % method)
        expected.append(("inflate", method, data))
    level = rng.choice([0, 1, 6, 9])
    wbits = rng.choice([9, 10, 12, 15])
    co = zlib.compressobj(level, zlib.DEFLATED, -wbits)
    half = data[: len(data) // 2]
    gz = subprocess.run(["gzip", "-c", "-" + str(rng.choice([1, 6, 9]))], input=data,
                        stdout=subprocess.PIPE, check=True).stdout
    streams = [("deflate", co.compress(data) + co.flush(), data),
               ("zlib", zlib.compress(data, level), data),
               ("gzip", gzip.compress(data, compresslevel=max(level, 1)), data),
               ("gzip", gz, data),
               # members back to back read as one stream
               ("gzip", gzip.compress(half) + gz, half + data)]
    for method, packed, out in streams:
        script.append("print mold/flat decompress %s '%s" % (literal(packed), method))
        expected.append(hexb(out))
# a text value is summed as its UTF-8, and a file as its content
for i, t in enumerate(texts):
    path = "%s/text%d.txt" % (scratch, i)
    open(path, "wb").write(t.encode())
    script.append("text: to string! " + literal(t.encode()))
    script.append("print mold/flat reduce [checksum text 'sha256 checksum %%%s 'sha256 checksum %%%s 'crc32]" % (path, path))
    digest = hexb(hashlib.sha256(t.encode()).digest())
    expected.append("[%s %s %d]" % (digest, digest, s32(zlib.crc32(t.encode()))))

open(scratch + "/oracle.kaz", "w").write("\n".join(script) + "\n")
run = subprocess.run([kaz, scratch + "/oracle.kaz"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
lines = run.stdout.decode("utf-8", "replace").split("\n")
problems = 0
if run.returncode != 0 or len(lines) != len(expected) + 1:
    print("FAIL: kaz exited with %d after %d lines of %d" % (run.returncode, len(lines) - 1, len(expected)))
    print("\n".join(lines[-5:]))
    sys.exit(1)
inflaters = {"deflate": lambda b: zlib.decompress(b, -15), "zlib": zlib.decompress, "gzip": gzip.decompress}
for n, (want, got) in enumerate(zip(expected, lines)):
    if isinstance(want, tuple):
        _, method, data = want
        try:
            ok = inflaters[method](base64.b64decode(got)) == data
        except Exception as e:
            ok = False
        if not ok:
            problems += 1
            print("FAIL: python3 does not read back kaz's %s of input %d bytes" % (method, len(data)))
    elif want != got:
        problems += 1
        print("FAIL: line %d\n--- expected:\n%s\n--- got:\n%s" % (n + 1, want[:300], got[:300]))
print("%d lines checked, %d problems" % (len(expected), problems))
sys.exit(1 if problems else 0)
PY

finish
