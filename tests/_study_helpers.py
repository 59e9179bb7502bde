"""Shared helpers for the study_bench tests and the IC benchmark.

`reference_*` functions are plain pandas/scipy transcriptions of the analysis algorithms,
used as an independent oracle for the native computations.
"""
import contextlib

import numpy as np
import pandas as pd
from scipy import stats


# ---- generated data -----------------------------------------------------------------

def make_ids(n):
    return [f"{i:06d}.XSHE" for i in range(n)]


def make_panels(n_dates, n_ids, seed=0, nan_fraction=0.1, ties=False, start="2020-01-01"):
    """A random factor frame and a return table one horizon longer, with NaNs (and ties)."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range(start, periods=n_dates)
    ids = make_ids(n_ids)
    factor = rng.normal(size=(n_dates, n_ids))
    if ties:
        factor = np.round(factor, 1)
    returns = rng.normal(0.0005, 0.02, size=(n_dates, n_ids)) + 0.01 * np.tanh(factor)
    factor[rng.random(factor.shape) < nan_fraction] = np.nan
    returns[rng.random(returns.shape) < nan_fraction] = np.nan
    return (pd.DataFrame(factor, index=dates, columns=ids),
            pd.DataFrame(returns, index=dates, columns=ids))


# ---- plain transcriptions -------------------------------------------------------------

def reference_format(factor_data, returns, periods):
    growth = (returns + 1).cumprod().ffill()
    dates = factor_data.index.intersection(returns.index)
    columns = {}
    for n in periods:
        forward = (growth.shift(-n) / growth).reindex(dates) - 1
        columns["P_{}".format(n)] = forward.values.ravel()
    index = pd.MultiIndex.from_product([dates, returns.columns],
                                       names=["datetime", "order_book_id"])
    table = pd.DataFrame(columns, index=index)
    table["factor"] = factor_data.reindex(index=dates, columns=returns.columns).values.ravel()
    return table


def reference_ic_func(rank_ic):
    func = stats.spearmanr if rank_ic else stats.pearsonr

    def wrapper(fs, rs):
        mask = ~(np.isnan(fs) | np.isnan(rs))
        if mask.sum() > 1:
            return func(fs[mask], rs[mask])
        return 0, 0
    return wrapper


def reference_ic(table, rank_ic=True):
    """Per-date coefficient and p-value tables (float64)."""
    ic_func = reference_ic_func(rank_ic)
    fields = [c for c in table.columns if c.startswith("P_")]
    coef, pval, dates = [], [], []
    for date, group in table.groupby(level="datetime"):
        f = group["factor"]
        pairs = [ic_func(group[x], f) for x in fields]
        coef.append([float(p[0]) for p in pairs])
        pval.append([float(p[1]) for p in pairs])
        dates.append(date)
    index = pd.DatetimeIndex(dates, name="datetime")
    return (pd.DataFrame(coef, index=index, columns=fields),
            pd.DataFrame(pval, index=index, columns=fields))


def reference_decay(table, ic, max_decay, rank_ic=True):
    ic_func = reference_ic_func(rank_ic)
    fields = [c for c in table.columns if c.startswith("P_")]
    lag0 = ic.copy()
    lag0["decay"] = 0
    frames = [lag0.set_index("decay", append=True)]
    wide = table[fields].unstack(level="order_book_id")
    for d in range(1, max_decay):
        shifted = wide.shift(-d)
        try:
            long = shifted.stack(level="order_book_id", future_stack=True)
        except TypeError:  # pandas before 2.1
            long = shifted.stack(level="order_book_id", dropna=False)
        long = long.dropna(how="all")
        long["factor"] = table["factor"]
        long = long.dropna()
        rows = []
        for date, group in long.groupby(level="datetime"):
            rows.append([date] + [float(ic_func(group[x], group["factor"])[0]) for x in fields])
        lag = pd.DataFrame(rows, columns=["datetime"] + fields)
        lag["datetime"] = pd.to_datetime(lag["datetime"])
        lag[fields] = lag[fields].astype(np.float64)
        lag["decay"] = d
        frames.append(lag.set_index(["datetime", "decay"]))
    return pd.concat(frames).sort_index()


def reference_industry_ic(table, industry, rank_ic=True):
    """`industry`: a Series aligned on the table's index (NaN = no group)."""
    ic_func = reference_ic_func(rank_ic)
    fields = [c for c in table.columns if c.startswith("P_")]
    rows, names = [], []
    # plain names (not categories): groups come out in ascending name order
    labels = industry.reindex(table.index).astype(object)
    for name, group in table.groupby(labels):
        rows.append([float(ic_func(group[x], group["factor"])[0]) for x in fields])
        names.append(name)
    return pd.DataFrame(rows, index=pd.Index(names, name=industry.name), columns=fields)


# ---- fakes of the market-data client ----------------------------------------------------

class FakeClientObject:
    def __init__(self, records):
        self.records = records
        self.calls = []

    def execute(self, method):
        self.calls.append(method)
        return list(self.records[method])


class FakeTessal:
    """Answers the client calls study_bench makes, from small in-memory tables."""

    def __init__(self, instruments=None, zx_records=(), sw_records=(), change_rate=None,
                 calendar=None):
        self.instruments = instruments
        self.execute_client = FakeClientObject({
            "__internal__zx2019_industry": list(zx_records),
            "__internal__shenwan_industry": list(sw_records),
        })
        self.change_rate = change_rate
        self.calendar = calendar
        self.calls = []

        outer = self

        class _Client:
            @staticmethod
            def get_client():
                return outer.execute_client

        class _Utils:
            @staticmethod
            def to_date_str(date):
                return pd.Timestamp(date).strftime("%Y-%m-%d")

        self.client = _Client
        self.utils = _Utils

    def all_instruments(self, type, date=None):
        self.calls.append(("all_instruments", type))
        return self.instruments.copy()

    def get_next_trading_date(self, date, n):
        self.calls.append(("get_next_trading_date", date, n))
        position = self.calendar.searchsorted(pd.Timestamp(date))
        return self.calendar[min(position + n, len(self.calendar) - 1)]

    def get_price_change_rate(self, **kwargs):
        self.calls.append(("get_price_change_rate", kwargs))
        return self.change_rate.loc[kwargs["start_date"]:kwargs["end_date"],
                                    list(kwargs["order_book_ids"])]


def instrument_table(rows):
    """rows: (order_book_id, listed_date, de_listed_date)."""
    return pd.DataFrame(rows, columns=["order_book_id", "listed_date", "de_listed_date"])


@contextlib.contextmanager
def replaced(module, **attributes):
    """Temporarily replaces module attributes (fakes), restoring them afterwards."""
    saved = {name: getattr(module, name) for name in attributes}
    try:
        for name, value in attributes.items():
            setattr(module, name, value)
        yield
    finally:
        for name, value in saved.items():
            setattr(module, name, value)
