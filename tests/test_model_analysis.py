
import numpy as np
import pandas as pd
import pytest

from alvora.analysis import analysis_result
from alvora.analysis.analysis_result import (FactorReturnAnalysisResult, ICAnalysisResult,
                                             QuantileReturnAnalysisResult)
from alvora.analysis.winsorize import WINSORIZE_METHODS


def row(values, name=pd.Timestamp("2024-01-02")):
    return pd.Series(values, index=["s{}".format(i) for i in range(len(values))], name=name,
                     dtype=float)


class TestWinsorize:
    def test_mad(self):
        x = row([1, 2, 3, 4, 100, np.nan])
        out = WINSORIZE_METHODS["mad"](x)
        # median 3, MAD 1 -> bounds 3 ± 4.4478
        assert out.index.equals(x.index) and out.name == x.name
        np.testing.assert_allclose(out.iloc[:4], [1, 2, 3, 4])
        assert out.iloc[4] == pytest.approx(3 + 3 * 1.4826)
        assert np.isnan(out.iloc[5])

    def test_std(self):
        values = np.r_[np.linspace(-1, 1, 40), 50.0]
        out = WINSORIZE_METHODS["std"](row(values))
        upper = values.mean() + 3 * values.std(ddof=1)
        assert out.iloc[-1] == pytest.approx(upper)
        np.testing.assert_allclose(out.iloc[:-1], values[:-1])
        lone = WINSORIZE_METHODS["std"](row([5.0, np.nan]))
        assert lone.iloc[0] == 5.0 and np.isnan(lone.iloc[1])

    def test_percentile(self):
        values = np.arange(101.0)
        out = WINSORIZE_METHODS["percentile"](row(values))
        assert out.min() == pytest.approx(2.5) and out.max() == pytest.approx(97.5)
        np.testing.assert_allclose(out.iloc[3:98], values[3:98])

    @pytest.mark.parametrize("method", ["mad", "std", "percentile"])
    def test_nan_inf_and_empty(self, method):
        fn = WINSORIZE_METHODS[method]
        x = row([1.0, 2.0, np.nan, 3.0, np.inf, -np.inf, 2.5, 1.5])
        out = fn(x)
        assert np.isnan(out.iloc[2]) and np.isfinite(out.drop(x.index[2])).all()
        assert out.iloc[4] == out.max() and out.iloc[5] == out.min()
        assert x.iloc[4] == np.inf  # input untouched
        empty = fn(row([np.nan, np.nan]))
        assert empty.isna().all() and len(empty) == 2
        assert fn(row([])).empty
        with pytest.raises(TypeError):
            fn(np.array([1.0, 2.0]))

    def test_apply_by_row_like_the_pipeline(self):
        frame = pd.DataFrame(np.arange(12.0).reshape(3, 4), columns=list("abcd"),
                             index=pd.bdate_range("2024-01-01", periods=3))
        frame.iloc[1, 2] = 1e6
        out = frame.apply(WINSORIZE_METHODS["mad"], axis=1)
        assert out.shape == frame.shape and out.columns.equals(frame.columns)
        assert out.iloc[1, 2] < 1e6 and out.iloc[0].tolist() == frame.iloc[0].tolist()


def ic_result(name="ic"):
    dates = pd.bdate_range("2024-01-01", periods=4, name="datetime")
    ic = pd.DataFrame({"P_1": [0.1, 0.3, -0.1, np.nan], "P_5": [0.2, 0.2, 0.2, 0.2]}, index=dates)
    decay = pd.concat([ic.assign(decay=d).set_index("decay", append=True) for d in (0, 1)])
    return ICAnalysisResult(ic=ic, ic_p_value=ic * 0, ic_decay=decay.sort_index(),
                            ic_industry_distribute=None, name=name)


class TestResults:
    def test_exports(self):
        assert analysis_result.__all__ == ["ICAnalysisResult", "QuantileReturnAnalysisResult",
                                           "FactorReturnAnalysisResult"]
        with pytest.raises(TypeError):
            ICAnalysisResult(1, 2, 3, 4, "ic")  # keyword-only

    def test_ic_summary(self):
        result = ic_result()
        s = result.summary()
        values = np.array([0.1, 0.3, -0.1])
        assert s.loc["P_1", "IC mean"] == pytest.approx(values.mean())
        assert s.loc["P_1", "IC std"] == pytest.approx(values.std(ddof=1))
        assert s.loc["P_1", "IR"] == pytest.approx(values.mean() / values.std(ddof=1))
        assert s.loc["P_1", "t-stat"] == pytest.approx(s.loc["P_1", "IR"] * np.sqrt(3))
        assert s.loc["P_1", "IC > 0"] == pytest.approx(2 / 3) and s.loc["P_1", "dates"] == 3
        assert np.isnan(s.loc["P_5", "IR"])  # no dispersion
        assert set(result.tables()) == {"ic", "ic_p_value", "ic_decay"}
        assert result.decay_summary().loc[1, "P_5"] == pytest.approx(0.2)
        text = repr(result)
        assert text.startswith("ICAnalysisResult(name='ic', 2024-01-01 .. 2024-01-04, 4 dates)")
        assert "IC mean" in text

    def test_quantile_summary(self):
        dates = pd.bdate_range("2024-01-01", periods=3, name="datetime")
        index = pd.MultiIndex.from_product([["q1", "q2"], dates], names=["tag", "datetime"])
        returns = pd.DataFrame({"P_1": [0.0, 0.01, 0.0201, 0.0, -0.01, -0.0199]}, index=index)
        turnover = pd.DataFrame({"P_1": [np.nan, 0.5, 0.3, np.nan, 0.1, 0.1]}, index=index)
        tmb = pd.DataFrame({"P_1": [0.0, 0.02, 0.04]}, index=dates)
        bench = pd.Series([0.0, 0.0, 0.01], index=dates, name="000300.XSHG")
        result = QuantileReturnAnalysisResult(
            quantile_turnover=turnover, quantile_returns=returns, quantile_detail=None,
            benchmark_return=bench, top_minus_bottom_returns=tmb, name="quantile")
        s = result.summary()
        assert list(s.index) == ["q1", "q2", "top-bottom", "000300.XSHG"]
        assert s.loc["q1", "P_1 annual return"] == pytest.approx(1.0201 ** 126 - 1)
        assert s.loc["q1", "P_1 turnover"] == pytest.approx(0.4)
        assert s.loc["top-bottom", "P_1 annual return"] == pytest.approx(1.04 ** 126 - 1)
        assert "quantile_detail" not in result.tables()
        assert "q1" in repr(result)

    def test_quantile_summary_of_many_groups_matches_the_per_group_figures(self):
        rng = np.random.default_rng(4)
        dates = pd.bdate_range("2024-01-01", periods=6, name="datetime")
        tags = ["q{}".format(k) for k in range(1, 3001)]
        index = pd.MultiIndex.from_product([tags, dates], names=["tag", "datetime"])
        values = rng.normal(0, 0.05, size=(len(index), 2))
        values[rng.random(values.shape) < 0.3] = np.nan
        values[:6, 0] = np.nan  # a group with no return at all
        values[6:12, 1] = [-1.5, np.nan, -1.2, np.nan, np.nan, -1.1]  # lost everything
        returns = pd.DataFrame(values, index=index, columns=["P_1", "P_5"])
        turnover = pd.DataFrame(rng.random((len(index), 2)), index=index, columns=["P_1", "P_5"])
        s = QuantileReturnAnalysisResult(
            quantile_turnover=turnover, quantile_returns=returns, quantile_detail=None,
            benchmark_return=None, top_minus_bottom_returns=None, name="quantile").summary()
        assert list(s.index) == tags
        for tag in ("q1", "q2", "q1777"):
            for column in ("P_1", "P_5"):
                expected = analysis_result._annualise_cumulative(returns.xs(tag)[column])
                np.testing.assert_allclose(s.loc[tag, column + " annual return"], expected,
                                           rtol=1e-12)
                assert s.loc[tag, column + " turnover"] == pytest.approx(
                    turnover.xs(tag)[column].mean())

    def test_factor_return_summary(self):
        dates = pd.bdate_range("2024-01-01", periods=4, name="datetime")
        daily = np.array([0.0, 0.01, -0.02, 0.03])
        cumulative = pd.DataFrame({"P_1": np.cumprod(1 + daily) - 1}, index=dates)
        result = FactorReturnAnalysisResult(factor_returns=cumulative, name="factor_return")
        s = result.summary()
        total = np.prod(1 + daily) - 1
        assert s.loc["P_1", "total return"] == pytest.approx(total)
        assert s.loc["P_1", "annual return"] == pytest.approx((1 + total) ** (252 / 3) - 1)
        assert s.loc["P_1", "annual volatility"] == pytest.approx(
            daily[1:].std(ddof=1) * np.sqrt(252))
        assert s.loc["P_1", "max drawdown"] == pytest.approx(1.01 * 0.98 / 1.01 - 1)

    def test_degenerate_tables_do_not_break_summaries(self):
        empty = FactorReturnAnalysisResult(factor_returns=pd.DataFrame(), name="f")
        assert empty.summary().empty and "FactorReturnAnalysisResult" in repr(empty)
        nan_ic = ICAnalysisResult(ic=pd.DataFrame({"P_1": [np.nan]}), ic_p_value=None,
                                  ic_decay=None, ic_industry_distribute=None, name="ic")
        assert np.isnan(nan_ic.summary().loc["P_1", "IC mean"]) and nan_ic.decay_summary() is None
        q = QuantileReturnAnalysisResult(quantile_turnover=None, quantile_returns=None,
                                         quantile_detail=None, benchmark_return=None,
                                         top_minus_bottom_returns=None, name="q")
        assert q.summary().empty and "empty" in repr(q)
