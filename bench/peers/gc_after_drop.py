# Keep 100,000 strings, drop them, then make and drop 2 million objects, as
# bench/kaz/gc_after_drop.kaz does.
class Record:
    __slots__ = ("a", "b")

    def __init__(self, a, b):
        self.a = a
        self.b = b


keep = [str(i) * 2 for i in range(100000)]
keep = None
n = 0
for i in range(1, 2000001):
    o = Record(i, "x")
    n += 1
print(n)
