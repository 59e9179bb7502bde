"""Shared fixtures of the portfolio analysis tests.

The ``oracle_*`` functions are slow, literal pandas/numpy versions of the quantile and factor
return analyses (P copies of the panel per horizon, grouping through pandas), used to check the
native implementation on random data.  They include the two deliberate behaviours of the native
code: cumulative levels are forward-filled after the cumulative product (a missing daily return
counts as zero), and each schedule uses exactly the weights and divisor rows of its latest
rebalance.
"""
import numpy as np
import pandas as pd
import pytest

from alvora.analysis import study_bench


class FakeResult:
    """Stands in for the result classes: keeps the keyword arguments as attributes."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        for key, value in kwargs.items():
            setattr(self, key, value)


@pytest.fixture
def fake_results(monkeypatch):
    monkeypatch.setattr(study_bench, "QuantileReturnAnalysisResult", FakeResult, raising=False)
    monkeypatch.setattr(study_bench, "FactorReturnAnalysisResult", FakeResult, raising=False)
    return FakeResult


def dates(n, start="2021-01-04"):
    return pd.DatetimeIndex(pd.bdate_range(start, periods=n), name="datetime")


def frame(values, columns=None, start="2021-01-04"):
    values = np.asarray(values, dtype=float)
    if columns is None:
        columns = [f"{i:06d}.XSHE" for i in range(values.shape[1])]
    return pd.DataFrame(values, index=dates(values.shape[0], start),
                        columns=pd.Index(columns, name="order_book_id"))


def random_panel(seed, n=30, m=12, nan_rate=0.15, ties=True, all_nan_rows=(4,)):
    """Factor and return frames with missing values, tied factor values and empty dates."""
    rng = np.random.default_rng(seed)
    factor = rng.normal(size=(n, m))
    if ties:
        factor = np.round(factor, 1)
    factor[rng.random((n, m)) < nan_rate] = np.nan
    for row in all_nan_rows:
        factor[row] = np.nan
    returns = rng.normal(scale=0.02, size=(n, m))
    returns[rng.random((n, m)) < nan_rate] = np.nan
    returns[:3, 0] = np.nan  # an instrument whose history starts late
    return frame(factor), frame(returns)


def cumulative_levels(returns, index, columns):
    levels = returns.add(1).cumprod().ffill()
    return levels.reindex(index).reindex(columns=columns)


def pad_pct_change(frame_or_series):
    padded = frame_or_series.ffill()
    return padded / padded.shift(1) - 1


def _my_quantile(arr, q=1, labels=None):
    res = np.zeros(arr.size, dtype="O")
    mask = ~np.isnan(arr)
    x = arr[mask]
    res[~mask] = np.nan
    if x.size == 0:
        return res
    ls = np.linspace(0, 1, q + 1)
    idx = ls * (x.size - 1)
    fraction = idx % 1
    pos = idx.astype(int)
    xs = np.sort(x)
    a = xs[pos]
    b = np.roll(xs, -1)[pos]
    bins = a + (b - a) * fraction
    bins[0] -= 1
    res[mask] = labels[np.digitize(x, bins, True) - 1]
    return res


def _staggered(values, lv, period, n, m):
    out = np.repeat(values[lv::period], period, axis=0)
    out = np.resize(out, (n, m))
    out = np.roll(out, lv, axis=0)
    out[:lv] = np.nan
    return out


def _turnover_of_group(x):
    members = x.reset_index().groupby("datetime")["order_book_id"].agg(set)
    new = [set()] + [members.iloc[i] - members.iloc[i - 1] for i in range(1, len(members))]
    counts = np.array([len(s) for s in members])
    return pd.Series(np.array([len(s) for s in new]) / counts, index=members.index)


def oracle_quantile(factor_data, returns, periods, quantile=5, ascending=True):
    n = len(factor_data.index)
    working = [p for p in periods if p < n]
    factor = factor_data.shift(1)
    tags = np.array([f"q{i}" for i in range(1, quantile + 1)])
    cum = cumulative_levels(returns, factor.index, factor.columns)
    product = pd.MultiIndex.from_product([tags, factor.index], names=["tag", "datetime"])
    quantile_returns = pd.DataFrame(index=product)
    quantile_turnover = quantile_returns.copy()
    sample_index = pd.MultiIndex.from_product([factor.index, factor.columns],
                                              names=["datetime", "order_book_id"])
    n, m = factor.shape
    ranked = factor.rank(axis=1, method="first", ascending=ascending)
    tags_value = np.apply_along_axis(_my_quantile, 1, ranked.values, q=quantile, labels=tags)
    cum_value = cum.values
    div_value = cum.shift(1, fill_value=1).values
    for period in working:
        period_tags = pd.DataFrame(index=sample_index)
        period_returns = pd.DataFrame(index=sample_index)
        for lv in range(1, period + 1):
            name = f"lv{lv}"
            labels = _staggered(tags_value, lv, period, n, m)
            period_tags[name] = np.resize(labels, n * m)
            divisors = _staggered(div_value, lv, period, n, m)
            period_returns[name] = np.resize(cum_value / divisors, n * m)

        schedule_returns = {}
        schedule_turnover = {}
        for name in period_tags.columns:
            grouper = period_tags[name]
            grouped = period_returns[name].groupby(
                [grouper, period_returns.index.get_level_values("datetime")], dropna=True)
            table = grouped.mean().unstack(level=0)  # V: dates x labels
            if table.empty:
                continue
            change = pad_pct_change(table)
            change.iloc[::period] = table.iloc[::period] - 1
            stacked = change.unstack()
            stacked.index.names = ["tag", "datetime"]
            schedule_returns[name] = stacked
            pieces = {label: _turnover_of_group(group)
                      for label, group in grouper.dropna().groupby(grouper.dropna())}
            if pieces:
                turnover = pd.concat(pieces)
                turnover.index.names = ["tag", "datetime"]
                schedule_turnover[name] = turnover
        key = f"P_{period}"
        quantile_returns[key] = pd.DataFrame(schedule_returns).mean(axis=1)
        quantile_turnover[key] = pd.DataFrame(schedule_turnover).mean(axis=1)

    quantile_returns = quantile_returns.fillna(0)
    first, last = tags[0], tags[-1]
    long_short = quantile_returns.loc[first] - quantile_returns.loc[last]
    long_short = long_short.add(1).cumprod().sub(1)
    cumulative = quantile_returns.add(1).groupby(level="tag", sort=False).cumprod().sub(1)
    detail = pd.DataFrame(tags_value, index=factor.index, columns=factor.columns, dtype=object)
    return dict(quantile_returns=cumulative, quantile_turnover=quantile_turnover,
                top_minus_bottom_returns=long_short, quantile_detail=detail)


def oracle_factor_returns(factor_data, returns, periods, ascending=True):
    factor = factor_data.shift(1)
    demean = factor.sub(factor.mean(axis=1), axis=0)
    weights = demean.div(demean.abs().sum(axis=1), axis=0)
    if ascending:
        weights = -weights
    cum = cumulative_levels(returns, factor.index, factor.columns)
    divisors = cum.shift(1, fill_value=1)
    n = len(factor.index)
    out = pd.DataFrame(index=factor.index, columns=[f"P_{p}" for p in periods], dtype=float)
    out.index.name = "datetime"
    position = np.arange(n)
    for period in periods:
        schedules = []
        for lv in range(1, period + 1):
            held = position >= lv
            rebalance = np.where(held, lv + (position - lv) // period * period, 0)
            weight = np.where(held[:, None], weights.values[rebalance], np.nan)
            base = np.where(held[:, None], divisors.values[rebalance], np.nan)
            since = pd.DataFrame(weight * (cum.values / base - 1), index=factor.index)
            wr = since.sum(axis=1)
            change = pad_pct_change(1 + wr)
            change.iloc[lv::period] = wr.iloc[lv::period]
            schedules.append(change)
        out[f"P_{period}"] = pd.concat(schedules, axis=1).mean(axis=1)
    return out.fillna(0).add(1).cumprod().sub(1)


def daily_from_cumulative(cumulative):
    level = 1 + np.asarray(cumulative, dtype=float)
    return np.concatenate([[level[0] - 1], level[1:] / level[:-1] - 1])
