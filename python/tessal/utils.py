"""Date helpers shared by the client functions."""
import datetime as _dt
import numbers

import numpy as np
import pandas as pd

__all__ = ["to_date_str", "to_timestamp", "to_day"]


def to_timestamp(date):
    """The calendar day of `date` as a midnight `pandas.Timestamp`.

    Accepts what `pandas.Timestamp` accepts (text, `date`, `datetime`,
    `numpy.datetime64`) and eight-digit integers such as 20200102.  Missing or
    unparsable dates raise `ValueError`; the time of day is dropped.
    """
    if date is None:
        raise ValueError("date must not be None")
    if isinstance(date, numbers.Integral) and not isinstance(date, bool):
        text = str(int(date))
        if len(text) != 8:
            raise ValueError("integer dates must have the form YYYYMMDD, got {}".format(date))
        date = text
    if isinstance(date, bool):
        raise ValueError("invalid date: {!r}".format(date))
    try:
        ts = pd.Timestamp(date)
    except (TypeError, ValueError) as exc:
        raise ValueError("invalid date: {!r}".format(date)) from exc
    if ts is pd.NaT or pd.isna(ts):
        raise ValueError("invalid date: {!r}".format(date))
    if ts.tzinfo is not None:
        ts = ts.tz_localize(None)
    return ts.normalize()


def to_day(date):
    """The calendar day of `date` as `numpy.datetime64[D]` (for searches in the calendar)."""
    return np.datetime64(to_timestamp(date).date(), "D")


def to_date_str(date):
    """The calendar day of `date` as text "YYYY-MM-DD"."""
    if isinstance(date, _dt.date) and not isinstance(date, _dt.datetime):
        return date.strftime("%Y-%m-%d")
    return to_timestamp(date).strftime("%Y-%m-%d")
