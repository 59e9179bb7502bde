"""Shared pieces of the preprocessing tests and benchmark: synthetic factor
frames and exposures, stand-ins for the market-data client, and a plain
pandas/statsmodels transcription of the neutralization algorithm."""
import warnings

import numpy as np
import pandas as pd
import statsmodels.api as sm


def factor_frame(n_dates, ids, seed=0, start="2021-03-01", index=None, nan_fraction=0.0):
    rng = np.random.default_rng(seed)
    if index is None:
        index = pd.bdate_range(start, periods=n_dates)
    values = rng.standard_normal((len(index), len(ids)))
    if nan_fraction:
        values[rng.random(values.shape) < nan_fraction] = np.nan
    return pd.DataFrame(values, index=index, columns=list(ids))


def style_table(days, ids, names, seed=1, id_first=True):
    """Style exposures of every (day, instrument), the client's layout."""
    rng = np.random.default_rng(seed)
    days = pd.DatetimeIndex(days)
    if id_first:
        index = pd.MultiIndex.from_product([list(ids), days], names=["order_book_id", "date"])
    else:
        index = pd.MultiIndex.from_product([days, list(ids)], names=["date", "order_book_id"])
    return pd.DataFrame(rng.standard_normal((len(index), len(names))), index=index,
                        columns=list(names))


class FakeTessal:
    """Answers get_style_factor_exposure from a prepared table and records the calls."""

    def __init__(self, table=None):
        self.table = table
        self.calls = []

    def get_style_factor_exposure(self, order_book_ids, start_date, end_date, factors):
        self.calls.append(dict(order_book_ids=order_book_ids, start_date=start_date,
                               end_date=end_date, factors=factors))
        if self.table is None:
            raise AssertionError("style exposures must not be fetched here")
        table = self.table
        if factors is not None:
            table = table[list(factors)]
        dates = table.index.get_level_values("date")
        keep = (dates >= pd.Timestamp(start_date).normalize()) & (dates <= pd.Timestamp(end_date))
        return table[keep]


def industry_series(dates, ids, labels, seed=2, missing_fraction=0.0, dropped=()):
    """Industry of every (datetime, instrument): random labels, some NaN
    (no classification), `dropped` pairs left out (not listed)."""
    rng = np.random.default_rng(seed)
    index = pd.MultiIndex.from_product([pd.DatetimeIndex(dates), list(ids)],
                                       names=["datetime", "order_book_id"])
    values = np.array(labels, dtype=object)[rng.integers(0, len(labels), len(index))]
    if missing_fraction:
        values[rng.random(len(index)) < missing_fraction] = np.nan
    series = pd.Series(values, index=index, name="first_industry_name")
    if dropped:
        series = series.drop(list(dropped))
    return series


class FakeIndustryLoader:
    """Stand-in for _load_industry_data serving a fixed series, recording calls."""

    def __init__(self, series):
        self.series = series
        self.calls = []

    def __call__(self, order_book_ids, dates, source="citics_2019"):
        self.calls.append((list(order_book_ids), list(dates), source))
        return self.series


def transcribe_exposures(factor, style=None, industry=None, others=()):
    """The exposure table of the algorithm, built with pandas as written:
    style columns, industry indicators (NaN where no industry), user columns,
    reindexed to every (date, instrument) pair of the factor frame."""
    dates, ids = list(factor.index), list(factor.columns)
    exposure = None
    if style is not None:
        exposure = style.reorder_levels(["date", "order_book_id"])
        days = factor.index.normalize()
        if not days.equals(factor.index):
            # each timestamp takes the exposures of its day
            wide = exposure.unstack(level="order_book_id").reindex(days)
            wide.index = factor.index
            try:
                stacked = wide.stack(level="order_book_id", future_stack=True)
            except TypeError:  # pandas < 2.1
                stacked = wide.stack(level="order_book_id", dropna=False)
            exposure = stacked.dropna(how="all")
    if industry is not None:
        dummies = pd.get_dummies(industry, dtype=float)
        dummies[industry.isna().to_numpy()] = np.nan
        exposure = dummies if exposure is None else pd.concat([exposure, dummies], axis=1)
    if others:
        exposure = pd.concat(([] if exposure is None else [exposure]) + list(others), axis=1)
    product = pd.MultiIndex.from_product([dates, ids], names=["datetime", "order_book_id"])
    return exposure.reindex(product)


def transcribe_neutralize(factor, exposure):
    """One statsmodels OLS per date, residuals as the new values."""
    def fit(x):
        if x.isna().all():
            return x
        exog = exposure.loc[x.name]
        usable = x.notna() & exog.notna().all(axis=1)
        if not usable.any():
            return pd.Series(np.nan, index=x.index)
        with warnings.catch_warnings():  # rank-deficient designs are meant
            warnings.simplefilter("ignore")
            return sm.OLS(x, exog, hasconst=False, missing="drop").fit().resid

    out = factor.apply(fit, axis=1)
    return out.reindex(index=factor.index, columns=factor.columns).astype(float)


def transcribe_normalize(factor):
    out = factor.sub(factor.mean(axis=1), axis=0).div(factor.std(axis=1), axis=0)
    return out.where(~np.isinf(out), 0)
