"""Result objects returned by the analysis steps.

Each keeps the tables the step computed as attributes (unchanged), offers
``summary()`` (a small DataFrame of headline figures), ``tables()`` (the named
tables for saving) and a readable ``repr``.
"""
import numpy as np
import pandas as pd

__all__ = ["ICAnalysisResult", "QuantileReturnAnalysisResult", "FactorReturnAnalysisResult"]

TRADING_DAYS_PER_YEAR = 252


def _annualise(total_return, n_periods):
    """Compound a total return over ``n_periods`` days to a yearly rate."""
    if n_periods <= 0 or not np.isfinite(total_return) or total_return <= -1:
        return np.nan
    return (1.0 + total_return) ** (TRADING_DAYS_PER_YEAR / n_periods) - 1.0


def _daily_from_cumulative(cumulative):
    """Daily returns back from a cumulative return series (first date: none)."""
    level = 1.0 + cumulative.to_numpy(dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        daily = level[1:] / level[:-1] - 1.0
    return daily


def _max_drawdown(cumulative):
    level = 1.0 + cumulative.to_numpy(dtype=np.float64)
    level = level[np.isfinite(level)]
    if level.size == 0:
        return np.nan
    peak = np.maximum.accumulate(level)
    with np.errstate(divide="ignore", invalid="ignore"):
        drawdown = level / peak - 1.0
    return float(np.nanmin(drawdown))


def _date_span(index):
    if index is None or len(index) == 0:
        return "no dates"
    return "{} .. {}, {} dates".format(_fmt_date(index[0]), _fmt_date(index[-1]), len(index))


def _fmt_date(value):
    try:
        return pd.Timestamp(value).strftime("%Y-%m-%d")
    except (TypeError, ValueError):
        return str(value)


class _AnalysisResult:
    """Shared presentation: subclasses list their table attributes."""

    _table_names = ()

    def tables(self):
        """The step's tables by name, leaving out those that are None."""
        out = {}
        for name in self._table_names:
            value = getattr(self, name)
            if value is not None:
                out[name] = value
        return out

    def summary(self):
        raise NotImplementedError

    def _describe(self):
        return ""

    def __repr__(self):
        head = "{}(name={!r}{})".format(type(self).__name__, self.name, self._describe())
        try:
            body = self.summary()
        except Exception as exc:  # a repr must not fail on odd tables
            return "{}\n<summary unavailable: {}>".format(head, exc)
        if body.empty:
            return head
        with pd.option_context("display.width", 120, "display.max_columns", 20):
            return "{}\n{}".format(head, body.to_string(float_format=lambda v: "{:.4f}".format(v)))


class ICAnalysisResult(_AnalysisResult):
    """Information coefficient of a factor against its forward returns.

    ``ic``/``ic_p_value``: dates x horizons; ``ic_decay``: (date, lag) x
    horizons or None; ``ic_industry_distribute``: industries x horizons or None.
    """

    _table_names = ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute")

    def __init__(self, *, ic, ic_p_value, ic_decay, ic_industry_distribute, name):
        self.ic = ic
        self.ic_p_value = ic_p_value
        self.ic_decay = ic_decay
        self.ic_industry_distribute = ic_industry_distribute
        self.name = name

    def summary(self):
        """Per horizon: IC mean, std, IR (mean / std), t-stat (mean / (std / √n)),
        share of dates with a positive IC, and the number of dates with an IC."""
        rows = {}
        ic = self.ic if self.ic is not None else pd.DataFrame()
        for column in ic.columns:
            values = pd.to_numeric(ic[column], errors="coerce").to_numpy(dtype=np.float64)
            values = values[np.isfinite(values)]
            n = values.size
            mean = values.mean() if n else np.nan
            std = values.std(ddof=1) if n > 1 else np.nan
            ir = mean / std if n > 1 and std > 0 else np.nan
            rows[column] = {
                "IC mean": mean,
                "IC std": std,
                "IR": ir,
                "t-stat": ir * np.sqrt(n) if n > 1 else np.nan,
                "IC > 0": float((values > 0).mean()) if n else np.nan,
                "dates": n,
            }
        columns = ["IC mean", "IC std", "IR", "t-stat", "IC > 0", "dates"]
        return pd.DataFrame.from_dict(rows, orient="index", columns=columns)

    def decay_summary(self):
        """Mean IC per lag and horizon, or None without decay data."""
        if self.ic_decay is None:
            return None
        return self.ic_decay.groupby(level="decay").mean()

    def _describe(self):
        index = self.ic.index if self.ic is not None else None
        return ", {}".format(_date_span(index))


class QuantileReturnAnalysisResult(_AnalysisResult):
    """Returns and turnover of the quantile groups of a factor.

    ``quantile_returns``/``quantile_turnover``: (tag, date) x horizons,
    cumulative returns and entrant fractions; ``top_minus_bottom_returns``:
    dates x horizons; ``quantile_detail``: the label of every instrument on
    every date; ``benchmark_return``: cumulative benchmark return or None.
    """

    _table_names = ("quantile_returns", "quantile_turnover", "top_minus_bottom_returns",
                    "quantile_detail", "benchmark_return")

    def __init__(self, *, quantile_turnover, quantile_returns, quantile_detail, benchmark_return,
                 top_minus_bottom_returns, name):
        self.quantile_turnover = quantile_turnover
        self.quantile_returns = quantile_returns
        self.quantile_detail = quantile_detail
        self.benchmark_return = benchmark_return
        self.top_minus_bottom_returns = top_minus_bottom_returns
        self.name = name

    def summary(self):
        """One row per group (then "top-bottom" and the benchmark): per horizon
        the annualised return and, for groups, the mean turnover."""
        returns = self.quantile_returns
        turnover = self.quantile_turnover
        if returns is None or returns.empty:
            return pd.DataFrame()
        # one grouped pass per table: the cost stays linear in the number of groups
        annual = _annualise_groups(returns)
        mean_turnover = None
        if turnover is not None:
            mean_turnover = turnover.apply(pd.to_numeric, errors="coerce").groupby(
                level="tag", sort=False).mean()
        parts, names = [], []
        for column in returns.columns:
            parts.append(annual[column])
            names.append("{} annual return".format(column))
            if mean_turnover is not None and column in mean_turnover.columns:
                parts.append(mean_turnover[column].reindex(annual.index))
                names.append("{} turnover".format(column))
        groups = pd.concat(parts, axis=1, keys=names) if parts else pd.DataFrame(index=annual.index)
        rows = {}
        if self.top_minus_bottom_returns is not None:
            tmb = self.top_minus_bottom_returns
            rows["top-bottom"] = {"{} annual return".format(c): _annualise_cumulative(tmb[c])
                                  for c in tmb.columns}
        if self.benchmark_return is not None:
            label = self.benchmark_return.name if self.benchmark_return.name else "benchmark"
            value = _annualise_cumulative(self.benchmark_return)
            rows[str(label)] = {"{} annual return".format(c): value for c in returns.columns}
        extra = pd.DataFrame.from_dict(rows, orient="index")
        return pd.concat([groups, extra]) if len(extra) else groups

    def _describe(self):
        if self.quantile_returns is None or self.quantile_returns.empty:
            return ", empty"
        dates = self.quantile_returns.index.get_level_values("datetime").unique()
        return ", {}".format(_date_span(dates))


def _annualise_groups(cumulative):
    """:func:`_annualise_cumulative` of every tag's series at once (tags x columns)."""
    grouped = cumulative.apply(pd.to_numeric, errors="coerce").groupby(level="tag", sort=False)
    periods = grouped.count() - 1
    last = grouped.last()
    with np.errstate(invalid="ignore", over="ignore", divide="ignore"):
        annual = (1.0 + last) ** (TRADING_DAYS_PER_YEAR / periods.where(periods > 0)) - 1.0
    usable = (periods > 0) & np.isfinite(last) & (last > -1)
    return annual.where(usable)


def _annualise_cumulative(cumulative):
    values = pd.to_numeric(cumulative, errors="coerce").dropna()
    if len(values) < 2:
        return np.nan
    return _annualise(float(values.iloc[-1]), len(values) - 1)


class FactorReturnAnalysisResult(_AnalysisResult):
    """Cumulative return of the factor's long-short portfolio per horizon
    (``factor_returns``: dates x horizons)."""

    _table_names = ("factor_returns",)

    def __init__(self, *, factor_returns, name):
        self.factor_returns = factor_returns
        self.name = name

    def summary(self):
        """Per horizon: total and annualised return, annualised volatility,
        Sharpe ratio (no risk-free rate) and maximum drawdown."""
        frame = self.factor_returns
        if frame is None or frame.empty:
            return pd.DataFrame()
        rows = {}
        for column in frame.columns:
            cumulative = pd.to_numeric(frame[column], errors="coerce").dropna()
            daily = _daily_from_cumulative(cumulative)
            daily = daily[np.isfinite(daily)]
            total = float(cumulative.iloc[-1]) if len(cumulative) else np.nan
            vol = daily.std(ddof=1) * np.sqrt(TRADING_DAYS_PER_YEAR) if daily.size > 1 else np.nan
            annual = _annualise(total, len(cumulative) - 1)
            rows[column] = {
                "total return": total,
                "annual return": annual,
                "annual volatility": vol,
                "sharpe": annual / vol if vol and np.isfinite(vol) and vol > 0 else np.nan,
                "max drawdown": _max_drawdown(cumulative),
            }
        return pd.DataFrame.from_dict(rows, orient="index")

    def _describe(self):
        index = self.factor_returns.index if self.factor_returns is not None else None
        return ", {}".format(_date_span(index))
