"""One table comparing many studied factors.

``leaderboard(results)`` takes what :func:`alvora.evaluate.study_factors`
returns (factor name -> {step name -> result object}) and makes one row per
factor from the raw tables of the results, so it works with any pipeline that
holds an IC step, a quantile step, or both:

- "IC mean" and "IR": mean of the per-date IC and mean / sample std of it;
- "top-bottom annual return": the first-minus-last group return, annualised
  from its cumulative value (252 trading days a year);
- "turnover": mean entrant fraction of the first and last groups.

Each figure is taken at one horizon: ``period`` (as given in ``periods``) or,
by default, the first horizon of each table. A factor whose pipeline lacks a
step gets NaN in that step's columns. Rows are ordered by IR, highest first
(NaN last, ties in the order of ``results``).
"""
import numpy as np
import pandas as pd

__all__ = ["leaderboard", "LEADERBOARD_COLUMNS"]

LEADERBOARD_COLUMNS = ["IC mean", "IR", "top-bottom annual return", "turnover"]
TRADING_DAYS_PER_YEAR = 252


def _column(table, period):
    """The horizon column of a table: "P_<period>", or its first column."""
    if table is None or len(table.columns) == 0:
        return None
    if period is None:
        return table.columns[0]
    name = "P_{}".format(period)
    return name if name in table.columns else None


def _finite(values):
    values = pd.to_numeric(pd.Series(values), errors="coerce").to_numpy(dtype=np.float64)
    return values[np.isfinite(values)]


def _ic_figures(result, period):
    column = _column(getattr(result, "ic", None), period)
    if column is None:
        return np.nan, np.nan
    values = _finite(result.ic[column])
    if values.size == 0:
        return np.nan, np.nan
    mean = float(values.mean())
    std = float(values.std(ddof=1)) if values.size > 1 else np.nan
    return mean, (mean / std if values.size > 1 and std > 0 else np.nan)


def _annual_return(cumulative):
    values = _finite(cumulative)
    if values.size < 2 or values[-1] <= -1:
        return np.nan
    return float((1.0 + values[-1]) ** (TRADING_DAYS_PER_YEAR / (values.size - 1)) - 1.0)


def _quantile_figures(result, period):
    spread = getattr(result, "top_minus_bottom_returns", None)
    column = _column(spread, period)
    annual = _annual_return(spread[column]) if column is not None else np.nan
    turnover = getattr(result, "quantile_turnover", None)
    column = _column(turnover, period)
    mean_turnover = np.nan
    if column is not None and len(turnover.index):
        tags = list(dict.fromkeys(turnover.index.get_level_values(0)))
        legs = [_finite(turnover[column].xs(tag, level=0)) for tag in {tags[0], tags[-1]}]
        legs = np.concatenate(legs)
        if legs.size:
            mean_turnover = float(legs.mean())
    return annual, mean_turnover


def _first_with(steps, attribute):
    for result in steps.values():
        if getattr(result, attribute, None) is not None:
            return result
    return None


def leaderboard(results, period=None):
    """Rank studied factors by the IR of their IC.

    :param results: dict factor name -> dict step name -> result object, as
        returned by ``study_factors``
    :param period: the horizon to report (one of the studied periods); None
        takes each table's first horizon
    :return: DataFrame indexed by factor name ("factor") with the columns
        "IC mean", "IR", "top-bottom annual return", "turnover"
    """
    if not isinstance(results, dict):
        raise TypeError("results: expect a dict of factor name -> step results, got {}".format(
            type(results).__name__))
    rows = []
    for name, steps in results.items():
        if not isinstance(steps, dict):
            raise TypeError("results[{!r}]: expect a dict of step results, got {}".format(
                name, type(steps).__name__))
        ic_mean, ir = _ic_figures(_first_with(steps, "ic"), period)
        annual, turnover = _quantile_figures(
            _first_with(steps, "top_minus_bottom_returns"), period)
        rows.append([ic_mean, ir, annual, turnover])
    table = pd.DataFrame(rows, index=pd.Index(list(results), name="factor"),
                         columns=LEADERBOARD_COLUMNS, dtype=np.float64)
    order = np.argsort(-table["IR"].fillna(-np.inf).to_numpy(), kind="stable")
    return table.iloc[order]
