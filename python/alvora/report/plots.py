"""Figures of the analysis results, drawn with matplotlib's Agg canvas.

Every ``plot`` function draws on the axes it is given or on a new Figure
(never pyplot's global state, so it works headless and in threads) and
returns the axes.  ``*_figures`` build the full set of one result by name.
A plot without data says so on its axes instead of failing.
"""
import os
import re

import numpy as np
import pandas as pd

from ..analysis import performance as perf

__all__ = ["new_axes", "ic_series", "ic_histogram", "ic_decay", "ic_industry",
           "quantile_cumulative", "top_minus_bottom", "quantile_turnover", "factor_cumulative",
           "preprocessing_panel", "ic_figures", "quantile_figures", "factor_return_figures"]

WIDTH = 8.0
ROW_HEIGHT = 3.0
# Fonts that carry Chinese glyphs (industry names), tried after the default.
CJK_FONTS = ("WenQuanYi Micro Hei", "Noto Sans CJK SC", "Noto Sans SC", "SimHei",
             "Microsoft YaHei", "PingFang SC")
_cjk_family = []


def _label_family():
    """The default font followed by the first installed font with Chinese
    glyphs (matplotlib falls back glyph by glyph); found once."""
    if not _cjk_family:
        from matplotlib import font_manager, rcParams
        installed = {f.name for f in font_manager.fontManager.ttflist}
        if not installed.intersection(CJK_FONTS):
            # installed after matplotlib cached its font list: add the files found now
            for path in font_manager.findSystemFonts():
                if re.search(r"wqy|NotoSans\w*CJK|NotoSansSC", os.path.basename(path), re.I):
                    try:
                        font_manager.fontManager.addfont(path)
                    except (OSError, RuntimeError, ValueError):
                        continue
            installed = {f.name for f in font_manager.fontManager.ttflist}
        family = list(rcParams["font.sans-serif"][:1])
        family += [name for name in CJK_FONTS if name in installed][:1]
        _cjk_family.append(family)
    return _cjk_family[0]


def _figure(rows=1, cols=1, height=ROW_HEIGHT, width=WIDTH, left=0.09):
    """A Figure with a grid of axes and fixed margins (an automatic layout
    pass would cost as much as the drawing itself)."""
    from matplotlib.figure import Figure
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    total = height * rows
    fig = Figure(figsize=(width, total))
    FigureCanvasAgg(fig)
    axes = fig.subplots(rows, cols, squeeze=False)
    from matplotlib.ticker import MaxNLocator
    for ax in axes.ravel():  # fewer ticks: each one costs as much as a line of data
        ax.yaxis.set_major_locator(MaxNLocator(5))
    fig.subplots_adjust(left=left, right=0.98, top=1 - 0.35 / total, bottom=0.5 / total,
                        hspace=0.6, wspace=0.28)
    return fig, axes


def new_axes(ax=None):
    """The given axes, or the single axes of a new Figure."""
    if ax is not None:
        return ax
    return _figure()[1][0, 0]


def _no_data(ax, text):
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes, color="0.4")
    ax.set_xticks([])
    ax.set_yticks([])
    return ax


def _horizon(frame, horizon):
    if frame is None or len(frame.columns) == 0:
        return None
    return frame.columns[0] if horizon is None else horizon


def _date_axis(ax):
    """Few, short date labels: they must not run into each other at 8 inches."""
    from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
    locator = AutoDateLocator(minticks=3, maxticks=7)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(ConciseDateFormatter(locator))


def _percent_axis(ax):
    from matplotlib.ticker import PercentFormatter
    ax.yaxis.set_major_formatter(PercentFormatter(1.0))


# -- information coefficient ------------------------------------------------------

def _horizons(frame, horizon):
    """The columns to draw: the one asked for, or every one."""
    if frame is None or len(frame.columns) == 0:
        return []
    return list(frame.columns) if horizon is None else [horizon]


def ic_series(result, ax=None, horizon=None, window=perf.ROLLING_WINDOW):
    """Daily IC of the first horizon drawn (thin bars) and the rolling mean
    over ``window`` dates of every horizon drawn (all, or ``horizon``)."""
    ax = new_axes(ax)
    columns = _horizons(result.ic, horizon)
    if not columns or not np.isfinite(result.ic[columns].to_numpy(dtype=float)).any():
        return _no_data(ax, "no IC values")
    dates = pd.DatetimeIndex(result.ic.index)
    ax.vlines(dates, 0.0, result.ic[columns[0]].to_numpy(dtype=float), color="#9ab8d8",
              linewidth=1.0, label="daily IC {}".format(columns[0]))
    rolling = result.rolling_ic(window)
    for column in columns:
        ax.plot(dates, rolling[column].to_numpy(dtype=float), linewidth=1.6,
                label="{} {}-date mean".format(column, window))
    ax.axhline(0.0, color="0.3", linewidth=0.6)
    ax.set_title("IC through time")
    ax.set_xlabel("date")
    _date_axis(ax)
    ax.set_ylabel("IC")
    ax.legend(loc="upper left", fontsize="small", ncol=2)
    return ax


def ic_histogram(result, ax=None, horizon=None):
    """Histogram of the daily IC of every horizon drawn, each with the normal
    density of its mean and standard deviation."""
    ax = new_axes(ax)
    drawn = 0
    for column in _horizons(result.ic, horizon):
        values = perf.finite(result.ic[column])
        if values.size < 2:
            continue
        color = "C{}".format(drawn)
        ax.hist(values, bins=min(40, max(5, values.size // 5)), density=True, color=color,
                histtype="step", linewidth=1.2, label="{} daily IC".format(column))
        mean, std = values.mean(), values.std(ddof=1)
        if std > 0:
            x = np.linspace(values.min(), values.max(), 200)
            density = np.exp(-0.5 * ((x - mean) / std) ** 2) / (std * np.sqrt(2 * np.pi))
            ax.plot(x, density, color=color, linestyle="--", linewidth=1.0,
                    label="{} normal fit".format(column))
        drawn += 1
    if not drawn:
        return _no_data(ax, "fewer than two IC values")
    ax.axvline(0.0, color="0.3", linewidth=0.6)
    ax.set_title("IC distribution")
    ax.set_xlabel("IC")
    ax.set_ylabel("density")
    ax.legend(loc="upper left", fontsize="small")
    return ax


def ic_decay(result, ax=None):
    """Mean IC per lag, one line per horizon."""
    ax = new_axes(ax)
    table = result.decay_summary()
    if table is None or table.empty:
        return _no_data(ax, "no IC decay (decay lags off)")
    lags = table.index.to_numpy()
    for column in table.columns:
        ax.plot(lags, table[column].to_numpy(dtype=float), marker="o", label=str(column))
    ax.axhline(0.0, color="0.3", linewidth=0.6)
    ax.set_xticks(lags)
    ax.set_title("IC decay")
    ax.set_xlabel("lag (dates)")
    ax.set_ylabel("mean IC")
    ax.legend(fontsize="small")
    return ax


def ic_industry(result, ax=None, horizon=None):
    """IC per industry as horizontal bars, highest on top."""
    ax = new_axes(ax)
    table = result.industry_summary()
    if table is None:
        return _no_data(ax, "no industry classification")
    column = _horizon(table, horizon)
    values = table[column].sort_values()
    colors = np.where(values.to_numpy(dtype=float) >= 0, "#2e86c1", "#c0392b")
    positions = np.arange(len(values))
    ax.barh(positions, values.to_numpy(dtype=float), color=colors)
    ax.set_yticks(positions, [str(k) for k in values.index], fontfamily=_label_family(),
                  fontsize=7)
    ax.axvline(0.0, color="0.3", linewidth=0.6)
    ax.set_title("IC {} by industry".format(column))
    ax.set_xlabel("IC")
    ax.set_ylabel("industry")
    return ax


def ic_figures(result):
    n_ind = 0 if result.ic_industry_distribute is None else len(result.ic_industry_distribute)
    fig, axes = _figure(height=max(ROW_HEIGHT, 0.16 * n_ind + 1.0), left=0.2)
    ic_industry(result, ax=axes[0, 0])
    return {"ic_series": ic_series(result).figure, "ic_histogram": ic_histogram(result).figure,
            "ic_decay": ic_decay(result).figure, "ic_industry": fig}


# -- quantile groups ------------------------------------------------------------------

def quantile_cumulative(result, ax=None, horizon=None):
    """Cumulative return of every group and of the benchmark for one horizon."""
    ax = new_axes(ax)
    column = _horizon(result.quantile_returns, horizon)
    if column is None or result.quantile_returns.empty:
        return _no_data(ax, "no quantile returns")
    wide = result.group_returns(column)
    dates = pd.DatetimeIndex(wide.index)
    colors = _group_colors(len(wide.columns))
    for tag, color in zip(wide.columns, colors):
        ax.plot(dates, wide[tag].to_numpy(dtype=float), color=color, linewidth=1.2, label=tag)
    bench = result.benchmark_return
    if bench is not None:
        ax.plot(pd.DatetimeIndex(bench.index), bench.to_numpy(dtype=float), color="black",
                linestyle="--", linewidth=1.2, label=str(bench.name or "benchmark"))
    ax.axhline(0.0, color="0.3", linewidth=0.6)
    _percent_axis(ax)
    ax.set_title("cumulative return by quantile group, {}".format(column))
    ax.set_xlabel("date")
    _date_axis(ax)
    ax.set_ylabel("cumulative return")
    ax.legend(fontsize="small", ncol=2, loc="upper left")
    return ax


def _group_colors(n):
    from matplotlib import colormaps
    cmap = colormaps["plasma"]  # its pale yellow end is left out: it vanishes on white
    return [cmap(x) for x in np.linspace(0.0, 0.8, max(n, 1))]


def top_minus_bottom(result, ax=None):
    """Cumulative return of the first group minus the last, one line per horizon."""
    ax = new_axes(ax)
    tmb = result.top_minus_bottom_returns
    if tmb is None or tmb.empty:
        return _no_data(ax, "no top-minus-bottom returns")
    dates = pd.DatetimeIndex(tmb.index)
    for column in tmb.columns:
        ax.plot(dates, tmb[column].to_numpy(dtype=float), linewidth=1.2, label=str(column))
    ax.axhline(0.0, color="0.3", linewidth=0.6)
    _percent_axis(ax)
    ax.set_title("top minus bottom group, cumulative")
    ax.set_xlabel("date")
    _date_axis(ax)
    ax.set_ylabel("cumulative return")
    ax.legend(fontsize="small")
    return ax


def quantile_turnover(result, ax=None, horizon=None):
    """Entrant fraction per group, smoothed over the rolling window."""
    ax = new_axes(ax)
    column = _horizon(result.quantile_returns, horizon)
    wide = result.group_turnover(column) if column is not None else None
    if wide is None or not np.isfinite(wide.to_numpy(dtype=float)).any():
        return _no_data(ax, "no turnover")
    window = perf.ROLLING_WINDOW
    smooth = wide.rolling(window, min_periods=1).mean()
    dates = pd.DatetimeIndex(wide.index)
    for tag, color in zip(wide.columns, _group_colors(len(wide.columns))):
        ax.plot(dates, smooth[tag].to_numpy(dtype=float), color=color, linewidth=1.2, label=tag)
    _percent_axis(ax)
    ax.set_title("turnover by group, {} ({}-date mean)".format(column, window))
    ax.set_xlabel("date")
    _date_axis(ax)
    ax.set_ylabel("entrant fraction")
    ax.legend(fontsize="small", ncol=2, loc="upper left")
    return ax


def quantile_figures(result):
    horizons = result.horizons or [None]
    figures = {}
    fig, axes = _figure(rows=len(horizons))
    for k, row in enumerate(axes[:, 0]):
        quantile_cumulative(result, ax=row, horizon=horizons[k])
    figures["quantile_cumulative"] = fig
    figures["top_minus_bottom"] = top_minus_bottom(result).figure
    # turnover of the first horizon; the summary holds the mean of every one
    figures["quantile_turnover"] = quantile_turnover(result, horizon=horizons[0]).figure
    return figures


# -- factor return --------------------------------------------------------------------

def factor_cumulative(result, ax=None, horizon=None):
    """Cumulative factor return per horizon; the drawdowns of the chosen
    horizon (default the first) are shaded."""
    ax = new_axes(ax)
    frame = result.factor_returns
    column = _horizon(frame, horizon)
    if column is None or frame.empty:
        return _no_data(ax, "no factor returns")
    dates = pd.DatetimeIndex(frame.index)
    for name in frame.columns:
        ax.plot(dates, frame[name].to_numpy(dtype=float), linewidth=1.4 if name == column else 1.0,
                label=str(name))
    values = frame[column].to_numpy(dtype=float)
    under = perf.drawdown(values) < 0
    if under.any():
        peak = np.fmax.accumulate(np.where(np.isfinite(values), values, -np.inf))
        ax.fill_between(dates, values, peak, where=under, color="#c0392b", alpha=0.25,
                        linewidth=0, label="drawdown {}".format(column))
    ax.axhline(0.0, color="0.3", linewidth=0.6)
    _percent_axis(ax)
    ax.set_title("factor return, cumulative")
    ax.set_xlabel("date")
    _date_axis(ax)
    ax.set_ylabel("cumulative return")
    ax.legend(fontsize="small", loc="upper left")
    return ax


def factor_return_figures(result):
    return {"factor_cumulative": factor_cumulative(result).figure}


# -- preprocessing ----------------------------------------------------------------------

def preprocessing_panel(stages, max_values=200_000):
    """Distribution of the factor at each stage: the raw factor, then after
    each preprocessing step (the input of a step is the panel before it).
    ``stages`` is a list of (name, frame) starting with the raw factor; large
    frames are sampled evenly to ``max_values`` values."""
    cols = 2 if len(stages) > 1 else 1
    rows = (len(stages) + cols - 1) // cols
    fig, axes = _figure(rows=rows, cols=cols, height=2.4)
    cells = list(axes.ravel())
    for k, (cell, (name, frame)) in enumerate(zip(cells, stages)):
        values = np.ravel(np.asarray(frame, dtype=np.float64), order="K")  # no copy
        if values.size > max_values:  # an even sample first: the full panel is never copied
            values = values[:: values.size // max_values + 1]
        values = perf.finite(values)
        if values.size == 0:
            _no_data(cell, "no values")
        else:
            cell.hist(values, bins=60, histtype="stepfilled",
                      color="#9ab8d8" if k == 0 else "#2e86c1")
        cell.set_title(name if k == 0 else "after {}".format(name), fontsize="small")
        cell.set_xlabel("factor value")
        cell.set_ylabel("count")
    for cell in cells[len(stages):]:
        cell.set_visible(False)
    return fig
