# The row money_sum with Python's decimal: 200k products, sums and differences of amounts.
from decimal import Decimal


def main():
    price = Decimal("19.99")
    cent = Decimal("0.01")
    total = Decimal(0)
    for i in range(200000):
        total = total + (price * (i % 7)) - cent
    print(f"${total:.2f}")


main()
