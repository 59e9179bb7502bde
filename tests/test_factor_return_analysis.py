"""FactorReturnAnalysis: demeaned weights, staggered schedules, compounding."""
import pickle

import numpy as np
import pandas as pd
import pytest

from alvora.analysis import study_bench
from _portfolio_helpers import (daily_from_cumulative, fake_results, frame,  # noqa: F401
                                oracle_factor_returns, random_panel)

FRA = study_bench.FactorReturnAnalysis


def run(factor, returns, periods, ascending=True):
    return FRA().analysis(factor, returns, periods, ascending=ascending).factor_returns


@pytest.mark.parametrize("ascending, sign", [(False, 1.0), (True, -1.0)])
def test_two_instruments_get_half_weights(fake_results, ascending, sign):
    factor = frame([[1.0, 3.0], [1.0, 3.0], [1.0, 3.0]])
    returns = frame([[0.5, 0.5], [0.02, 0.06], [-0.01, 0.03]])
    out = run(factor, returns, [1], ascending=ascending)
    # weights -0.5 / +0.5 (negated when ascending)
    expected_daily = sign * np.array([0.0, 0.5 * 0.06 - 0.5 * 0.02, 0.5 * 0.03 + 0.5 * 0.01])
    np.testing.assert_allclose(daily_from_cumulative(out["P_1"]), expected_daily, rtol=1e-12)


def test_horizon_one_is_weighted_sum_compounded(fake_results):
    rng = np.random.default_rng(1)
    factor = frame(rng.normal(size=(7, 6)))
    returns = frame(rng.normal(scale=0.02, size=(7, 6)))
    out = run(factor, returns, [1], ascending=False)
    prev = factor.shift(1)
    demeaned = prev.sub(prev.mean(axis=1), axis=0)
    weights = demeaned.div(demeaned.abs().sum(axis=1), axis=0)
    np.testing.assert_allclose(weights.abs().sum(axis=1).iloc[1:], 1.0)
    np.testing.assert_allclose(weights.sum(axis=1).iloc[1:], 0.0, atol=1e-15)
    daily = (weights * returns).sum(axis=1)
    np.testing.assert_allclose(out["P_1"], np.cumprod(1 + daily) - 1, rtol=1e-10, atol=1e-15)


def test_constant_returns_earn_nothing(fake_results):
    rng = np.random.default_rng(2)
    factor = frame(rng.normal(size=(9, 8)))
    out = run(factor, frame(np.full((9, 8), 0.013)), [2, 3])
    np.testing.assert_allclose(out.to_numpy(), 0.0, atol=1e-15)


def test_layout_first_date_and_duplicate_horizons(fake_results):
    factor, returns = random_panel(3, n=12, m=5)
    res = FRA().analysis(factor, returns, (1, 5, 1))
    assert set(res.kwargs) == {"factor_returns", "name"}
    assert res.name == "FactorAnalysisStep"
    out = res.factor_returns
    assert list(out.columns) == ["P_1", "P_5"]
    assert out.index.equals(factor.index) and out.index.name == "datetime"
    assert (out.iloc[0] == 0).all()
    assert not out.isna().any().any()


def test_flat_factor_earns_zero(fake_results):
    factor = frame(np.ones((5, 4)))
    factor.iloc[2, 1:] = np.nan  # a single instrument: no spread either
    rng = np.random.default_rng(4)
    out = run(factor, frame(rng.normal(scale=0.02, size=(5, 4))), [1, 2])
    np.testing.assert_array_equal(out.to_numpy(), 0.0)


def test_missing_weight_at_rebalance_is_not_carried_forward(fake_results):
    # Horizon 2: schedule 1 rebalances on rows 1 and 3, schedule 2 on row 2.  C ranks high on
    # row 0 and has no factor on row 2, so schedule 1 must hold nothing of C from row 3 on
    # (exactly the weights row of its latest rebalance, no cell-wise carry of row 1's weight).
    factor = frame([[1.0, 2.0, 9.0], [1.0, 2.0, 9.0], [1.0, 2.0, np.nan], [1.0, 2.0, 9.0]],
                   columns=["A", "B", "C"])
    returns = frame([[0.0] * 3, [0.0] * 3, [0.0] * 3, [0.0, 0.0, 0.2]], columns=["A", "B", "C"])
    out = run(factor, returns, [2], ascending=False)
    # row 3: schedule 1 rebalanced on row 3 with factor row 2 (C missing, A/B -0.5/+0.5): 0;
    # schedule 2 holds factor row 1 (C long) since row 2: C's weight times 0.2.
    prev = np.array([1.0, 2.0, 9.0])
    w_c = (prev - prev.mean())[2] / np.abs(prev - prev.mean()).sum()
    assert daily_from_cumulative(out["P_2"])[3] == pytest.approx(0.5 * w_c * 0.2, rel=1e-12)


def test_missing_return_inside_holding_counts_as_zero(fake_results):
    factor = frame([[1.0, 3.0]] * 4, columns=["A", "B"])
    returns = frame([[0.0, 0.0], [0.0, 0.1], [0.0, np.nan], [0.0, 0.0]], columns=["A", "B"])
    out = run(factor, returns, [1, 2], ascending=False)
    # B carries +0.5: the portfolio gains 5 % on day 1 and nothing after
    np.testing.assert_allclose(out["P_1"], [0, 0.05, 0.05, 0.05], rtol=1e-12)
    np.testing.assert_allclose(daily_from_cumulative(out["P_2"])[2:], 0.0, atol=1e-12)


def test_horizon_beyond_data_contributes_zero(fake_results):
    factor, returns = random_panel(5, n=6, m=5)
    short = run(factor, returns, [5])
    long = run(factor, returns, [12])
    # schedules 6..12 never rebalance and add zeros to the average of schedules 1..5
    np.testing.assert_allclose(daily_from_cumulative(long["P_12"])[1:],
                               daily_from_cumulative(short["P_5"])[1:] * 5 / 12, rtol=1e-9,
                               atol=1e-15)
    huge = run(factor, returns, [10**12, 10**30])
    assert list(huge.columns) == ["P_1000000000000", "P_" + "1" + "0" * 30]
    assert np.abs(huge.to_numpy()).max() < 1e-9


@pytest.mark.parametrize("seed", [0, 1, 2, 3])
@pytest.mark.parametrize("ascending", [True, False])
def test_matches_transcription_on_random_panels(fake_results, seed, ascending):
    factor, returns = random_panel(seed, n=26, m=10, all_nan_rows=(2, 11))
    factor.iloc[7, 1:] = np.nan  # a single instrument: no weights on row 8
    periods = [1, 2, 4, 9, 30]
    out = run(factor, returns, periods, ascending=ascending)
    want = oracle_factor_returns(factor, returns, periods, ascending=ascending)
    pd.testing.assert_frame_equal(out, want, rtol=1e-9, atol=1e-12)


def test_misaligned_return_table(fake_results):
    factor, returns = random_panel(6, n=10, m=5)
    other = returns.iloc[::-1, ::-1].drop(columns=returns.columns[2]).iloc[2:]
    out = run(factor, other, [1, 3])
    want = oracle_factor_returns(factor, other, [1, 3])
    pd.testing.assert_frame_equal(out, want, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("periods", [[0], [-1], [1.5], [None], 2.0])
def test_bad_horizons(fake_results, periods):
    factor, returns = random_panel(7, n=6, m=4)
    with pytest.raises(ValueError):
        run(factor, returns, periods)


def test_bad_tables_and_empty_inputs(fake_results):
    factor, returns = random_panel(8, n=6, m=4)
    with pytest.raises(ValueError, match="factor_data: expect pd.DataFrame"):
        run(factor["000000.XSHE"], returns, [1])
    with pytest.raises(ValueError, match="returns: expect pd.DataFrame"):
        run(factor, None, [1])
    assert run(factor, returns, []).shape == (6, 0)
    empty = factor.iloc[:0]
    assert run(empty, returns, [1, 2]).shape == (0, 2)
    no_columns = factor.iloc[:, :0]
    np.testing.assert_array_equal(run(no_columns, no_columns, [1, 3]).to_numpy(), 0.0)


def test_pipeline_step_and_pickle(fake_results):
    step = FRA()
    assert isinstance(step, study_bench.FactorAnalyser)
    assert ":param factor_data:" in FRA.analysis.__doc__ and "Example" in FRA.__doc__
    assert type(pickle.loads(pickle.dumps(step))) is FRA
    with pytest.raises(TypeError):
        FRA(1)
    bench = study_bench.FactorStudyBench()
    bench.append(("fr", step))
    factor, returns = random_panel(9, n=8, m=5)
    out = bench.analysis(factor, returns, periods=3)
    assert out["fr"].name == "fr"
    want = oracle_factor_returns(factor, returns, [3], ascending=False)
    pd.testing.assert_frame_equal(out["fr"].factor_returns, want, rtol=1e-9, atol=1e-12)


def _portfolio_tables(result):
    return [v for v in vars(result).values() if isinstance(v, pd.DataFrame)]


@pytest.mark.parametrize("step", [FRA(), study_bench.QuantileReturnAnalysis(2)])
def test_return_table_with_repeated_instruments_is_refused(fake_results, step):
    factor, returns = random_panel(8, n=8, m=4)
    repeated = returns.set_axis(list(returns.columns[:-1]) + [returns.columns[0]], axis=1)
    with pytest.raises(ValueError, match="duplicate"):
        step.analysis(factor, repeated, [1])


def test_levels_of_one_analysis_are_not_served_to_the_next(fake_results):
    # The portfolio steps of one pipeline run share the return levels; a later run over the
    # same (since changed) return table must see the change.
    factor, returns = random_panel(9, n=12, m=5)
    bench = study_bench.FactorStudyBench()
    bench.append(("q", study_bench.QuantileReturnAnalysis(2)))
    bench.append(("fr", FRA()))
    bench.analysis(factor, returns, periods=[1, 2])
    returns.iloc[3:, :] = 0.01
    again = bench.analysis(factor, returns, periods=[1, 2])
    for name, step in (("q", study_bench.QuantileReturnAnalysis(2)), ("fr", FRA())):
        alone = step.analysis(factor, returns, [1, 2], ascending=False)
        for got, want in zip(_portfolio_tables(again[name]), _portfolio_tables(alone)):
            pd.testing.assert_frame_equal(got, want)
