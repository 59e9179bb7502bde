"""Result objects returned by the analysis steps.

Each keeps the tables the step computed as attributes (unchanged), offers
``summary()`` (a small DataFrame of headline figures), ``tables()`` (the named
tables for saving), ``figures()`` (matplotlib figures by name, drawn by its
``plot_*`` methods), a readable ``repr`` and an HTML display for notebooks.
"""
import numpy as np
import pandas as pd

from . import performance as perf

__all__ = ["ICAnalysisResult", "QuantileReturnAnalysisResult", "FactorReturnAnalysisResult"]

TRADING_DAYS_PER_YEAR = perf.TRADING_DAYS_PER_YEAR


def _date_span(index):
    if index is None or len(index) == 0:
        return "no dates"
    return "{} .. {}, {} dates".format(_fmt_date(index[0]), _fmt_date(index[-1]), len(index))


def _fmt_date(value):
    try:
        return pd.Timestamp(value).strftime("%Y-%m-%d")
    except (TypeError, ValueError):
        return str(value)


def _numeric(series):
    return pd.to_numeric(series, errors="coerce").to_numpy(dtype=np.float64)


def _annualise_cumulative(cumulative):
    """Yearly rate of one cumulative return series (non-numbers ignored)."""
    return perf.annual_return(_numeric(cumulative))


def _by_group(frame, column, tags):
    """One horizon of a (tag, date) table as dates x groups in label order, in
    one reshaping pass."""
    wide = frame[column].unstack("tag")
    return wide.reindex(columns=tags)


class _AnalysisResult:
    """Shared presentation: subclasses list their table attributes and plots."""

    _table_names = ()
    _main_figure = None

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

    def extra_summaries(self):
        """Further tables of figures by title (each may be None: no data)."""
        return {}

    def figures(self):
        """Every plot of this result as a matplotlib Figure, by name."""
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

    def _repr_html_(self):
        from ..report import html
        return html.result_fragment(self, main_only=True)


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
        """Per horizon: IC mean, std, IR (mean / std), t-stat (mean / (std / √n))
        with the two-sided p-value of the mean, share of dates with a positive
        IC, skew, excess kurtosis, mean of the per-date p-values, the number of
        dates with an IC and the half-life of the decay curve in lags."""
        ic = self.ic if self.ic is not None else pd.DataFrame()
        decay = self.decay_summary()
        rows = {}
        for column in ic.columns:
            p_values = None
            if self.ic_p_value is not None and column in self.ic_p_value.columns:
                p_values = _numeric(self.ic_p_value[column])
            row = perf.coefficient_stats(_numeric(ic[column]), p_values)
            curve = decay[column] if decay is not None and column in decay.columns else []
            row["half-life"] = perf.half_life(curve)
            rows[column] = row
        columns = ["IC mean", "IC std", "IR", "t-stat", "p-value", "IC > 0", "skew", "kurtosis",
                   "mean daily p-value", "dates", "half-life"]
        return pd.DataFrame.from_dict(rows, orient="index", columns=columns)

    def decay_summary(self):
        """Mean IC per lag and horizon, or None without decay data."""
        if self.ic_decay is None:
            return None
        return self.ic_decay.groupby(level="decay").mean()

    def industry_summary(self):
        """IC by industry, highest first on the first horizon; None without data."""
        table = self.ic_industry_distribute
        if table is None or table.empty:
            return None
        return table.sort_values(table.columns[0], ascending=False)

    def extra_summaries(self):
        return {"IC decay: mean IC per lag": self.decay_summary(),
                "IC by industry": self.industry_summary()}

    def rolling_ic(self, window=perf.ROLLING_WINDOW):
        """Mean IC over the last ``window`` dates (at least half of them with an IC)."""
        return self.ic.rolling(window, min_periods=max(1, window // 2)).mean()

    def plot(self, ax=None):
        return self.plot_ic(ax=ax)

    def plot_ic(self, ax=None, horizon=None, window=perf.ROLLING_WINDOW):
        from ..report import plots
        return plots.ic_series(self, ax=ax, horizon=horizon, window=window)

    def plot_ic_histogram(self, ax=None, horizon=None):
        from ..report import plots
        return plots.ic_histogram(self, ax=ax, horizon=horizon)

    def plot_decay(self, ax=None):
        from ..report import plots
        return plots.ic_decay(self, ax=ax)

    def plot_industry(self, ax=None, horizon=None):
        from ..report import plots
        return plots.ic_industry(self, ax=ax, horizon=horizon)

    def figures(self):
        from ..report import plots
        return plots.ic_figures(self)

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

    @property
    def tags(self):
        """The group labels in label order."""
        if self.quantile_returns is None or self.quantile_returns.empty:
            return []
        return list(self.quantile_returns.index.get_level_values("tag").unique())

    @property
    def horizons(self):
        if self.quantile_returns is None:
            return []
        return list(self.quantile_returns.columns)

    def group_returns(self, horizon):
        """Cumulative return per group for one horizon: dates x groups."""
        return _by_group(self.quantile_returns, horizon, self.tags)

    def group_turnover(self, horizon):
        """Entrant fraction per group for one horizon: dates x groups, or None."""
        if self.quantile_turnover is None or horizon not in self.quantile_turnover.columns:
            return None
        return _by_group(self.quantile_turnover, horizon, self.tags)

    def summary(self):
        """One row per group (then "top-bottom" and the benchmark): per horizon
        the annualised return, volatility, Sharpe ratio, maximum drawdown, the
        share of days with a gain and, for groups, the mean turnover."""
        if self.quantile_returns is None or self.quantile_returns.empty:
            return pd.DataFrame()
        series = {}  # row -> horizon -> (cumulative values, turnover values or None)
        for column in self.horizons:
            wide = self.group_returns(column)
            turnover = self.group_turnover(column)
            for tag in wide.columns:
                t = turnover[tag].to_numpy(dtype=np.float64) if turnover is not None else None
                series.setdefault(tag, {})[column] = (wide[tag].to_numpy(dtype=np.float64), t)
        if self.top_minus_bottom_returns is not None:
            tmb = self.top_minus_bottom_returns
            series["top-bottom"] = {c: (_numeric(tmb[c]), None) for c in tmb.columns}
        if self.benchmark_return is not None:
            label = self.benchmark_return.name if self.benchmark_return.name else "benchmark"
            values = _numeric(self.benchmark_return)
            series[str(label)] = {c: (values, None) for c in self.horizons}
        rows = {}
        for label, by_horizon in series.items():
            row = {}
            for column, (cumulative, turnover) in by_horizon.items():
                daily = perf.daily_from_cumulative(cumulative)
                row["{} annual return".format(column)] = perf.annual_return(cumulative)
                row["{} volatility".format(column)] = perf.annual_volatility(daily)
                row["{} sharpe".format(column)] = perf.sharpe(daily)
                row["{} max drawdown".format(column)] = perf.max_drawdown(cumulative)
                row["{} hit rate".format(column)] = perf.hit_rate(daily)
                if turnover is not None:
                    ok = perf.finite(turnover)
                    row["{} turnover".format(column)] = ok.mean() if ok.size else np.nan
            rows[label] = row
        return pd.DataFrame.from_dict(rows, orient="index")

    def horizon_summary(self):
        """Per horizon: the top-minus-bottom portfolio's annual return, Sharpe,
        maximum drawdown and hit rate, the mean turnover over the groups, and
        the monotonicity of the groups' annual returns in their group number."""
        if self.quantile_returns is None or self.quantile_returns.empty:
            return None
        rows = {}
        for column in self.horizons:
            wide = self.group_returns(column)
            group_annual = [_annualise_cumulative(wide[tag]) for tag in wide.columns]
            row = {}
            tmb = self.top_minus_bottom_returns
            if tmb is not None and column in tmb.columns:
                cumulative = _numeric(tmb[column])
                daily = perf.daily_from_cumulative(cumulative)
                row.update({"top-bottom annual return": perf.annual_return(cumulative),
                            "top-bottom sharpe": perf.sharpe(daily),
                            "top-bottom max drawdown": perf.max_drawdown(cumulative),
                            "top-bottom hit rate": perf.hit_rate(daily)})
            turnover = self.group_turnover(column)
            ok = perf.finite(turnover.to_numpy()) if turnover is not None else np.empty(0)
            row["mean turnover"] = ok.mean() if ok.size else np.nan
            row["monotonicity"] = perf.monotonicity(group_annual)
            rows[column] = row
        return pd.DataFrame.from_dict(rows, orient="index")

    def extra_summaries(self):
        return {"Per horizon": self.horizon_summary()}

    def plot(self, ax=None):
        return self.plot_cumulative(ax=ax)

    def plot_cumulative(self, ax=None, horizon=None):
        from ..report import plots
        return plots.quantile_cumulative(self, ax=ax, horizon=horizon)

    def plot_top_minus_bottom(self, ax=None):
        from ..report import plots
        return plots.top_minus_bottom(self, ax=ax)

    def plot_turnover(self, ax=None, horizon=None):
        from ..report import plots
        return plots.quantile_turnover(self, ax=ax, horizon=horizon)

    def figures(self):
        from ..report import plots
        return plots.quantile_figures(self)

    def _describe(self):
        if self.quantile_returns is None or self.quantile_returns.empty:
            return ", empty"
        dates = self.quantile_returns.index.get_level_values("datetime").unique()
        return ", {}".format(_date_span(dates))


class FactorReturnAnalysisResult(_AnalysisResult):
    """Cumulative return of the factor's long-short portfolio per horizon
    (``factor_returns``: dates x horizons)."""

    _table_names = ("factor_returns",)

    def __init__(self, *, factor_returns, name):
        self.factor_returns = factor_returns
        self.name = name

    def summary(self):
        """Per horizon: total and annualised return, annualised volatility,
        Sharpe ratio, maximum drawdown and Calmar ratio (annual return over the
        depth of the maximum drawdown)."""
        frame = self.factor_returns
        if frame is None or frame.empty:
            return pd.DataFrame()
        rows = {}
        for column in frame.columns:
            cumulative = perf.finite(_numeric(frame[column]))
            daily = perf.daily_from_cumulative(cumulative)
            rows[column] = {
                "total return": float(cumulative[-1]) if cumulative.size else np.nan,
                "annual return": perf.annual_return(cumulative),
                "annual volatility": perf.annual_volatility(daily),
                "sharpe": perf.sharpe(daily),
                "max drawdown": perf.max_drawdown(cumulative),
                "calmar": perf.calmar(cumulative),
            }
        return pd.DataFrame.from_dict(rows, orient="index")

    def plot(self, ax=None):
        return self.plot_cumulative(ax=ax)

    def plot_cumulative(self, ax=None, horizon=None):
        from ..report import plots
        return plots.factor_cumulative(self, ax=ax, horizon=horizon)

    def figures(self):
        from ..report import plots
        return plots.factor_return_figures(self)

    def _describe(self):
        index = self.factor_returns.index if self.factor_returns is not None else None
        return ", {}".format(_date_span(index))
