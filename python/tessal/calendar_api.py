"""Trading calendar queries."""
import numbers

import numpy as np
import pandas as pd

from . import _state
from ._query import day

__all__ = ["get_latest_trading_date", "get_trading_dates", "get_previous_trading_date",
           "get_next_trading_date", "trading_date_offset", "is_trading_date"]


def _count(n, name, minimum):
    if isinstance(n, bool) or not isinstance(n, numbers.Integral):
        raise ValueError("{} must be an integer, got {!r}".format(name, n))
    n = int(n)
    if n < minimum:
        raise ValueError("{} must be >= {}, got {}".format(name, minimum, n))
    return n


def _at(calendar, pos, date, what):
    if pos < 0 or pos >= calendar.size:
        raise ValueError("{} of {} lies outside the trading calendar ({} to {})".format(
            what, pd.Timestamp(date).date(), calendar[0], calendar[-1]))
    return pd.Timestamp(calendar[pos])


def get_latest_trading_date():
    """The last trading date that holds market data, as a `Timestamp`."""
    return pd.Timestamp(_state.current().latest_date)


def get_trading_dates(start_date, end_date):
    """The trading dates in [start_date, end_date] as a `DatetimeIndex` (may be empty)."""
    cal = _state.current().calendar
    lo = np.searchsorted(cal, day(start_date), side="left")
    hi = np.searchsorted(cal, day(end_date), side="right")
    return pd.DatetimeIndex(cal[lo:max(lo, hi)].astype("datetime64[ns]"))


def is_trading_date(date):
    cal = _state.current().calendar
    d = day(date)
    pos = np.searchsorted(cal, d)
    return bool(pos < cal.size and cal[pos] == d)


def get_previous_trading_date(date, n=1):
    """The n-th trading date strictly before `date` (which need not be a trading date)."""
    n = _count(n, "n", 1)
    cal = _state.current().calendar
    d = day(date)
    return _at(cal, int(np.searchsorted(cal, d, side="left")) - n, d, "the previous trading date")


def get_next_trading_date(date, n=1):
    """The n-th trading date strictly after `date`.

    n = 0 gives `date` itself when it is a trading date, else the next one.
    """
    n = _count(n, "n", 0)
    cal = _state.current().calendar
    d = day(date)
    if n == 0:
        return _at(cal, int(np.searchsorted(cal, d, side="left")), d, "the next trading date")
    return _at(cal, int(np.searchsorted(cal, d, side="right")) + n - 1, d,
               "the next trading date")


def trading_date_offset(date, n):
    """The trading date n trading dates away from `date`.

    n < 0: the (-n)-th trading date before `date`; n > 0: the n-th after it.
    Counting starts at `date` itself only when it is a trading date, so a
    non-trading date is never returned.  n = 0 gives `date` when it is a
    trading date, else the trading date before it (the calendar as it stood
    on that day).
    """
    n = _count(n, "n", -(1 << 62))
    cal = _state.current().calendar
    d = day(date)
    if n < 0:
        pos = int(np.searchsorted(cal, d, side="left")) + n
    elif n > 0:
        pos = int(np.searchsorted(cal, d, side="right")) + n - 1
    else:
        pos = int(np.searchsorted(cal, d, side="right")) - 1
    return _at(cal, pos, d, "the trading date {} days away".format(n))
