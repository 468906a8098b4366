"""python3's zlib at level 6 on a file, in process: the best of three runs of compress and of
decompress, and the compressed size. Usage: python3 deflate_zlib.py FILE"""
import sys, time, zlib

data = open(sys.argv[1], 'rb').read()

def best(fn):
    times = []
    for _ in range(3):
        t = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t)
    return min(times) * 1000, out

ms, packed = best(lambda: zlib.compress(data, 6))
print('compress   %7.0f ms  %d -> %d bytes' % (ms, len(data), len(packed)))
ms, back = best(lambda: zlib.decompress(packed))
assert back == data
print('decompress %7.0f ms' % ms)
ms, back = best(lambda: zlib.decompress(packed, bufsize=len(data)))
print('decompress %7.0f ms  (output buffer sized beforehand)' % ms)
