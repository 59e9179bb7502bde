"""Daily bars, change rates and dates x instruments panels."""
import numpy as np
import pandas as pd

from . import _state
from ._query import check_panel_size, columns_of, date_range, day, id_list, long_frame, name_list
from .bundle.column_reader import read_rows_into
from .bundle.format import PRICE_FIELDS

__all__ = ["get_price", "get_price_change_rate", "get_panel", "get_panel_values",
           "dense_panel", "panel_values"]


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


def panel_values(bundle, array, cols, start, end, out=None, order="C", source=None):
    """(calendar dates in [start, end], float64 values over those dates x cols) from
    one array; NaN where there is no data. The values are written into ``out``
    when given (a float64 array of that shape, any memory order, or a function
    (rows, cols) -> such an array, called once the size is checked), else into
    a new array of the given memory order. ``source``: the array's file (see
    ``Bundle.array_file``), read directly while it is the one mapped."""
    cal = bundle.calendar
    lo = int(np.searchsorted(cal, start, side="left"))
    hi = max(lo, int(np.searchsorted(cal, end, side="right")))
    check_panel_size(hi - lo, cols.size)
    index = pd.DatetimeIndex(cal[lo:hi].astype("datetime64[ns]"))
    shape = (hi - lo, cols.size)
    if out is None:
        values = np.empty(shape, order=order)
    else:
        values = out(*shape) if callable(out) else out
        if not isinstance(values, np.ndarray) or values.dtype != np.float64 or \
                values.shape != shape or not values.flags.writeable:
            raise ValueError("out must be a writable float64 array of shape {}, got {}".format(
                shape, _describe(values)))
    r0, r1 = bundle.data_rows(start, end)
    first = bundle.data_offset + r0 - lo if r1 > r0 else 0
    values[:first] = np.nan
    values[first + r1 - r0:] = np.nan
    read_rows_into(array, r0, r1, cols, values[first:first + r1 - r0], source)
    return index, values


def dense_panel(bundle, array, ids, cols, start, end, source=None):
    """Calendar dates in [start, end] x ids from one array; NaN where there is no data."""
    index, values = panel_values(bundle, array, cols, start, end, source=source)
    return pd.DataFrame(values, index=index, columns=pd.Index(ids), copy=False)


def _stored_array(bundle, field):
    """(array, its file) of a price field or a stored factor."""
    if field in PRICE_FIELDS:
        group = "fields"
    elif isinstance(field, str) and bundle.has("factors", field):
        group = "factors"
    else:
        raise ValueError("unknown field {!r}; available: {}".format(
            field, ", ".join(list(PRICE_FIELDS) + sorted(bundle.names("factors")))))
    return bundle.array(group, field), bundle.array_file(group, field)


def _panel_request(field, order_book_ids, start_date, end_date):
    """The bundle, the field's stored array and source, the ids, the checked dates."""
    bundle = _state.current()
    array, source = _stored_array(bundle, field)
    ids = id_list(order_book_ids)
    start, end = day(start_date), day(end_date)
    if end < start:
        raise ValueError("end_date {} is before start_date {}".format(end, start))
    return bundle, array, source, ids, start, end


def get_panel(field, order_book_ids, start_date, end_date):
    """float64 DataFrame: trading dates in [start, end] x the ids in the requested order.

    `field` is a price field or a stored factor name.  NaN where there is no
    data (before listing, after de-listing, outside the data dates, unknown ids).
    """
    bundle, array, source, ids, start, end = _panel_request(
        field, order_book_ids, start_date, end_date)
    return dense_panel(bundle, array, ids, columns_of(bundle, ids), start, end, source)


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


def get_panel_values(field, order_book_ids, start_date, end_date, warn=True, out=None):
    """The values of ``get_panel`` as a float64 array (trading dates in [start,
    end] x the ids in the requested order), read from the bundle straight into
    their final place: a new column-major array (one contiguous column per
    instrument), or ``out`` when given: a writable float64 array of that
    shape, or a function (rows, cols) -> one, called once the size is checked.

    ``warn=False`` leaves unknown ids to the caller (their columns are NaN).
    """
    bundle, array, source, ids, start, end = _panel_request(
        field, order_book_ids, start_date, end_date)
    cols = columns_of(bundle, ids, warn=warn)
    return panel_values(bundle, array, cols, start, end, out=out, order="F", source=source)[1]


def _describe(value):
    if isinstance(value, np.ndarray):
        return "{} array of shape {}{}".format(value.dtype, value.shape,
                                               "" if value.flags.writeable else " (read-only)")
    return type(value).__name__
