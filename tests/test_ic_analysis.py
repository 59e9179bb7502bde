"""ICAnalysis and _get_ic_func: coefficients and p-values against scipy, decay, industries."""
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from alvora.analysis import study_bench as sb

from _study_helpers import (FakeTessal, instrument_table, make_ids, make_panels, reference_decay,
                            reference_format, reference_ic, reference_industry_ic, replaced)


class Result:
    def __init__(self, **kwargs):
        assert set(kwargs) == {"ic", "ic_p_value", "ic_decay", "ic_industry_distribute", "name"}
        self.__dict__.update(kwargs)


@pytest.fixture(autouse=True)
def plain_result():
    with replaced(sb, ICAnalysisResult=Result):
        yield


def run(step, factor, returns, periods=(1, 5), ascending=False):
    return step.analysis(factor, returns, list(periods), ascending=ascending)


# ---- constructor and correlation function ------------------------------------------------

def test_constructor_validation_and_attributes():
    with pytest.raises(ValueError) as info:
        sb.ICAnalysis(True, ["sws"])
    assert str(info.value) == ("Unsupported industry_classification type, expect one of "
                               "None/str/pd.Series/dict, got type=<class 'list'>")
    with pytest.raises(ValueError) as info:
        sb.ICAnalysis(industry_classification="SWS")
    assert str(info.value) == ("industry_classification: expect one of ('citics_2019', 'sws'), "
                               "got SWS")
    for industry in ("citics_2019", "sws", {"a": "x"}, pd.Series({"a": "x"}), None):
        step = sb.ICAnalysis(0, industry, 4)
        assert step.industry is industry and step.rank_ic == 0 and step.max_decay == 4
    step = sb.ICAnalysis()
    assert step.rank_ic is True and step.industry is None and step.max_decay is None
    assert isinstance(step, sb.FactorAnalyser) and step.step_name == "FactorAnalysisStep"
    assert step.ic_func.func is stats.spearmanr
    assert sb.ICAnalysis(rank_ic=False).ic_func.func is stats.pearsonr


def test_correlation_function_masks_nans_and_needs_two_pairs():
    wrapper = sb._get_ic_func(rank_ic=True)
    x = pd.Series([1.0, np.nan, 3.0, 2.0, 5.0])
    y = pd.Series([2.0, 1.0, np.nan, 1.0, 4.0])
    expected = stats.spearmanr([1.0, 2.0, 5.0], [2.0, 1.0, 4.0])
    assert tuple(wrapper(x, y)) == pytest.approx(tuple(expected))
    assert wrapper(pd.Series([1.0, np.nan]), pd.Series([1.0, 2.0])) == (0, 0)
    assert sb._get_ic_func()(x, y)[0] == pytest.approx(stats.pearsonr([1, 2, 5], [2, 1, 4])[0])


# ---- per-date IC ---------------------------------------------------------------------------

@pytest.mark.parametrize("rank_ic", [True, False])
@pytest.mark.parametrize("ties", [False, True])
def test_ic_and_p_values_match_scipy(rank_ic, ties):
    factor, returns = make_panels(25, 40, seed=7, nan_fraction=0.2, ties=ties)
    result = run(sb.ICAnalysis(rank_ic=rank_ic), factor, returns)
    ic, p_value = reference_ic(reference_format(factor, returns, [1, 5]), rank_ic)
    pd.testing.assert_frame_equal(result.ic, ic, rtol=1e-9, atol=0)
    pd.testing.assert_frame_equal(result.ic_p_value, p_value, rtol=1e-9, atol=1e-300)
    assert result.ic.index.name == "datetime" and list(result.ic.columns) == ["P_1", "P_5"]
    assert result.ic.dtypes.eq(np.float64).all()
    assert result.ic_decay is None and result.ic_industry_distribute is None


def test_large_cross_section_p_values():
    factor, returns = make_panels(3, 3000, seed=11, nan_fraction=0.05)
    for rank_ic in (True, False):
        result = run(sb.ICAnalysis(rank_ic=rank_ic), factor, returns, periods=(1,))
        ic, p_value = reference_ic(reference_format(factor, returns, [1]), rank_ic)
        np.testing.assert_allclose(result.ic.values, ic.values, rtol=1e-9)
        np.testing.assert_allclose(result.ic_p_value.values, p_value.values, rtol=1e-9)


def test_sign_flip_only_for_rank_ic_with_ascending():
    dates = pd.bdate_range("2022-01-03", periods=4)
    ids = make_ids(5)
    factor = pd.DataFrame(np.tile(np.arange(5.0), (4, 1)), index=dates, columns=ids)
    # Smaller factor values precede higher returns.
    returns = pd.DataFrame(np.tile(-np.arange(5.0) / 100, (4, 1)), index=dates, columns=ids)
    rank = run(sb.ICAnalysis(rank_ic=True), factor, returns, (1,), ascending=True)
    assert (rank.ic["P_1"].iloc[:3] > 0.99).all()
    assert (rank.ic_p_value["P_1"].iloc[:3] < 1e-20).all()
    pearson = run(sb.ICAnalysis(rank_ic=False), factor, returns, (1,), ascending=True)
    assert (pearson.ic["P_1"].iloc[:3] < -0.99).all()
    descending = run(sb.ICAnalysis(rank_ic=True), factor, returns, (1,), ascending=False)
    assert (descending.ic["P_1"].iloc[:3] < -0.99).all()
    # The caller's frame is not flipped.
    assert factor.iloc[0, 1] == 1.0


def test_fewer_than_two_pairs_give_zero_and_constant_input_gives_nan():
    factor, returns = make_panels(4, 3, nan_fraction=0.0)
    factor.iloc[0, 1:] = np.nan  # one usable pair on the first date
    factor.iloc[1, :] = 1.0  # constant factor on the second date
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = run(sb.ICAnalysis(rank_ic=True), factor, returns, (1,))
    assert result.ic.iloc[0, 0] == 0 and result.ic_p_value.iloc[0, 0] == 0
    assert np.isnan(result.ic.iloc[1, 0]) and np.isnan(result.ic_p_value.iloc[1, 0])
    assert any(issubclass(w.category, stats.ConstantInputWarning) for w in caught)
    # Last date: the return table ends there, no forward return.
    assert result.ic.iloc[-1, 0] == 0


def test_two_pairs_follow_scipy_special_cases():
    dates = pd.bdate_range("2022-01-03", periods=2)
    factor = pd.DataFrame([[1.0, 2.0], [1.0, 2.0]], index=dates, columns=["A", "B"])
    returns = pd.DataFrame([[0.0, 0.0], [0.01, 0.02]], index=dates, columns=["A", "B"])
    pearson = run(sb.ICAnalysis(rank_ic=False), factor, returns, (1,))
    assert pearson.ic.iloc[0, 0] == 1.0 and pearson.ic_p_value.iloc[0, 0] == 1.0
    spearman = run(sb.ICAnalysis(rank_ic=True), factor, returns, (1,))
    assert spearman.ic.iloc[0, 0] == pytest.approx(1.0) and np.isnan(spearman.ic_p_value.iloc[0, 0])


def test_result_receives_step_name_through_the_pipeline():
    factor, returns = make_panels(6, 4)
    bench = sb.FactorStudyBench()
    bench.append(("my_ic", sb.ICAnalysis()))
    out = bench.analysis(factor, returns, periods=2)
    assert out["my_ic"].name == "my_ic"
    assert list(out["my_ic"].ic.columns) == ["P_2"]


def test_replaced_stats_is_called_through():
    calls = []

    class FakeStats:
        @staticmethod
        def spearmanr(x, y):
            calls.append((list(x), list(y)))
            return (0.5, 0.25)

        pearsonr = spearmanr

    factor, returns = make_panels(5, 3, nan_fraction=0.0)
    with replaced(sb, stats=FakeStats):
        step = sb.ICAnalysis(rank_ic=True, industry_classification={}, max_decay=2)
        result = run(step, factor, returns, (1,))
    assert (result.ic.iloc[:-1] == 0.5).all().all() and (result.ic_p_value.iloc[:-1] == 0.25).all().all()
    assert (result.ic_decay.xs(1, level="decay") == 0.5).all().all()
    assert result.ic_industry_distribute.loc["Unknown", "P_1"] == 0.5
    table = reference_format(factor, returns, [1])
    first = table.xs(factor.index[0], level="datetime")
    assert calls[0] == (list(first["P_1"]), list(first["factor"]))


@pytest.mark.parametrize("rank_ic", [False, True])
def test_replacing_stats_after_construction_keeps_results(rank_ic):
    # The native decay's lags come as one frame; the scipy path joins one frame per lag.
    factor, returns = make_panels(8, 10, seed=5, nan_fraction=0.2)
    step = sb.ICAnalysis(rank_ic=rank_ic, max_decay=3)
    native = run(step, factor, returns)
    with replaced(sb, stats=stats):  # same object: still native
        pass

    class Wrapped:
        spearmanr = staticmethod(stats.spearmanr)
        pearsonr = staticmethod(stats.pearsonr)
        ConstantInputWarning = stats.ConstantInputWarning
        NearConstantInputWarning = stats.NearConstantInputWarning

    with replaced(sb, stats=Wrapped):
        through = run(step, factor, returns)
    pd.testing.assert_frame_equal(native.ic, through.ic, rtol=1e-9)
    pd.testing.assert_frame_equal(native.ic_p_value, through.ic_p_value, rtol=1e-9)
    pd.testing.assert_frame_equal(native.ic_decay, through.ic_decay, rtol=1e-9)
    for ours, theirs in zip(native.ic_decay.index.levels, through.ic_decay.index.levels):
        assert ours.equals(theirs) and ours.dtype == theirs.dtype
        assert getattr(ours, "freq", None) == getattr(theirs, "freq", None)


# ---- decay -------------------------------------------------------------------------------

def test_decay_off_and_single_lag():
    factor, returns = make_panels(6, 5)
    for max_decay in (None, 0):
        assert run(sb.ICAnalysis(max_decay=max_decay), factor, returns).ic_decay is None
    result = run(sb.ICAnalysis(max_decay=1), factor, returns)
    assert result.ic_decay.index.names == ["datetime", "decay"]
    pd.testing.assert_frame_equal(result.ic_decay.droplevel("decay"), result.ic, check_freq=False)


@pytest.mark.parametrize("rank_ic", [True, False])
def test_decay_matches_transcription(rank_ic):
    factor, returns = make_panels(20, 15, seed=2, nan_fraction=0.3, ties=True)
    result = run(sb.ICAnalysis(rank_ic=rank_ic, max_decay=4), factor, returns)
    table = reference_format(factor, returns, [1, 5])
    ic, _ = reference_ic(table, rank_ic)
    expected = reference_decay(table, ic, 4, rank_ic)
    pd.testing.assert_frame_equal(result.ic_decay, expected, rtol=1e-9)
    assert sorted(result.ic_decay.index.get_level_values("decay").unique()) == [0, 1, 2, 3]
    assert result.ic_decay.index.get_level_values("decay").dtype == np.int64
    assert result.ic_decay.index.is_monotonic_increasing


@pytest.mark.parametrize("ties", [False, True])
def test_decay_from_the_shared_date_walk_equals_the_decay_step_alone(ties):
    # Wide enough for the radix sort; without ties the ranks take the running-count path.
    factor, returns = make_panels(30, 150, seed=4, nan_fraction=0.1, ties=ties)
    step = sb.ICAnalysis(rank_ic=True, max_decay=5)
    result = run(step, factor, returns)
    table = sb._format_factor_data(factor, returns, [1, 5])
    ic, _ = step._calc_ic(table)
    pd.testing.assert_frame_equal(result.ic, ic)
    pd.testing.assert_frame_equal(result.ic_decay, step._calc_ic_decay(table, ic))
    expected = reference_decay(reference_format(factor, returns, [1, 5]), ic, 5, True)
    pd.testing.assert_frame_equal(result.ic_decay, expected, rtol=1e-9)


@pytest.mark.parametrize("order", ["last date reversed", "instruments swapped", "shuffled"])
def test_ic_of_a_reordered_table_equals_the_product_table(order):
    # Rows out of date-major product order are placed through the row map, not read as a
    # product: each must land on its own (date, instrument) cell.
    factor, returns = make_panels(6, 9, seed=12, nan_fraction=0.1)
    step = sb.ICAnalysis(rank_ic=True)
    table = sb._format_factor_data(factor, returns, [1, 5])
    rows = np.arange(len(table))
    if order == "last date reversed":
        rows[-9:] = rows[-9:][::-1]
    elif order == "instruments swapped":
        rows[[0, 1]] = rows[[1, 0]]
    else:
        rows = np.random.default_rng(5).permutation(rows)
    expected_ic, expected_p = step._calc_ic(table)
    ic, p_value = step._calc_ic(table.iloc[rows])
    pd.testing.assert_frame_equal(ic, expected_ic)
    pd.testing.assert_frame_equal(p_value, expected_p)


def test_decay_common_rows_rule():
    factor, returns = make_panels(6, 5, seed=8, nan_fraction=0.0)
    factor.iloc[1, 0] = np.nan
    result = run(sb.ICAnalysis(rank_ic=True, max_decay=3), factor, returns, (1, 2))
    dates = factor.index
    lag0 = result.ic_decay.xs(0, level="decay")
    pd.testing.assert_frame_equal(lag0, result.ic, check_freq=False)
    # Lag 0 keeps P_1 on the date whose 2-day return is missing for every instrument ...
    assert result.ic.loc[dates[4], "P_2"] == 0 and result.ic.loc[dates[4], "P_1"] != 0
    # ... while lag d drops a row when any horizon is missing: the 2-day return of date
    # t + 1 exists only up to date 3, so lag 1 has dates 0..2 and lag 2 dates 0..1.
    lags = result.ic_decay.index.get_level_values("decay")
    stamps = result.ic_decay.index.get_level_values("datetime")
    assert list(stamps[lags == 1]) == list(dates[:3])
    assert list(stamps[lags == 2]) == list(dates[:2])
    # Lag 1 of date 0 pairs date 0's factor with date 1's returns.
    table = reference_format(factor, returns, [1, 2])
    f0 = table.xs(dates[0], level="datetime")["factor"]
    r1 = table.xs(dates[1], level="datetime")["P_1"]
    expected = stats.spearmanr(r1.values, f0.values)[0]
    assert result.ic_decay.loc[(dates[0], 1), "P_1"] == pytest.approx(expected, rel=1e-12)
    ic, _ = reference_ic(table, True)
    pd.testing.assert_frame_equal(result.ic_decay, reference_decay(table, ic, 3, True),
                                  rtol=1e-9)


def test_huge_decay_is_bounded_by_the_dates():
    factor, returns = make_panels(5, 4)
    result = run(sb.ICAnalysis(max_decay=10**9), factor, returns)
    assert result.ic_decay.index.get_level_values("decay").max() <= 4


# ---- industry distribution ------------------------------------------------------------------

def test_industry_from_dict_and_series():
    factor, returns = make_panels(15, 12, seed=4)
    ids = list(factor.columns)
    mapping = {i: ("Tech" if k % 2 else "Banks") for k, i in enumerate(ids[:-1])}
    result = run(sb.ICAnalysis(industry_classification=mapping), factor, returns)
    table = reference_format(factor, returns, [1, 5])
    names = pd.Series(mapping).reindex(ids).fillna("Unknown")
    industry = pd.Series(names[table.index.get_level_values("order_book_id")].values,
                         index=table.index)
    expected = reference_industry_ic(table, industry, rank_ic=True)
    pd.testing.assert_frame_equal(result.ic_industry_distribute, expected, rtol=1e-9)
    assert list(result.ic_industry_distribute.index) == ["Banks", "Tech", "Unknown"]
    as_series = run(sb.ICAnalysis(industry_classification=pd.Series(mapping)), factor, returns)
    pd.testing.assert_frame_equal(as_series.ic_industry_distribute, expected, rtol=1e-9)


def test_industry_from_client_source():
    factor, returns = make_panels(10, 6, seed=9, start="2020-01-01")
    ids = list(factor.columns)
    records = [("Banks" if k < 3 else "Tech", i, pd.Timestamp("2015-01-05"))
               for k, i in enumerate(ids[:-1])]
    records.append(("Energy", ids[0], factor.index[5]))
    listing = instrument_table([(i, "2010-01-01", "0000-00-00") for i in ids[:-1]]
                               + [(ids[-1], "2020-01-08", "0000-00-00")])
    fake = FakeTessal(instruments=listing, zx_records=records)
    sb._cache_industry_data.cache_clear()
    try:
        with replaced(sb, tessal=fake):
            result = run(sb.ICAnalysis(industry_classification="citics_2019"), factor, returns)
            industry = sb._load_industry_data(ids, list(factor.index), source="citics_2019")
    finally:
        sb._cache_industry_data.cache_clear()
    table = reference_format(factor, returns, [1, 5])
    expected = reference_industry_ic(table, industry, rank_ic=True)
    pd.testing.assert_frame_equal(result.ic_industry_distribute, expected, rtol=1e-9)
    assert list(result.ic_industry_distribute.index) == ["Banks", "Energy", "Tech"]


@pytest.mark.parametrize("shape", ["product", "shuffled", "missing id"])
def test_industry_request_asks_for_the_labels_in_order_of_appearance(shape):
    ids = ["600000.XSHG", "000002.XSHE", "000001.XSHE"]
    dates = pd.bdate_range("2021-03-01", periods=4)
    index = pd.MultiIndex.from_product([dates, ids], names=["datetime", "order_book_id"])
    if shape == "shuffled":
        index = index[np.random.default_rng(2).permutation(len(index))]
    elif shape == "missing id":
        index = pd.MultiIndex.from_arrays([index.get_level_values(0),
                                           [None if k == 5 else i for k, i in
                                            enumerate(index.get_level_values(1))]],
                                          names=index.names)
    table = pd.DataFrame({"P_1": 0.0, "factor": 1.0}, index=index)
    calls = []

    def loader(order_book_ids, dates, source="citics_2019"):
        calls.append((order_book_ids, dates))
        return pd.Series("Banks", index=table.index)

    with replaced(sb, _load_industry_data=loader):
        sb.ICAnalysis(industry_classification="citics_2019")._get_industry_data(table)
    (got_ids, got_dates), = calls
    pd.testing.assert_index_equal(got_ids, index.unique(level="order_book_id"))
    pd.testing.assert_index_equal(got_dates, index.unique(level="datetime"))


def test_no_industry_request_without_classification():
    factor, returns = make_panels(5, 3)

    class NoClient:
        def __getattr__(self, name):
            raise AssertionError("unexpected client call " + name)

    with replaced(sb, tessal=NoClient()):
        assert run(sb.ICAnalysis(), factor, returns).ic_industry_distribute is None


def test_replaced_industry_attribute_is_refused():
    factor, returns = make_panels(5, 3)
    step = sb.ICAnalysis(industry_classification={})
    step.industry = 3
    with pytest.raises(RuntimeError) as info:
        run(step, factor, returns)
    assert str(info.value) == "Invalid industry type, expect str/dict/pd.Series, go <class 'int'> "
