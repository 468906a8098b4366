# 1M calls of a function that leaves through return (the Kaz row bench/kaz/return_calls.kaz).
def f(x):
    return x + 1

def main():
    i = 0
    for _ in range(1000000):
        i = f(i)
    print(i)

main()
