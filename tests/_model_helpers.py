"""Fakes and a reference evaluator for the factor-model tests."""
import numpy as np
import pandas as pd

IDS = ["A", "B", "C", "D", "IDX"]
NDAYS = 12


class FakeMarket:
    """Stands in for the market-data client: panels by field, stored factors
    by name, and a record of calls."""

    def __init__(self, panels, stored=None):
        self.panels = panels
        self.stored = stored or {}
        self.calls = []

    def get_trading_dates(self, start, end):
        self.calls.append(("get_trading_dates", start, end))
        dates = next(iter(self.panels.values())).index
        return dates[(dates >= pd.Timestamp(start)) & (dates <= pd.Timestamp(end))]

    def get_panel(self, field, ids, start, end):
        self.calls.append(("get_panel", field, tuple(ids)))
        source = self.panels[field] if field in self.panels else self.stored[field]
        return source.loc[pd.Timestamp(start):pd.Timestamp(end)].reindex(columns=ids)

    def get_factor(self, ids, name, start, end, universe=None, expect_df=True):
        self.calls.append(("get_factor", name, tuple(ids)))
        frame = self.stored[name].loc[pd.Timestamp(start):pd.Timestamp(end)].reindex(columns=ids)
        table = frame.stack(future_stack=True) if _has_future_stack() else frame.stack(dropna=False)
        table = table.swaplevel().sort_index().dropna()
        table.index.names = ["order_book_id", "date"]
        return table.to_frame(name)


def _has_future_stack():
    import inspect
    return "future_stack" in inspect.signature(pd.DataFrame.stack).parameters


def make_market():
    """12 trading dates, instruments:
    A trades every day; B suspended (volume 0) on rows 3 and 4; C listed from
    row 5 (NaN before); D de-listed after row 8; IDX an index without volume.
    """
    dates = pd.bdate_range("2024-01-01", periods=NDAYS)
    rows = np.arange(NDAYS, dtype=float)
    close = pd.DataFrame({
        "A": 10 + rows, "B": 20 + rows, "C": 30 + rows, "D": 40 + rows, "IDX": 1000 + rows,
    }, index=dates)
    close.loc[dates[:5], "C"] = np.nan
    close.loc[dates[9:], "D"] = np.nan
    volume = pd.DataFrame(100.0, index=dates, columns=IDS)
    volume.loc[dates[3:5], "B"] = 0.0
    volume.loc[dates[:5], "C"] = np.nan
    volume.loc[dates[9:], "D"] = np.nan
    volume["IDX"] = np.nan
    open_ = close - 0.5
    turnover = volume * close
    turnover.loc[:, "A"] *= 10  # A is the biggest by turnover
    panels = {"close": close, "volume": volume, "open": open_, "high": close + 1,
              "low": close - 1, "total_turnover": turnover}
    stored = {"value_score": close * 2}
    return FakeMarket(panels, stored)


def evaluate(factor, ctx, ids):
    from alvora.expression_eval import evaluate_frame
    return evaluate_frame(factor, ids, ctx)


def window_sum(x, n):
    """Module-level rolling sum kernel (picklable) for the tests."""
    from alvora.utils import rolling_window
    return rolling_window(np.asarray(x, dtype=float), n).sum(axis=1)


from alvora.interface import AbstractFactor  # noqa: E402


class Windowed(AbstractFactor):
    """A windowed node laid out like the rolling module's single-factor node."""

    def __init__(self, func, window, factor):
        self._func = func
        self._factor = factor
        self._window = window

    @property
    def expr(self):
        return (self._func, (self._factor.expr, self._window))

    @property
    def shift(self):
        return self._window - 1 + self._factor.shift

    @property
    def dependencies(self):
        return self._factor.dependencies

    def __repr__(self):
        return "{}({!r}, {})".format(self._func.__name__, self._factor, self._window)
