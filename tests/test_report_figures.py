import numpy as np
import pandas as pd
import pytest

from alvora.analysis import performance as perf
from alvora.analysis.analysis_result import (FactorReturnAnalysisResult, ICAnalysisResult,
                                             QuantileReturnAnalysisResult)

matplotlib = pytest.importorskip("matplotlib")


def cumulative(daily):
    return np.cumprod(1 + np.asarray(daily, dtype=float), axis=-1) - 1


@pytest.mark.parametrize("function, values, expected", [
    # levels 1.1, 0.88, 0.968, 1.20032: worst fall 0.88 / 1.1 - 1
    (perf.max_drawdown, cumulative([0.1, -0.2, 0.1, 0.24]), 0.88 / 1.1 - 1),
    (perf.max_drawdown, cumulative([0.01, 0.02]), 0.0),
    (perf.sharpe, [0.01, -0.01, 0.02], 0.02 / 3 / np.std([0.01, -0.01, 0.02], ddof=1)
     * np.sqrt(252)),
    (perf.sharpe, [0.01, 0.01], np.nan),
    (perf.hit_rate, [0.01, -0.01, 0.0, np.nan, 0.02], 0.5),
    # 0.1 -> 0.08 -> 0.04: half (0.05) reached a quarter of the way from lag 1 to lag 2
    (perf.half_life, [0.1, 0.08, 0.04], 1.75),
    (perf.half_life, [-0.1, -0.02], 0.5 / 0.8),
    (perf.half_life, [0.1, 0.09, 0.08], np.nan),
    (perf.monotonicity, [0.3, 0.1, 0.2, -0.1], -0.8),
    (perf.monotonicity, [-0.1, 0.0, 0.2], 1.0),
    (perf.calmar, cumulative([0.1, -0.2, 0.1, 0.24]),
     ((1.1 * 0.8 * 1.1 * 1.24) ** (252 / 3) - 1) / (1 - 0.88 / 1.1)),
])
def test_headline_figures_by_hand(function, values, expected):
    got = function(np.asarray(values, dtype=float))
    if np.isnan(expected):
        assert np.isnan(got)
    else:
        assert got == pytest.approx(expected, rel=1e-12)


def test_coefficient_stats_match_scipy():
    from scipy import stats
    values = np.array([0.05, -0.02, 0.03, 0.08, np.nan, 0.01, -0.04])
    p = np.array([0.2, 0.5, 0.3, 0.01, np.nan, 0.9, 0.4])
    got = perf.coefficient_stats(values, p)
    ok = values[np.isfinite(values)]
    assert got["p-value"] == pytest.approx(stats.ttest_1samp(ok, 0.0).pvalue)
    assert got["skew"] == pytest.approx(pd.Series(ok).skew())
    assert got["kurtosis"] == pytest.approx(pd.Series(ok).kurt())
    assert got["mean daily p-value"] == pytest.approx(np.nanmean(p)) and got["dates"] == 6


def quantile_result(groups=3, n_dates=30, benchmark=True, horizons=("P_1",)):
    dates = pd.bdate_range("2024-01-01", periods=n_dates, name="datetime")
    tags = ["q{}".format(k + 1) for k in range(groups)]
    rng = np.random.default_rng(3)
    daily = {h: rng.normal(0, 0.01, size=(groups, n_dates)) + 0.002 * np.arange(groups)[::-1, None]
             for h in horizons}
    for h in horizons:
        daily[h][:, 0] = 0.0
    index = pd.MultiIndex.from_product([tags, dates], names=["tag", "datetime"])
    returns = pd.DataFrame({h: cumulative(daily[h]).ravel() for h in horizons}, index=index)
    turnover = pd.DataFrame({h: rng.uniform(0.1, 0.3, size=groups * n_dates) for h in horizons},
                            index=index)
    tmb = pd.DataFrame({h: cumulative(daily[h][0] - daily[h][-1]) for h in horizons}, index=dates)
    bench = pd.Series(cumulative(rng.normal(0, 0.01, n_dates)), index=dates, name="000300.XSHG")
    return QuantileReturnAnalysisResult(
        quantile_turnover=turnover, quantile_returns=returns, quantile_detail=None,
        benchmark_return=bench if benchmark else None, top_minus_bottom_returns=tmb,
        name="quantile"), daily


def test_quantile_summaries_follow_the_daily_returns():
    result, daily = quantile_result(groups=4, horizons=("P_1", "P_2"))
    s = result.summary()
    q2 = daily["P_2"][1, 1:]
    assert s.loc["q2", "P_2 sharpe"] == pytest.approx(q2.mean() / q2.std(ddof=1) * np.sqrt(252))
    assert s.loc["q2", "P_2 max drawdown"] == pytest.approx(
        perf.max_drawdown(cumulative(daily["P_2"][1])))
    per_horizon = result.horizon_summary()
    annual = [perf.annual_return(cumulative(daily["P_1"][k])) for k in range(4)]
    expected = pd.Series(annual).rank().corr(pd.Series([1, 2, 3, 4]))
    assert per_horizon.loc["P_1", "monotonicity"] == pytest.approx(expected)
    spread = daily["P_1"][0, 1:] - daily["P_1"][3, 1:]
    assert per_horizon.loc["P_1", "top-bottom hit rate"] == pytest.approx((spread > 0).mean())
    assert per_horizon.loc["P_1", "mean turnover"] == pytest.approx(
        result.quantile_turnover["P_1"].mean())


@pytest.mark.parametrize("groups, benchmark", [(5, True), (3, False)])
def test_quantile_plot_draws_one_line_per_group_and_the_benchmark(groups, benchmark):
    result, _ = quantile_result(groups=groups, benchmark=benchmark)
    ax = result.plot_cumulative()
    labels = [line.get_label() for line in ax.get_lines() if not line.get_label().startswith("_")]
    assert labels == ["q{}".format(k + 1) for k in range(groups)] + (
        ["000300.XSHG"] if benchmark else [])
    assert ax.get_xlabel() == "date" and ax.get_ylabel() == "cumulative return"
    first = [line for line in ax.get_lines() if line.get_label() == "q1"][0]
    np.testing.assert_allclose(first.get_ydata(), result.group_returns("P_1")["q1"])


def ic_result(industry=True, decay=True):
    dates = pd.bdate_range("2024-01-01", periods=40, name="datetime")
    rng = np.random.default_rng(5)
    ic = pd.DataFrame({"P_1": rng.normal(0.03, 0.1, 40), "P_5": rng.normal(0.05, 0.1, 40)},
                      index=dates)
    ic.iloc[7] = np.nan  # a date without enough values
    lagged = pd.concat([(ic * 0.6 ** d).assign(decay=d).set_index("decay", append=True)
                        for d in range(4)]).sort_index()
    industries = pd.DataFrame({"P_1": [0.02, -0.01, 0.05], "P_5": [0.0, 0.1, 0.2]},
                              index=["Banks", "Energy", "Media"])
    return ICAnalysisResult(ic=ic, ic_p_value=ic.abs(), ic_decay=lagged if decay else None,
                            ic_industry_distribute=industries if industry else None, name="ic")


def test_ic_plots_show_their_data():
    result = ic_result()
    ax = result.plot_ic()
    lines = {line.get_label(): line for line in ax.get_lines()}
    assert {"P_1 20-date mean", "P_5 20-date mean"} <= set(lines)
    np.testing.assert_allclose(lines["P_5 20-date mean"].get_ydata(), result.rolling_ic()["P_5"],
                               equal_nan=True)
    (bars,) = ax.collections
    assert len(bars.get_segments()) == 40 and ax.get_ylabel() == "IC"
    decay = result.plot_decay()
    assert [line.get_label() for line in decay.get_lines()[:2]] == ["P_1", "P_5"]
    np.testing.assert_allclose(decay.get_lines()[0].get_ydata(),
                               result.decay_summary()["P_1"])
    bars = result.plot_industry()
    assert [t.get_text() for t in bars.get_yticklabels()] == ["Energy", "Banks", "Media"]
    # mean IC shrinks by 0.6 a lag: half-life where 0.6 ** h crosses 0.5 linearly
    assert result.summary().loc["P_1", "half-life"] == pytest.approx(1 + 0.1 / 0.24)
    assert set(result.figures()) == {"ic_series", "ic_histogram", "ic_decay", "ic_industry"}


def test_missing_pieces_are_said_on_the_axes():
    result = ic_result(industry=False, decay=False)
    texts = [t.get_text() for t in result.plot_industry().texts]
    assert texts == ["no industry classification"]
    assert [t.get_text() for t in result.plot_decay().texts] == ["no IC decay (decay lags off)"]
    empty = FactorReturnAnalysisResult(factor_returns=pd.DataFrame(), name="f")
    assert [t.get_text() for t in empty.plot().texts] == ["no factor returns"]


def test_factor_return_plot_shades_drawdowns():
    dates = pd.bdate_range("2024-01-01", periods=5, name="datetime")
    frame = pd.DataFrame({"P_1": cumulative([0, 0.1, -0.2, 0.05, 0.3])}, index=dates)
    result = FactorReturnAnalysisResult(factor_returns=frame, name="factor_return")
    ax = result.plot()
    (shade,) = ax.collections
    assert shade.get_label() == "drawdown P_1"
    assert result.summary().loc["P_1", "calmar"] == pytest.approx(perf.calmar(frame["P_1"]))


def test_notebook_display_holds_table_and_figure():
    result, _ = quantile_result()
    text = result._repr_html_()
    assert "<table" in text and "q1" in text and text.count("<img") == 1
