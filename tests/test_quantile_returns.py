"""QuantileReturnAnalysis: labels, staggered schedules, group returns, turnover, benchmark."""
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

from alvora.analysis import study_bench
from _portfolio_helpers import (FakeResult, daily_from_cumulative, fake_results,  # noqa: F401
                                frame, oracle_quantile, random_panel)

QRA = study_bench.QuantileReturnAnalysis


def run(factor, returns, periods, quantile=5, ascending=True, **kwargs):
    return QRA(quantile, **kwargs).analysis(factor, returns, periods, ascending=ascending)


def daily(result, tag, period):
    return daily_from_cumulative(result.quantile_returns.loc[tag, f"P_{period}"])


# ---------------------------------------------------------------- labels


@pytest.mark.parametrize("ascending", [False, True])
def test_ten_instruments_in_five_groups_of_two(fake_results, ascending):
    values = [[3.0, 9, 1, 7, 5, 10, 2, 8, 4, 6], [0] * 10]
    res = run(frame(values), frame(np.zeros((2, 10))), [1], ascending=ascending)
    detail = res.quantile_detail
    assert detail.iloc[0].isna().all()  # labels come from the previous date
    row = detail.iloc[1]
    counts = row.value_counts()
    assert sorted(counts.index) == ["q1", "q2", "q3", "q4", "q5"]
    assert (counts == 2).all()
    top = set(row.index[row == "q1"])
    order = np.argsort(values[0])
    expected = order[-2:] if not ascending else order[:2]
    assert top == set(detail.columns[expected])
    assert detail.dtypes.eq(object).all()
    assert all(isinstance(v, str) for v in row)


def test_ties_follow_column_order_and_small_dates_leave_groups_empty(fake_results):
    # Date 1: all tied -> ranks by position; date 2: three instruments for five groups.
    values = [[1.0, 1, 1, 1, 1], [np.nan, 2, np.nan, 1, 3], [0] * 5]
    res = run(frame(values), frame(np.full((3, 5), 0.01)), [1], ascending=True)
    assert list(res.quantile_detail.iloc[1]) == ["q1", "q2", "q3", "q4", "q5"]
    # three ranks in five groups land in q1, q3 and q5 (interpolated bins 0, 1.4, 1.8, 2.2, 2.6, 3)
    row = res.quantile_detail.iloc[2]
    assert row.isna().tolist() == [True, False, True, False, False]
    assert list(row.dropna()) == ["q3", "q1", "q5"]
    # empty groups earn 0 and have no turnover on that date
    assert daily(res, "q2", 1)[2] == 0.0
    assert np.isnan(res.quantile_turnover.loc[("q2", res.quantile_detail.index[2]), "P_1"])
    assert daily(res, "q3", 1)[2] == pytest.approx(0.01)


def test_all_nan_factor_date_gives_no_holding(fake_results):
    values = np.arange(24, dtype=float).reshape(4, 6)
    values[1] = np.nan
    res = run(frame(values), frame(np.full((4, 6), 0.02)), [1], quantile=3)
    assert res.quantile_detail.iloc[2].isna().all()
    for tag in ("q1", "q2", "q3"):
        np.testing.assert_allclose(daily(res, tag, 1), [0, 0.02, 0, 0.02], atol=1e-12)
        assert res.quantile_turnover.loc[tag, "P_1"].isna().tolist() == [True, False, True, False]


# ---------------------------------------------------------------- returns


def test_horizon_one_is_equal_weighted_mean_of_member_returns(fake_results):
    rng = np.random.default_rng(3)
    factor = frame(rng.normal(size=(6, 10)))
    returns = frame(rng.normal(scale=0.02, size=(6, 10)))
    res = run(factor, returns, [1], ascending=False)
    detail = res.quantile_detail
    for tag in ("q1", "q3", "q5"):
        got = daily(res, tag, 1)
        assert got[0] == 0.0
        for t in range(1, 6):
            members = detail.iloc[t] == tag
            assert got[t] == pytest.approx(returns.iloc[t][members.values].mean(), rel=1e-12)


def test_horizon_two_with_constant_returns(fake_results):
    rng = np.random.default_rng(4)
    factor = frame(rng.normal(size=(8, 10)))
    res = run(factor, frame(np.full((8, 10), 0.01)), [2])
    for tag in ("q1", "q2", "q3", "q4", "q5"):
        np.testing.assert_allclose(daily(res, tag, 2), [0] + [0.01] * 7, rtol=1e-12)
    np.testing.assert_allclose(res.top_minus_bottom_returns["P_2"], 0, atol=1e-15)


def test_top_minus_bottom_compounds_daily_difference(fake_results):
    factor, returns = random_panel(5, n=20, m=15)
    res = run(factor, returns, [1, 3], quantile=4)
    for p in (1, 3):
        diff = daily(res, "q1", p) - daily(res, "q4", p)
        expected = np.cumprod(1 + diff) - 1
        np.testing.assert_allclose(res.top_minus_bottom_returns[f"P_{p}"], expected, rtol=1e-9)


def test_missing_return_inside_holding_counts_as_zero(fake_results):
    # Group {A, B} held for two days: A +10 % on day 1, no return on day 2, B flat.
    factor = frame([[2.0, 1.0], [2.0, 1.0], [2.0, 1.0], [2.0, 1.0]], columns=["A", "B"])
    returns = frame([[0.0, 0.0], [0.1, 0.0], [np.nan, 0.0], [0.0, 0.0]], columns=["A", "B"])
    res = run(factor, returns, [2], quantile=1)
    cumulative = res.quantile_returns.loc["q1", "P_2"]
    assert cumulative.iloc[2] == pytest.approx(0.05, rel=1e-12)
    assert daily(res, "q1", 2)[2] == pytest.approx(0.0, abs=1e-12)
    assert cumulative.iloc[3] == pytest.approx(0.05, rel=1e-12)


def test_return_table_on_other_dates_and_instruments(fake_results):
    factor, returns = random_panel(6, n=12, m=5)
    wider = returns.copy()
    wider["EXTRA.XSHE"] = 0.5
    wider = wider.drop(columns=wider.columns[1])
    extra_day = pd.DataFrame(0.3, index=pd.DatetimeIndex(["2021-01-05 12:00"]), columns=wider.columns)
    wider = pd.concat([wider, extra_day]).sort_index()
    res = run(factor, wider, [1, 2])
    want = oracle_quantile(factor, wider, [1, 2])
    pd.testing.assert_frame_equal(res.quantile_returns, want["quantile_returns"], rtol=1e-9)
    pd.testing.assert_frame_equal(res.quantile_turnover, want["quantile_turnover"])


# ---------------------------------------------------------------- turnover


def test_turnover_counts_entrants():
    # q1 (two largest) is {A, B}, {A, C}, {A, C} on dates 1..3.
    factor = frame([[4.0, 3, 1, 2], [4, 1, 3, 2], [4, 1, 3, 2], [0, 0, 0, 0]],
                   columns=["A", "B", "C", "D"])
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(study_bench, "QuantileReturnAnalysisResult", FakeResult, raising=False)
        res = run(factor, frame(np.zeros((4, 4))), [1, 2], quantile=2, ascending=False)
    assert list(res.quantile_detail.iloc[1]) == ["q1", "q1", "q2", "q2"]
    q1 = res.quantile_turnover.loc["q1"]
    np.testing.assert_allclose(q1["P_1"], [np.nan, 0, 0.5, 0])
    # horizon 2: schedule 1 holds {A,B} on dates 1-2 then {A,C}; schedule 2 starts on date 2
    np.testing.assert_allclose(q1["P_2"], [np.nan, 0, 0, 0.25])


# ---------------------------------------------------------------- horizons and tables


def test_horizons_beyond_data_warn_or_fail(fake_results):
    factor, returns = random_panel(7, n=250, m=6)
    with pytest.warns(UserWarning, match=r"^Invalid periods found: \[500\], will ignore\.$"):
        res = run(factor, returns, [1, 500])
    assert list(res.quantile_returns.columns) == ["P_1"]
    with pytest.raises(ValueError, match=r"^Invalid periods, must be less than 250$"):
        run(factor, returns, [500])
    with pytest.raises(ValueError, match="must be less than 250"):
        run(factor, returns, [250])
    with pytest.raises(ValueError, match="factor_data has 1 date, and quantile returns need at "
                                         "least two"):
        run(factor.iloc[:1], returns, [1])


def test_table_layout(fake_results):
    factor, returns = random_panel(8, n=10, m=7)
    res = run(factor, returns, (5, 1, 5), quantile=3)
    assert set(res.kwargs) == {"quantile_turnover", "quantile_returns", "quantile_detail",
                               "benchmark_return", "top_minus_bottom_returns", "name"}
    assert res.name == "FactorAnalysisStep"
    for table in (res.quantile_returns, res.quantile_turnover):
        assert table.index.names == ["tag", "datetime"]
        assert list(table.index.get_level_values("tag").unique()) == ["q1", "q2", "q3"]
        assert table.index.get_level_values("datetime")[:10].equals(factor.index)
        assert list(table.columns) == ["P_5", "P_1"]
    assert not res.quantile_returns.isna().any().any()
    np.testing.assert_array_equal(res.quantile_returns.xs(factor.index[0], level="datetime"), 0)
    assert res.top_minus_bottom_returns.index.equals(factor.index)
    assert res.top_minus_bottom_returns.index.name == "datetime"
    assert res.quantile_detail.index.equals(factor.index)
    assert res.quantile_detail.columns.equals(factor.columns)
    assert res.benchmark_return is None


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("ascending", [True, False])
def test_matches_transcription_on_random_panels(fake_results, seed, ascending):
    factor, returns = random_panel(seed, n=28, m=11, all_nan_rows=(3, 9, 10))
    factor.iloc[15, 3:] = np.nan  # fewer labelled instruments than groups
    periods = [1, 2, 3, 7]
    for quantile in (4, 6):
        res = run(factor, returns, periods, quantile=quantile, ascending=ascending)
        want = oracle_quantile(factor, returns, periods, quantile, ascending)
        for key in ("quantile_returns", "quantile_turnover", "top_minus_bottom_returns"):
            pd.testing.assert_frame_equal(getattr(res, key), want[key], rtol=1e-9, atol=1e-12)
        pd.testing.assert_frame_equal(res.quantile_detail, want["quantile_detail"])


def test_inputs_unchanged(fake_results):
    factor, returns = random_panel(9, n=10, m=6)
    before = factor.copy(), returns.copy()
    run(factor, returns, [2])
    pd.testing.assert_frame_equal(factor, before[0])
    pd.testing.assert_frame_equal(returns, before[1])


@pytest.mark.parametrize("periods, message", [
    ([0], "positive integer"), ([-2], "positive integer"), ([2.0], "positive integer"),
    (["2"], "positive integer"), ("5", "tuple/list/int")])
def test_bad_horizons(fake_results, periods, message):
    factor, returns = random_panel(10, n=10, m=6)
    with pytest.raises(ValueError, match=message):
        run(factor, returns, periods)


@pytest.mark.parametrize("quantile", [0, -1, 2.5, "5", None])
def test_bad_group_count(fake_results, quantile):
    factor, returns = random_panel(11, n=10, m=6)
    step = QRA(quantile)  # stored unchecked
    assert step.quantile is quantile
    with pytest.raises(ValueError, match="quantile must be a positive integer"):
        step.analysis(factor, returns, [1])


@pytest.mark.parametrize("quantile", [7, 20000, 1000000])
def test_more_groups_than_instruments_is_refused(fake_results, quantile):
    factor, returns = random_panel(11, n=10, m=6)
    with pytest.raises(ValueError, match="quantile={} groups but factor_data has only 6 "
                                         "instruments".format(quantile)):
        QRA(quantile).analysis(factor, returns, [1])
    assert QRA(6).analysis(factor, returns, [1]).quantile_returns.shape[0] == 6 * 10


def test_bad_tables(fake_results):
    factor, returns = random_panel(12, n=6, m=4)
    with pytest.raises(ValueError, match="factor_data: expect pd.DataFrame"):
        QRA().analysis(factor.values, returns, [1])
    with pytest.raises(ValueError, match="returns: expect pd.DataFrame"):
        QRA().analysis(factor, "daily", [1])
    text = factor.astype(object)
    text.iloc[2, 1] = "abc"
    with pytest.raises(ValueError):
        QRA().analysis(text, returns, [1])


def test_degenerate_shapes(fake_results):
    no_columns = pd.DataFrame(index=pd.bdate_range("2021-01-04", periods=5))
    with pytest.raises(ValueError, match="factor_data has only 0 instruments"):
        run(no_columns, no_columns, [1, 2])  # no group could ever hold anything
    with pytest.raises(ValueError, match="must be less than 0"):
        run(no_columns.iloc[:0], no_columns.iloc[:0], [1])


# ---------------------------------------------------------------- benchmark


class FakeClient:
    def __init__(self, kind="INDX", prices=None):
        self.kind = kind
        self.prices = prices
        self.calls = []

    def instruments(self, order_book_id):
        self.calls.append(("instruments", order_book_id))
        if self.kind is None:
            return None
        return type("Instrument", (), {"type": self.kind})()

    def get_price(self, *args, **kwargs):
        self.calls.append(("get_price", args, kwargs))
        return self.prices


def test_stock_benchmark_warns_and_is_ignored(monkeypatch, fake_results):
    client = FakeClient(kind="CS")
    monkeypatch.setattr(study_bench, "tessal", client)
    with pytest.warns(UserWarning, match=r"^Invalid benchmark: 000001.XSHE is not INDX order_book_id\.$"):
        step = QRA(5, "000001.XSHE")
    assert step.benchmark is None
    client.kind = None
    with pytest.warns(UserWarning, match="Invalid benchmark"):
        assert QRA(benchmark="UNKNOWN").benchmark is None
    factor, returns = random_panel(13, n=8, m=6)
    client.calls.clear()
    assert step.analysis(factor, returns, [1]).benchmark_return is None
    assert client.calls == []


def test_no_benchmark_makes_no_request(monkeypatch, fake_results):
    client = FakeClient()
    monkeypatch.setattr(study_bench, "tessal", client)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        step = QRA()
        assert step._load_benchmark_series(pd.bdate_range("2021-01-04", periods=3)) is None
    assert client.calls == []


def test_index_benchmark_series(monkeypatch, fake_results):
    factor, returns = random_panel(14, n=6, m=5)
    index = factor.index
    # prices on some dates only, with one extra date the factor does not have
    price_dates = index[[0, 1, 3, 5]]
    prices = pd.DataFrame(
        {"close": [100.0, 110.0, 99.0, 108.9]},
        index=pd.MultiIndex.from_product([["000300.XSHG"], price_dates],
                                         names=["order_book_id", "date"]))
    client = FakeClient(prices=prices)
    monkeypatch.setattr(study_bench, "tessal", client)
    step = QRA(3, "000300.XSHG")
    assert step.benchmark == "000300.XSHG"
    res = step.analysis(factor, returns, [1])
    series = res.benchmark_return
    assert series.name == "000300.XSHG"
    np.testing.assert_allclose(series.values, [0, 0.1, 0.1, -0.01, -0.01, 0.089], atol=1e-12)
    _, args, kwargs = client.calls[-1]
    assert args == ("000300.XSHG",)
    assert kwargs == dict(start_date=index[0], end_date=index[-1], frequency="1d",
                          fields=["close"], expect_df=True)


def test_tick_benchmark_uses_last_and_missing_prices_warn(monkeypatch, fake_results):
    client = FakeClient(prices=None)
    monkeypatch.setattr(study_bench, "tessal", client)
    step = QRA(benchmark="000300.XSHG")
    index = pd.DatetimeIndex(["2021-01-04 09:30:15", "2021-01-04 09:30:16"])
    with pytest.warns(UserWarning) as record:
        assert step._load_benchmark_series(index) is None
    assert str(record[0].message) == (
        "No price data for benchmark [000300.XSHG] from 2021-01-04 09:30:15 to 2021-01-04 09:30:16")
    assert client.calls[-1][2]["fields"] == ["last"]
    assert client.calls[-1][2]["frequency"] == "tick"


# ---------------------------------------------------------------- class


def test_is_a_pipeline_step_and_pickles_by_reference(fake_results):
    step = QRA(7)
    assert isinstance(step, study_bench.FactorAnalyser)
    assert QRA.__module__ == "alvora.analysis.study_bench"
    assert ":param quantile:" in QRA.__doc__ and "Example" in QRA.__doc__
    copy = pickle.loads(pickle.dumps(step))
    assert type(copy) is QRA and copy.quantile == 7 and copy.benchmark is None
    bench = study_bench.FactorStudyBench()
    bench.append(("quantile", step))
    factor, returns = random_panel(15, n=8, m=7)
    out = bench.analysis(factor, returns, periods=(1, 2))
    assert out["quantile"].name == "quantile"
    # the pipeline's default ascending is False: q1 holds the largest factor values
    row = out["quantile"].quantile_detail.iloc[2]
    assert row[factor.iloc[1].idxmax()] == "q1"
