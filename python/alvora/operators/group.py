"""Industry-group operators: demean or rank a factor within its industry, per date.

The industry of each instrument on each date is the first-level industry of a
classification source ("citics_2019" or "sws"), as the analysis module loads
it (the market-data client's industry records). Instruments with no industry on
a date (not listed, no record, not a common stock) get NaN there. Infinite
values count as missing, as in the cross-sectional operators.
"""
import numpy as np
import pandas as pd

from ..cross_sectional import CrossSectionalFactor

__all__ = ["INDUSTRY_SOURCES", "GroupFunction", "GroupFactor", "industry_codes",
           "group_demean", "group_rank"]

INDUSTRY_SOURCES = ("citics_2019", "sws")


def _industry_series(order_book_ids, dates, source):
    from ..analysis import study_bench

    return study_bench._load_industry_data(order_book_ids, dates, source=source)


# Recent industry-code grids, by source and instruments: a library of factors
# asks for the same ones again, over look-backs that start on different dates.
_CACHE = {}
_CACHE_SIZE = 4


def industry_codes(frame, source):
    """Integer industry codes over the frame's dates x columns; -1 where none
    (int16 while the codes fit: a grid of them is read once per group statistic)."""
    from ..analysis import study_bench

    index = pd.DatetimeIndex(frame.index)
    # the analysis module's own (timed) cache of the records decides freshness
    records = study_bench._cache_industry_data(source=source)
    key = (source, id(records), tuple(frame.columns))
    cached = _CACHE.get(key)
    if cached is not None and cached[2] is records and index.is_unique:
        cached_index, codes = cached[0], cached[1]
        if cached_index.equals(index):
            return codes
        rows = cached_index.get_indexer(index)
        if len(rows) and rows[0] >= 0 and (np.diff(rows) == 1).all():
            return codes[rows[0]:rows[-1] + 1]  # a run of dates: a view, not a grid copy
        if (rows >= 0).all():
            return codes[rows]
        # grow the grid to cover both ranges: the next look-back is served from it
        index = cached_index.union(index)
    codes = _industry_codes(index, frame.columns, source)
    if index.is_unique:
        _CACHE.pop(key, None)
        if len(_CACHE) >= _CACHE_SIZE:
            _CACHE.pop(next(iter(_CACHE)))
        _CACHE[key] = (index, codes, records)
    if len(index) != len(frame.index) or not index.equals(pd.DatetimeIndex(frame.index)):
        codes = codes[index.get_indexer(pd.DatetimeIndex(frame.index))]
    return codes


def _industry_codes(dates, columns, source):
    # a column may repeat: the grid is built over the distinct instruments
    column_of, ids = pd.factorize(pd.Index(columns))
    known = _listed_common_stocks(list(ids)) if len(ids) and len(dates) else []
    if not known:
        return np.full((len(dates), len(columns)), -1, dtype=np.int16)
    industry = _industry_series(known, list(dates), source)
    # each record placed straight on the grid (no unstacking: it sorts)
    rows = _positions_in(dates, industry.index, "datetime")
    cols = _positions_in(ids, industry.index, "order_book_id")
    if isinstance(industry.dtype, pd.CategoricalDtype):
        labels = industry.cat.codes.to_numpy(dtype=np.int64)
    else:
        labels = pd.factorize(industry.to_numpy(dtype=object))[0].astype(np.int64)
    # each record's flat cell, or one cell past the grid for records off it: no
    # selected copies of the millions of records (their fresh pages cost most)
    cells = len(dates) * len(ids)
    skip = (rows < 0) | (cols < 0) | (labels < 0)
    rows *= len(ids)
    rows += cols
    rows[skip] = cells
    small = not len(labels) or labels.max() < np.iinfo(np.int16).max
    distinct = np.full(cells + 1, -1, dtype=np.int16 if small else np.int64)
    distinct[rows] = labels
    distinct = distinct[:cells].reshape(len(dates), len(ids))
    return distinct if len(ids) == len(columns) and (column_of == np.arange(len(ids))).all() \
        else distinct[:, column_of]


def _positions_in(labels, index, level):
    """Position in ``labels`` of each record's ``level`` value (-1: absent).
    A record table holds millions of rows over a few thousand distinct dates
    and instruments: the distinct values are looked up, then spread by code."""
    if not isinstance(index, pd.MultiIndex):
        return labels.get_indexer(index.get_level_values(level))
    k = index.names.index(level)
    codes = np.asarray(index.codes[k])
    # code -1 (a missing label) takes the -1 appended after the distinct values
    found = np.append(labels.get_indexer(index.levels[k]), -1)
    return found[codes]


def _listed_common_stocks(ids):
    import tessal

    listing = set(tessal.all_instruments("CS").order_book_id)
    return [oid for oid in ids if oid in listing]


def _grouped(statistic, frame, source):
    # computed date by date in the numeric core; the result is column-major,
    # the layout the execution context keeps
    from .. import _cross_section

    values = frame.to_numpy(dtype=np.float64)
    out = getattr(_cross_section, statistic)(values, industry_codes(frame, source))
    return pd.DataFrame(out, index=frame.index, columns=frame.columns, copy=False)  # a new array


def group_demean(frame, source):
    """``frame`` minus the mean of its industry on each date."""
    return _grouped("group_demean", frame, source)


def group_rank(frame, source):
    """Percentile rank of ``frame`` within its industry on each date, in (0, 1]
    (ties share their average rank)."""
    return _grouped("group_rank", frame, source)


class GroupFunction:
    """A group kernel bound to its industry source; compares by value so equal
    operator trees hash alike, and pickles by reference to its kernel."""

    def __init__(self, func, source):
        self.func = func
        self.source = source

    def __call__(self, frame):
        return self.func(frame, self.source)

    def __eq__(self, other):
        return (isinstance(other, GroupFunction) and self.func is other.func
                and self.source == other.source)

    def __hash__(self):
        return hash((GroupFunction, self.func, self.source))

    @property
    def __name__(self):
        return self.func.__name__


class GroupFactor(CrossSectionalFactor):
    """A cross-sectional node whose computation also reads industries."""

    def __repr__(self):
        return "{}({!r}, {!r})".format(self._label(), self._sub_factors[0], self._func.source)
