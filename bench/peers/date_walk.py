# The row date_walk with Python's datetime: 200k days added to a date with a time and zone,
# each day's weekday read.
import datetime as dt

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def main():
    zone = dt.timezone(dt.timedelta(hours=2))
    d = dt.datetime(2000, 1, 1, 10, 30, tzinfo=zone)
    day = dt.timedelta(days=1)
    n = 0
    for _ in range(200000):
        d += day
        n += d.isoweekday()
    print(f"{d.day}-{MONTHS[d.month - 1]}-{d.year}/{d.hour}:{d.minute:02d}:{d.second:02d}+02:00 {n}")


main()
