"""Headline figures of return and coefficient series.

Conventions: a year has 252 trading days; returns are simple daily returns;
a cumulative series is the compounded return since its first date (0 there).
Sharpe ratios carry no risk-free rate: mean daily return / its standard
deviation, times the square root of 252.  NaN comes back where a figure is
undefined (too few values, no dispersion), never an error.
"""
import warnings

import numpy as np
from scipy import stats

__all__ = ["TRADING_DAYS_PER_YEAR", "ROLLING_WINDOW", "finite", "daily_from_cumulative",
           "annualise", "annual_return", "annual_volatility", "sharpe", "max_drawdown",
           "drawdown", "calmar", "hit_rate", "half_life", "monotonicity", "coefficient_stats"]

TRADING_DAYS_PER_YEAR = 252
# Dates in the rolling mean drawn over coefficient series.
ROLLING_WINDOW = 20


def finite(values):
    """The finite values of an array-like as float64."""
    values = np.ravel(np.asarray(values, dtype=np.float64), order="K")
    return values[np.isfinite(values)]


def daily_from_cumulative(cumulative):
    """Daily returns back from a cumulative return series (one fewer value)."""
    level = 1.0 + np.asarray(cumulative, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        return level[1:] / level[:-1] - 1.0


def annualise(total_return, n_periods):
    """Compound a total return over ``n_periods`` days to a yearly rate."""
    if n_periods <= 0 or not np.isfinite(total_return) or total_return <= -1:
        return np.nan
    return (1.0 + total_return) ** (TRADING_DAYS_PER_YEAR / n_periods) - 1.0


def annual_return(cumulative):
    """Yearly rate of a cumulative series over the days between its first and
    last finite value."""
    values = finite(cumulative)
    if values.size < 2:
        return np.nan
    return annualise(float(values[-1]), values.size - 1)


def annual_volatility(daily):
    values = finite(daily)
    if values.size < 2:
        return np.nan
    return float(values.std(ddof=1) * np.sqrt(TRADING_DAYS_PER_YEAR))


def sharpe(daily):
    values = finite(daily)
    if values.size < 2:
        return np.nan
    std = values.std(ddof=1)
    if not std > 0:
        return np.nan
    return float(values.mean() / std * np.sqrt(TRADING_DAYS_PER_YEAR))


def drawdown(cumulative):
    """Per date, the fall of the level below its running peak (<= 0; NaN kept)."""
    level = 1.0 + np.asarray(cumulative, dtype=np.float64)
    peak = np.fmax.accumulate(np.where(np.isfinite(level), level, -np.inf))
    with np.errstate(divide="ignore", invalid="ignore"):
        out = level / peak - 1.0
    out[~np.isfinite(level) | ~(peak > 0)] = np.nan
    return out


def max_drawdown(cumulative):
    """The deepest fall below a running peak, as a negative fraction (0: none)."""
    values = drawdown(cumulative)
    values = values[np.isfinite(values)]
    return float(values.min()) if values.size else np.nan


def calmar(cumulative):
    """Annual return over the depth of the maximum drawdown."""
    depth = max_drawdown(cumulative)
    if not np.isfinite(depth) or depth >= 0:
        return np.nan
    return annual_return(cumulative) / -depth


def hit_rate(daily):
    """Share of days with a positive return among the days with a return."""
    values = finite(daily)
    return float((values > 0).mean()) if values.size else np.nan


def half_life(curve):
    """Lags until a decay curve (mean coefficient by lag 0, 1, 2, ...) first
    falls to half its lag-0 size, interpolated linearly between lags; NaN when
    it stays above half within the lags given or lag 0 is zero or missing."""
    curve = np.asarray(curve, dtype=np.float64)
    if curve.size < 2 or not np.isfinite(curve[0]) or curve[0] == 0:
        return np.nan
    ratio = curve / curve[0]
    for k in range(1, ratio.size):
        if np.isfinite(ratio[k]) and ratio[k] <= 0.5:
            previous = ratio[k - 1]
            return float(k - 1 + (previous - 0.5) / (previous - ratio[k]))
    return np.nan


def monotonicity(group_returns):
    """Rank correlation of group number (1, 2, ...) with group return: +1 when
    returns rise with the group number, -1 when they fall."""
    values = np.asarray(group_returns, dtype=np.float64)
    ok = np.isfinite(values)
    if ok.sum() < 2 or np.ptp(values[ok]) == 0:
        return np.nan
    return float(stats.spearmanr(np.arange(1, values.size + 1)[ok], values[ok])[0])


def coefficient_stats(values, p_values=None):
    """Figures of a series of per-date coefficients: mean, std, IR, t-stat and
    the two-sided p-value of the mean, share positive, skew and excess
    kurtosis (sample-adjusted), mean of the per-date p-values, count."""
    values = finite(values)
    n = values.size
    mean = float(values.mean()) if n else np.nan
    std = float(values.std(ddof=1)) if n > 1 else np.nan
    ir = mean / std if n > 1 and std > 0 else np.nan
    t_stat = ir * np.sqrt(n) if np.isfinite(ir) else np.nan
    p_mean = float(2 * stats.t.sf(abs(t_stat), n - 1)) if np.isfinite(t_stat) else np.nan
    spread = n > 3 and std > 0
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # nearly equal values: an odd figure
        skew = float(stats.skew(values, bias=False)) if spread else np.nan
        kurt = float(stats.kurtosis(values, fisher=True, bias=False)) if spread else np.nan
    p = finite(p_values) if p_values is not None else np.empty(0)
    return {
        "IC mean": mean, "IC std": std, "IR": ir, "t-stat": t_stat, "p-value": p_mean,
        "IC > 0": float((values > 0).mean()) if n else np.nan,
        "skew": skew, "kurtosis": kurt,
        "mean daily p-value": float(p.mean()) if p.size else np.nan, "dates": n,
    }
