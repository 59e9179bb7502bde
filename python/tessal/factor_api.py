"""Stored factors and style factor exposures."""
from . import _state
from ._query import columns_of, date_range, day, id_list, long_frame, name_list
from .market_api import dense_panel

__all__ = ["get_factor", "get_style_factor_exposure", "get_style_panel", "list_factors",
           "list_style_factors"]


def list_factors():
    """Names of the stored factors of the bundle in use."""
    return sorted(_state.current().names("factors"))


def list_style_factors():
    """Names of the style factors of the bundle in use."""
    return sorted(_state.current().names("style"))


def _empty(names):
    import pandas as pd
    index = pd.MultiIndex.from_arrays([pd.Index([], dtype=object), pd.DatetimeIndex([])],
                                      names=["order_book_id", "date"])
    return pd.DataFrame({n: pd.Series([], dtype="float64") for n in names}, index=index,
                        columns=list(names))


def _long(group, names, order_book_ids, start_date, end_date):
    bundle = _state.current()
    ids = id_list(order_book_ids)
    start, end = date_range(bundle, start_date, end_date)
    cols = columns_of(bundle, ids, warn=True)
    r0, r1 = bundle.data_rows(start, end)
    frame = long_frame(bundle, [bundle.array(group, n) for n in names], names, ids, cols, r0, r1)
    return _empty(names) if frame is None else frame


def get_factor(order_book_ids, factor, start_date=None, end_date=None, universe=None,
               expect_df=True):
    """Stored factor values indexed by (order_book_id, date), one column per factor.

    `factor` is a name or a list of names (see `list_factors`).  Rows without a
    value are left out; with no value at all the frame is empty.  `universe` is
    accepted for compatibility; masking by universe is left to the caller.
    """
    if expect_df is not True:
        raise ValueError("only expect_df=True is supported: results are DataFrames")
    if factor is None:
        raise ValueError("factor must be a name or a list of names")
    available = sorted(_state.current().names("factors"))
    names = name_list(factor, available, "factor(s)")
    return _long("factors", names, order_book_ids, start_date, end_date)


def get_style_factor_exposure(order_book_ids, start_date=None, end_date=None, factors=None):
    """Style factor exposures indexed by (order_book_id, date), one column per style factor.

    `factors`: a style factor name, a list of them, or None for all (in
    alphabetical order).  Exposures are cross-sectional z-scores over listed stocks.
    """
    available = sorted(_state.current().names("style"))
    names = name_list(factors, available, "style factor(s)")
    return _long("style", names, order_book_ids, start_date, end_date)


def get_style_panel(factor, order_book_ids, start_date, end_date):
    """One style factor's exposures: trading dates in [start, end] x ids, float64."""
    bundle = _state.current()
    if not isinstance(factor, str) or not bundle.has("style", factor):
        raise ValueError("unknown style factor {!r}; available: {}".format(
            factor, ", ".join(sorted(bundle.names("style")))))
    ids = id_list(order_book_ids)
    start, end = day(start_date), day(end_date)
    if end < start:
        raise ValueError("end_date {} is before start_date {}".format(end, start))
    return dense_panel(bundle, bundle.array("style", factor), ids, columns_of(bundle, ids),
                       start, end, bundle.array_file("style", factor))
