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


# Recent industry-code grids: a library of factors asks for the same ones again.
_CACHE = {}
_CACHE_SIZE = 4


def industry_codes(frame, source):
    """Integer industry codes over the frame's dates x columns; -1 where none."""
    from ..analysis import study_bench

    index = pd.DatetimeIndex(frame.index)
    # the analysis module's own (timed) cache of the records decides freshness
    records = study_bench._cache_industry_data(source=source)
    key = (source, id(records), tuple(frame.columns), len(index),
           index[0] if len(index) else None, index[-1] if len(index) else None)
    codes = _CACHE.get(key)
    if codes is None or not index.equals(codes[0]):
        codes = (index, _industry_codes(frame, source), records)
        if len(_CACHE) >= _CACHE_SIZE:
            _CACHE.pop(next(iter(_CACHE)))
        _CACHE[key] = codes
    return codes[1]


def _industry_codes(frame, source):
    ids = list(dict.fromkeys(frame.columns))
    dates = pd.DatetimeIndex(frame.index)
    codes = np.full((len(dates), len(frame.columns)), -1, dtype=np.int64)
    if not ids or not len(dates):
        return codes
    known = _listed_common_stocks(ids)
    if not known:
        return codes
    industry = _industry_series(known, list(dates), source)
    table = industry.unstack("order_book_id").reindex(index=dates, columns=frame.columns)
    values = table.to_numpy(dtype=object)
    present = ~pd.isna(values)
    if present.any():
        labels, _ = pd.factorize(values[present])
        codes[present] = labels
    return codes


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
    return pd.DataFrame(out, index=frame.index, columns=frame.columns)


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
