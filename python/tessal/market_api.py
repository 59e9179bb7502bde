"""Daily bars, change rates and dates x instruments panels."""
import numpy as np
import pandas as pd

from . import _state
from ._query import check_panel_size, columns_of, date_range, day, id_list, long_frame, name_list
from .bundle.format import PRICE_FIELDS

__all__ = ["get_price", "get_price_change_rate", "get_panel", "dense_panel"]


def _check_expect_df(expect_df):
    if expect_df is not True:
        raise ValueError("only expect_df=True is supported: results are DataFrames")


def get_price(order_book_ids, start_date=None, end_date=None, frequency="1d", fields=None,
              adjust_type="none", skip_suspended=False, expect_df=True, market="cn"):
    """Daily bars indexed by (order_book_id, date), one column per field.

    `fields`: one of "open", "high", "low", "close", "volume",
    "total_turnover", a list of them, or None for all.  Dates default to the
    first and last dates with data.  Only daily bars ("1d") are stored and
    prices are as traded ("none").  Rows are the days an instrument has data;
    a suspended day has volume 0 and repeats the last close; with
    `skip_suspended` such days are left out.  Returns None when nothing matches.
    """
    _check_expect_df(expect_df)
    if frequency != "1d":
        raise ValueError("frequency {!r} is not available: the bundle stores daily bars ('1d') "
                         "only".format(frequency))
    if adjust_type not in ("none", None):
        raise ValueError("adjust_type {!r} is not available: prices are stored as traded "
                         "('none')".format(adjust_type))
    bundle = _state.current()
    names = name_list(fields, PRICE_FIELDS, "field(s)")
    ids = id_list(order_book_ids)
    start, end = date_range(bundle, start_date, end_date)
    cols = columns_of(bundle, ids)
    r0, r1 = bundle.data_rows(start, end)
    probe = ["close", "volume"]
    wanted = names + [p for p in probe if p not in names]
    frame = long_frame(bundle, [bundle.array("fields", f) for f in wanted], wanted, ids, cols,
                       r0, r1)
    if frame is None:
        return None
    if skip_suspended:
        frame = frame[frame["volume"] > 0]
        if frame.empty:
            return None
    return frame[names]


def dense_panel(bundle, array, ids, cols, start, end):
    """Calendar dates in [start, end] x ids from one array; NaN where there is no data."""
    cal = bundle.calendar
    lo = int(np.searchsorted(cal, start, side="left"))
    hi = max(lo, int(np.searchsorted(cal, end, side="right")))
    check_panel_size(hi - lo, cols.size)
    index = pd.DatetimeIndex(cal[lo:hi].astype("datetime64[ns]"))
    r0, r1 = bundle.data_rows(start, end)
    known = cols >= 0
    full_rows = r1 - r0 == hi - lo
    if full_rows and known.all():
        block = np.asarray(array[r0:r1])
        if cols.size == array.shape[1] and np.array_equal(cols, np.arange(cols.size)):
            values = np.array(block)
        else:
            values = np.take(block, cols, axis=1)
    else:
        values = np.full((hi - lo, cols.size), np.nan)
        if r1 > r0 and known.any():
            first = bundle.data_offset + r0 - lo
            values[first:first + r1 - r0, known] = np.take(np.asarray(array[r0:r1]), cols[known],
                                                           axis=1)
    return pd.DataFrame(values, index=index, columns=pd.Index(ids), copy=False)


def get_panel(field, order_book_ids, start_date, end_date):
    """float64 DataFrame: trading dates in [start, end] x the ids in the requested order.

    `field` is a price field or a stored factor name.  NaN where there is no
    data (before listing, after de-listing, outside the data dates, unknown ids).
    """
    bundle = _state.current()
    if field in PRICE_FIELDS:
        array = bundle.array("fields", field)
    elif isinstance(field, str) and bundle.has("factors", field):
        array = bundle.array("factors", field)
    else:
        raise ValueError("unknown field {!r}; available: {}".format(
            field, ", ".join(list(PRICE_FIELDS) + sorted(bundle.names("factors")))))
    ids = id_list(order_book_ids)
    start, end = day(start_date), day(end_date)
    if end < start:
        raise ValueError("end_date {} is before start_date {}".format(end, start))
    return dense_panel(bundle, array, ids, columns_of(bundle, ids), start, end)


def get_price_change_rate(order_book_ids, start_date=None, end_date=None, expect_df=True,
                          market="cn"):
    """Simple daily returns (close / previous trading day's close - 1), dates x ids.

    Rows are the dates with data in [start, end]; columns the ids in the order
    given.  NaN where there is no return: the listing day, days without a close,
    unknown ids.
    """
    _check_expect_df(expect_df)
    bundle = _state.current()
    ids = id_list(order_book_ids)
    start, end = date_range(bundle, start_date, end_date)
    cols = columns_of(bundle, ids)
    r0, r1 = bundle.data_rows(start, end)
    index = pd.DatetimeIndex(bundle.data_dates[r0:r1].astype("datetime64[ns]"))
    check_panel_size(r1 - r0, len(ids))
    rates = np.full((r1 - r0, len(ids)), np.nan)
    known = cols >= 0
    if r1 > r0 and known.any():
        close = bundle.array("fields", "close")
        lo = max(r0 - 1, 0)
        block = np.take(np.asarray(close[lo:r1]), cols[known], axis=1)
        with np.errstate(divide="ignore", invalid="ignore"):
            step = block[1:] / block[:-1] - 1.0
        step[~np.isfinite(step)] = np.nan
        if r0 == 0:
            step = np.vstack([np.full((1, step.shape[1]), np.nan), step])
        rates[:, known] = step
    return pd.DataFrame(rates, index=index, columns=pd.Index(ids), copy=False)
