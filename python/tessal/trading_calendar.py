"""Holiday rules of the synthetic exchange calendar.

Trading days are weekdays minus a fixed, deterministic set of holidays each
year: New Year's Day (moved to the Monday when it falls on a weekend), the
Spring Festival week (seven days from the eve of the lunar new year), Labour
Day (1 May) and the National Day week (1-7 October).
"""
import datetime as _dt

import numpy as np

__all__ = ["holidays_of_year", "make_calendar"]

# Lunar new year's day per year; years outside the table use 1 February.
_LUNAR_NEW_YEAR = {
    1990: (1, 27), 1991: (2, 15), 1992: (2, 4), 1993: (1, 23), 1994: (2, 10),
    1995: (1, 31), 1996: (2, 19), 1997: (2, 7), 1998: (1, 28), 1999: (2, 16),
    2000: (2, 5), 2001: (1, 24), 2002: (2, 12), 2003: (2, 1), 2004: (1, 22),
    2005: (2, 9), 2006: (1, 29), 2007: (2, 18), 2008: (2, 7), 2009: (1, 26),
    2010: (2, 14), 2011: (2, 3), 2012: (1, 23), 2013: (2, 10), 2014: (1, 31),
    2015: (2, 19), 2016: (2, 8), 2017: (1, 28), 2018: (2, 16), 2019: (2, 5),
    2020: (1, 25), 2021: (2, 12), 2022: (2, 1), 2023: (1, 22), 2024: (2, 10),
    2025: (1, 29), 2026: (2, 17), 2027: (2, 6), 2028: (1, 26), 2029: (2, 13),
    2030: (2, 3), 2031: (1, 23), 2032: (2, 11), 2033: (1, 31), 2034: (2, 19),
    2035: (2, 8),
}


def holidays_of_year(year):
    """The holidays of `year` as a sorted list of `datetime.date` (weekends included)."""
    days = set()
    new_year = _dt.date(year, 1, 1)
    days.add(new_year)
    if new_year.weekday() >= 5:
        days.add(new_year + _dt.timedelta(days=7 - new_year.weekday()))
    month, day = _LUNAR_NEW_YEAR.get(year, (2, 1))
    eve = _dt.date(year, month, day) - _dt.timedelta(days=1)
    days.update(eve + _dt.timedelta(days=k) for k in range(7))
    days.add(_dt.date(year, 5, 1))
    days.update(_dt.date(year, 10, d) for d in range(1, 8))
    return sorted(days)


def make_calendar(start, end):
    """Trading days in [start, end] (inclusive) as a sorted `datetime64[D]` array."""
    first = np.datetime64(start, "D")
    last = np.datetime64(end, "D")
    if last < first:
        return np.array([], dtype="datetime64[D]")
    days = np.arange(first, last + np.timedelta64(1, "D"), dtype="datetime64[D]")
    # 1970-01-01 was a Thursday (weekday 3 with Monday = 0).
    weekday = (days.astype(np.int64) + 3) % 7
    first_year = int(str(first)[:4])
    last_year = int(str(last)[:4])
    holidays = np.array(
        [d for y in range(first_year, last_year + 1) for d in holidays_of_year(y)],
        dtype="datetime64[D]",
    )
    keep = (weekday < 5) & ~np.isin(days, holidays)
    return days[keep]
