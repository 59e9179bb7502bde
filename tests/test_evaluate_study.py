"""study_factors: every factor's results equal its own FactorStudyBench run, inputs fetched once;
leaderboard figures from the result tables."""
import sys
import types

import numpy as np
import pandas as pd
import pytest

from alvora.analysis import study_bench as sb
from alvora.evaluate import study_factors
from alvora.evaluate.leaderboard import LEADERBOARD_COLUMNS, leaderboard

from _preprocess_helpers import style_table
from _study_helpers import FakeTessal, instrument_table, make_ids


@pytest.fixture(autouse=True)
def fresh_industry_cache():
    """The fake industry records must not outlive these tests in the module's cache."""
    sb._cache_industry_data.cache_clear()
    yield
    sb._cache_industry_data.cache_clear()


class Client(FakeTessal):
    """The study client plus style exposures, counting the requests."""

    def __init__(self, styles, **kwargs):
        super().__init__(**kwargs)
        self.styles = styles

    def get_style_factor_exposure(self, order_book_ids, start_date, end_date, factors):
        self.calls.append(("get_style_factor_exposure",))
        dates = self.styles.index.get_level_values("date")
        ids = self.styles.index.get_level_values("order_book_id")
        keep = ((dates >= pd.Timestamp(start_date)) & (dates <= pd.Timestamp(end_date))
                & ids.isin(list(order_book_ids)))
        table = self.styles[keep]
        return table if factors is None else table[list(factors)]

    def count(self, name):
        return sum(1 for call in self.calls if call[0] == name)


def market(seed=0, n_dates=60, n_ids=14, missing=0.1, ties=False):
    rng = np.random.default_rng(seed)
    calendar = pd.bdate_range("2021-01-04", periods=n_dates + 30)
    ids = make_ids(n_ids)
    rates = pd.DataFrame(rng.normal(0, 0.02, (len(calendar), n_ids)), index=calendar, columns=ids)
    rates.iloc[:, 3] = np.where(rng.random(len(calendar)) < 0.3, np.nan, rates.iloc[:, 3])
    styles = style_table(calendar, ids, ["size", "beta"], seed=seed + 1)
    records = [(f"ind_{k % 3}", i, pd.Timestamp("2015-01-05")) for k, i in enumerate(ids)]
    records.append(("ind_9", ids[0], calendar[20]))  # a reclassification inside the range
    records.append(("ind_8", ids[1], calendar[5]))  # an industry of one instrument
    listing = instrument_table([(i, "2010-01-04", "0000-00-00") for i in ids[:-1]]
                               + [(ids[-1], str(calendar[10].date()), "0000-00-00")])
    client = Client(styles, instruments=listing, zx_records=records, change_rate=rates,
                    calendar=calendar)
    # factors over overlapping instruments and dates; the first two share their axes
    factors = {}
    spans = [(0, 60, ids), (0, 60, ids), (5, 50, ids[2:12]), (10, 40, ids[::2])]
    for k, (first, last, cols) in enumerate(spans):
        values = rng.standard_normal((last - first, len(cols)))
        if ties:
            values = np.round(values)
        values[rng.random(values.shape) < missing] = np.nan
        factors[f"f{k}"] = pd.DataFrame(values, index=calendar[first:last], columns=list(cols))
    return client, factors


def steps():
    return [("w", sb.Winzorization("mad")), ("n", sb.Neutralization()), ("z", sb.Normalization()),
            ("ic", sb.ICAnalysis(True, "citics_2019", 3)),
            ("q", sb.QuantileReturnAnalysis(3)), ("fr", sb.FactorReturnAnalysis())]


def assert_same_result(got, want):
    assert type(got) is type(want)
    for name, value in vars(want).items():
        other = getattr(got, name)
        if isinstance(value, pd.DataFrame):
            pd.testing.assert_frame_equal(other, value, rtol=1e-12, atol=1e-12)
        elif isinstance(value, pd.Series):
            pd.testing.assert_series_equal(other, value, rtol=1e-12, atol=1e-12)
        else:
            assert other == value


@pytest.mark.parametrize("periods, missing, ties", [((1, 5), 0.1, False), (2, 0.1, False),
                                                    ((1, 3), 0.6, True)])
def test_each_factor_equals_its_own_run_and_inputs_are_fetched_once(periods, missing, ties):
    client, factors = market(missing=missing, ties=ties)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(sb, "tessal", client)
        alone = {}
        for name, frame in factors.items():
            bench = sb.FactorStudyBench()
            for step in steps():
                bench.append(step)
            client.calls.clear()
            alone[name] = bench.analysis(frame.copy(), "daily", periods=periods)
            # the neutralization's industry data serves the IC breakdown too
            assert client.count("all_instruments") == 1
        client.calls.clear()
        together = study_factors({k: v.copy() for k, v in factors.items()}, steps=steps(),
                                 periods=periods)
    assert list(together) == list(factors)
    for name in factors:
        assert list(together[name]) == list(alone[name])
        for step_name, result in alone[name].items():
            assert_same_result(together[name][step_name], result)
    assert client.count("get_price_change_rate") == 1
    assert client.count("get_style_factor_exposure") == 1


def test_study_restores_the_module_and_reports_the_failing_factor():
    client, factors = market(seed=3)
    factors["bad"] = factors["f1"].iloc[:1]  # one date: every horizon too long for quantiles
    loader = sb._load_industry_data
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(sb, "tessal", client)
        with pytest.raises(ValueError, match="Invalid periods") as info:
            study_factors(factors, steps=[("q", sb.QuantileReturnAnalysis(3))], periods=[5])
        assert sb.tessal is client and sb._load_industry_data is loader
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == ["while studying factor 'bad'"]
    for bad, error in (([], TypeError), ({}, ValueError)):
        with pytest.raises(error):
            study_factors(bad)


def fake_results(ic, spread, turnover_first, turnover_last):
    dates = pd.bdate_range("2021-01-04", periods=len(ic))
    ic_result = types.SimpleNamespace(ic=pd.DataFrame({"P_1": ic, "P_5": ic[::-1]}, index=dates))
    tags = pd.MultiIndex.from_product([["q1", "q2", "q3"], dates], names=["tag", "datetime"])
    turnover = np.concatenate([turnover_first, np.full(len(dates), 0.9), turnover_last])
    quantile = types.SimpleNamespace(
        top_minus_bottom_returns=pd.DataFrame({"P_1": spread, "P_5": spread}, index=dates),
        quantile_turnover=pd.DataFrame({"P_1": turnover, "P_5": turnover}, index=tags))
    return {"ic": ic_result, "quantile": quantile}


def test_leaderboard_figures_and_order():
    results = {
        "weak": fake_results([0.01, 0.03, 0.02], [0.0, 0.01, 0.02],
                             [np.nan, 0.2, 0.4], [np.nan, 0.0, 0.2]),
        "strong": fake_results([0.05, 0.06, 0.07], [0.0, 0.0, -0.5],
                               [np.nan, 0.1, 0.1], [np.nan, 0.1, 0.1]),
        "no steps": {},
    }
    board = leaderboard(results)
    assert list(board.columns) == LEADERBOARD_COLUMNS
    assert list(board.index) == ["strong", "weak", "no steps"]
    strong = board.loc["strong"]
    assert strong["IC mean"] == pytest.approx(0.06)
    assert strong["IR"] == pytest.approx(0.06 / 0.01)
    assert strong["top-bottom annual return"] == pytest.approx(0.5 ** (252 / 2) - 1)
    assert board.loc["weak", "turnover"] == pytest.approx(0.2)
    assert board.loc["no steps"].isna().all()
    # another horizon: the reversed IC series has the same mean and spread
    assert leaderboard(results, period=5).loc["weak", "IR"] == pytest.approx(board.loc["weak",
                                                                                        "IR"])


@pytest.mark.parametrize("nan_fraction, levels", [(0.6, None), (0.05, 3), (0.0, None)])
def test_rank_ic_with_orders_shared_across_factors_equals_each_factor_alone(nan_fraction,
                                                                           levels):
    """Factors on the same axes reuse the return columns' sorted orders: NaN-heavy,
    tie-heavy and NaN-free factors against returns with many ties."""
    client, _ = market(seed=7, n_dates=50, n_ids=80)
    client.change_rate = client.change_rate.round(2)  # many equal forward returns
    rng = np.random.default_rng(11)
    dates, ids = client.change_rate.index[:50], list(client.change_rate.columns)
    factors = {}
    for k in range(3):
        values = rng.standard_normal((len(dates), len(ids)))
        if levels:
            values = np.floor(values * levels / 2)
        values[rng.random(values.shape) < nan_fraction] = np.nan
        values[3] = np.nan  # a date without any factor value
        factors[f"f{k}"] = pd.DataFrame(values, index=dates, columns=ids)
    ic_steps = [("ic", sb.ICAnalysis(True, "citics_2019", 5))]
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(sb, "tessal", client)
        together = study_factors(factors, steps=ic_steps, periods=(1, 3))
        for name, frame in factors.items():
            bench = sb.FactorStudyBench()
            bench.append(("ic", sb.ICAnalysis(True, "citics_2019", 5)))
            alone = bench.analysis(frame, "daily", periods=(1, 3))
            for field in ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute"):
                pd.testing.assert_frame_equal(getattr(together[name]["ic"], field),
                                              getattr(alone["ic"], field), check_exact=True)


def test_industry_groups_kept_by_a_study_serve_only_tables_over_the_same_grid():
    """One industry series for every request (a loader that ignores the request): the
    groups made for one factor's table must not serve a factor over other axes."""
    client, factors = market(seed=3)
    wide = factors["f0"]
    pairs = pd.MultiIndex.from_product([wide.index, wide.columns],
                                       names=["datetime", "order_book_id"])
    rng = np.random.default_rng(5)
    industry = pd.Series(pd.Categorical(rng.choice(["a", "b", "c"], len(pairs))), index=pairs)
    order = ["f2", "f0", "f3", "f1"]  # a change of axes between every two factors but the last
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(sb, "tessal", client)
        mp.setattr(sb, "_load_industry_data", lambda *args, **kwargs: industry)
        together = study_factors({name: factors[name] for name in order},
                                 steps=[("ic", sb.ICAnalysis(True, "citics_2019"))], periods=(1, 3))
        for name in order:
            bench = sb.FactorStudyBench()
            bench.append(("ic", sb.ICAnalysis(True, "citics_2019")))
            alone = bench.analysis(factors[name], "daily", periods=(1, 3))["ic"]
            pd.testing.assert_frame_equal(together[name]["ic"].ic_industry_distribute,
                                          alone.ic_industry_distribute, check_exact=True)
