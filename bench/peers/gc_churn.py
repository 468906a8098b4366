# Make and drop 10 million short lists and strings (5M of each), as bench/kaz/gc_churn.kaz does.
n = 0
template = [1, 2, 3]
text = "abc"
for _ in range(5000000):
    b = list(template)
    s = "".join(text)
    n += 1
print(n)
