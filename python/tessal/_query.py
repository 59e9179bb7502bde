"""Argument handling shared by the data functions."""
import warnings

import numpy as np
import pandas as pd

from .utils import to_timestamp

__all__ = ["id_list", "columns_of", "name_list", "day", "date_range", "long_frame",
           "check_panel_size", "MAX_PANEL_CELLS"]

_SHOWN = 10

# Largest dates x instruments panel one request may build: 2^28 cells, 2 GiB of
# float64 (the whole market of 5000 stocks over 25 years is about 32 million).
# A request beyond it is refused before anything is allocated: a mistyped id
# list or date range must not ask for tens of gigabytes.
MAX_PANEL_CELLS = 2 ** 28


def check_panel_size(n_dates, n_ids):
    """Raises ValueError when an n_dates x n_ids float64 panel exceeds MAX_PANEL_CELLS."""
    cells = int(n_dates) * int(n_ids)
    if cells > MAX_PANEL_CELLS:
        raise ValueError(
            "the requested panel of {} dates x {} instruments ({:.1f} GiB) exceeds the limit of "
            "{} cells; ask for fewer instruments or a shorter period".format(
                n_dates, n_ids, cells * 8 / 2 ** 30, MAX_PANEL_CELLS))


def id_list(order_book_ids):
    """A list of id strings from one id or any iterable of ids."""
    if order_book_ids is None:
        raise ValueError("order_book_ids must be an id or a list of ids, got None")
    if isinstance(order_book_ids, str):
        return [order_book_ids]
    try:
        ids = list(order_book_ids)
    except TypeError:
        raise ValueError("order_book_ids must be an id or a list of ids, got {!r}"
                         .format(order_book_ids)) from None
    bad = [x for x in ids if not isinstance(x, str)]
    if bad:
        raise ValueError("order_book_ids must be strings, got {!r}".format(bad[0]))
    return ids


def columns_of(bundle, ids, warn=True):
    """Column positions of `ids` in the bundle's arrays; -1 for unknown ids (warned)."""
    lookup = bundle.column_of
    cols = np.fromiter((lookup.get(x, -1) for x in ids), dtype=np.int64, count=len(ids))
    if warn and (cols < 0).any():
        unknown = [x for x, c in zip(ids, cols) if c < 0]
        more = "" if len(unknown) <= _SHOWN else " and {} more".format(len(unknown) - _SHOWN)
        warnings.warn("unknown order_book_id(s) ignored: {}{}".format(
            ", ".join(unknown[:_SHOWN]), more), stacklevel=3)
    return cols


def name_list(names, available, what):
    """A list of names checked against `available` (None = all of them)."""
    if names is None:
        return list(available)
    if isinstance(names, str):
        names = [names]
    try:
        names = list(names)
    except TypeError:
        raise ValueError("{} must be a name or a list of names, got {!r}".format(
            what, names)) from None
    if not names:
        raise ValueError("no {} requested".format(what))
    unknown = [n for n in names if n not in available]
    if unknown:
        raise ValueError("unknown {} {}; available: {}".format(
            what, ", ".join(map(repr, unknown)), ", ".join(available)))
    return names


def day(date):
    return np.datetime64(to_timestamp(date).date(), "D")


def date_range(bundle, start_date, end_date):
    """(start, end) as datetime64[D]; None means the first / last date with data."""
    start = bundle.data_dates[0] if start_date is None else day(start_date)
    end = bundle.latest_date if end_date is None else day(end_date)
    if end < start:
        raise ValueError("end_date {} is before start_date {}".format(end, start))
    return start, end


def long_frame(bundle, arrays, names, ids, cols, r0, r1):
    """Rows (order_book_id, date) of the given arrays, leaving out all-NaN rows.

    `arrays` are (dates x instruments) matrices; ids with column -1 are skipped.
    Returns None when no row holds data.
    """
    keep = [k for k, c in enumerate(cols) if c >= 0]
    seen = set()
    keep = [k for k in keep if not (ids[k] in seen or seen.add(ids[k]))]
    if not keep or r1 <= r0:
        return None
    sel = cols[keep]
    # Read date-major (as stored), then lay the rows out instrument-major.
    blocks = [np.take(np.asarray(a[r0:r1]), sel, axis=1) for a in arrays]
    has = np.zeros(blocks[0].shape, dtype=bool)
    for b in blocks:
        has |= ~np.isnan(b)
    has = np.ascontiguousarray(has.T)
    if not has.any():
        return None
    id_code, date_code = np.nonzero(has)
    values = np.empty((len(blocks), id_code.size))
    for k, b in enumerate(blocks):
        values[k] = b.T[has]
    dates = pd.DatetimeIndex(bundle.data_dates[r0:r1].astype("datetime64[ns]"), name="date")
    index = pd.MultiIndex(levels=[pd.Index([ids[k] for k in keep]), dates],
                          codes=[id_code, date_code], names=["order_book_id", "date"])
    return pd.DataFrame(values.T, index=index, columns=list(names), copy=False)
