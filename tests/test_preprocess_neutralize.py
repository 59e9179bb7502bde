"""Neutralization step of study_bench: constructor rules, exposure assembly,
per-date residuals against statsmodels, and the frame it returns."""
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

from alvora.analysis import study_bench as sb

from _preprocess_helpers import (FakeIndustryLoader, FakeTessal, factor_frame, industry_series,
                                 style_table, transcribe_exposures, transcribe_neutralize)

IDS = [f"{i:06d}.XSHE" for i in range(1, 25)]
STYLES = ["beta", "size", "momentum"]
INDUSTRIES = ["银行", "医药", "电子", "食品饮料"]
NOTHING_TO_DO = ("Do not make any processing because no industry nor style factors nor "
                 "other_factors specify.")


@pytest.fixture
def market(monkeypatch):
    """A factor frame with its style exposures and industries, the client faked."""
    factor = factor_frame(6, IDS, seed=11, nan_fraction=0.1)
    tessal = FakeTessal(style_table(factor.index, IDS, STYLES))
    industry = industry_series(factor.index, IDS, INDUSTRIES, missing_fraction=0.05,
                               dropped=[(factor.index[1], IDS[3]), (factor.index[4], IDS[0])])
    loader = FakeIndustryLoader(industry)
    monkeypatch.setattr(sb, "tessal", tessal)
    monkeypatch.setattr(sb, "_load_industry_data", loader, raising=False)
    return factor, tessal, loader


def user_table(factor, seed, columns=("u1",)):
    rng = np.random.default_rng(seed)
    index = pd.MultiIndex.from_product([factor.index, factor.columns],
                                       names=["datetime", "order_book_id"])
    return pd.DataFrame(rng.standard_normal((len(index), len(columns))), index=index,
                        columns=list(columns))


def assert_residuals(out, expected, tol=1e-8):
    assert out.index.equals(expected.index) and out.columns.equals(expected.columns)
    np.testing.assert_array_equal(out.isna().to_numpy(), expected.isna().to_numpy())
    np.testing.assert_allclose(out.to_numpy(), expected.to_numpy(), rtol=0, atol=tol)


# ---- constructor -------------------------------------------------------------

def test_constructor_defaults_and_stored_settings():
    step = sb.Neutralization()
    assert (step.industry, step.style_neutralize, step.style_factors, step.other_factors) == \
        ("citics_2019", True, None, None)
    step = sb.Neutralization("sws", ["beta"], [1])
    assert (step.industry, step.style_neutralize, step.style_factors, step.other_factors) == \
        ("sws", True, ["beta"], [1])
    step = sb.Neutralization(industry="", style_factors=None, other_factors=[])
    assert step.industry == "" and step.style_neutralize is False and step.style_factors is None
    assert isinstance(step, sb.FactorPreprocessor)


def test_constructor_errors():
    with pytest.raises(ValueError) as err:
        sb.Neutralization(industry=None, style_factors=None, other_factors=None)
    assert str(err.value) == ("Expect at least one of [industry, style_factors, other_factors] "
                              "not None, but get both None.")
    with pytest.raises(ValueError) as err:
        sb.Neutralization(industry="sw")
    assert str(err.value) == "industry: expect one of ('citics_2019', 'sws'), got sw"
    with pytest.raises(ValueError, match="industry: expect one of"):
        sb.Neutralization(industry="SWS", style_factors=None)


def test_nothing_switched_on_warns_and_returns_the_input(market):
    factor, tessal, loader = market
    step = sb.Neutralization(industry=None, style_factors=None, other_factors=[])
    with pytest.warns(UserWarning, match="Do not make any processing") as record:
        assert step.process(factor) is factor
    assert str(record[0].message) == NOTHING_TO_DO
    assert not tessal.calls and not loader.calls


# ---- what is fetched -----------------------------------------------------------

def test_default_step_fetches_all_style_factors_once(market):
    factor, tessal, loader = market
    sb.Neutralization().process(factor)
    assert len(tessal.calls) == 1
    call = tessal.calls[0]
    assert call["order_book_ids"] == IDS and call["factors"] is None
    assert call["start_date"] == factor.index[0] and call["end_date"] == factor.index[-1]
    assert loader.calls == [(IDS, list(factor.index), "citics_2019")]


def test_sws_industry_only_never_asks_for_styles(market):
    factor, tessal, loader = market
    tessal.table = None  # any style request fails
    out = sb.Neutralization(industry="sws", style_factors=None).process(factor)
    assert loader.calls[0][2] == "sws"
    # Industry indicators alone: the residual is the value minus its industry mean.
    industry = loader.series.reindex(pd.MultiIndex.from_product([factor.index, IDS]))
    frame = pd.DataFrame({"x": factor.to_numpy().ravel(), "g": industry.to_numpy()},
                         index=industry.index)
    frame = frame[frame.x.notna() & frame.g.notna()]
    frame["r"] = frame.x - frame.groupby([frame.index.get_level_values(0), "g"]).x \
        .transform("mean")
    expected = frame.r.unstack().reindex(index=factor.index, columns=IDS)
    assert_residuals(out, expected, tol=1e-12)


# ---- residuals against statsmodels ------------------------------------------------

@pytest.mark.parametrize("industry,styles,n_user", [
    (None, "all", 0),           # style only
    (None, None, 2),            # user factors only
    ("citics_2019", ["beta", "momentum"], 1),  # all together
])
def test_residuals_match_statsmodels(market, industry, styles, n_user):
    factor, tessal, loader = market
    users = [user_table(factor, seed=20 + k, columns=(f"u{k}", f"v{k}")) for k in range(n_user)]
    users = [users[0], users[1]["u1"]] if n_user == 2 else users  # a Series too
    step = sb.Neutralization(industry=industry, style_factors=styles, other_factors=users)
    out = step.process(factor)
    style = tessal.table[STYLES if styles == "all" else styles] if styles else None
    exposure = transcribe_exposures(factor, style=style,
                                    industry=loader.series if industry else None, others=users)
    assert_residuals(out, transcribe_neutralize(factor, exposure))


def test_unlisted_and_unclassified_instruments_drop_out(market):
    factor, tessal, loader = market
    out = sb.Neutralization(style_factors=None).process(factor)
    series = loader.series
    assert np.isnan(out.loc[factor.index[1], IDS[3]])      # not listed that day
    assert np.isnan(out.loc[factor.index[4], IDS[0]])
    unclassified = series[series.isna()].index
    assert len(unclassified) > 0
    for date, oid in unclassified:
        assert np.isnan(out.loc[date, oid])
    assert_residuals(out, transcribe_neutralize(
        factor, transcribe_exposures(factor, industry=series)))


def test_all_nan_dates_and_dates_with_nothing_to_fit(market):
    factor, tessal, loader = market
    factor.iloc[2] = np.nan
    # No style exposures at all on the fourth date.
    tessal.table = tessal.table.drop(factor.index[3], level="date")
    out = sb.Neutralization(industry=None).process(factor)
    assert out.iloc[2].isna().all() and out.iloc[3].isna().all()
    assert out.iloc[[0, 1, 4, 5]].notna().any(axis=1).all()


@pytest.mark.parametrize("design", ["duplicate", "zero", "wide"])
def test_rank_deficient_designs_match_statsmodels(market, design):
    factor, tessal, loader = market
    users = user_table(factor, seed=30, columns=("u", "w"))
    if design == "duplicate":
        users["w"] = users["u"]
        frame = factor
    elif design == "zero":
        users["w"] = 0.0
        frame = factor
    else:  # more regressors than instruments with data on a date
        frame = factor.copy()
        frame.iloc[0, 6:] = np.nan
    step = sb.Neutralization(industry="citics_2019", style_factors="all", other_factors=[users])
    out = step.process(frame)
    exposure = transcribe_exposures(frame, style=tessal.table, industry=loader.series,
                                    others=[users])
    assert_residuals(out, transcribe_neutralize(frame, exposure))
    if design == "wide":  # six rows, ten columns: fitted exactly
        np.testing.assert_allclose(out.iloc[0].dropna().to_numpy(), 0.0, atol=1e-10)


def test_random_designs_match_statsmodels(monkeypatch):
    ids = [f"{i:06d}.XSHG" for i in range(300)]
    factor = factor_frame(5, ids, seed=40, nan_fraction=0.05) * 1e3
    styles = [f"s{k}" for k in range(8)]
    tessal = FakeTessal(style_table(factor.index, ids, styles, seed=41, id_first=False))
    industry = industry_series(factor.index, ids, [f"i{k}" for k in range(25)], seed=42)
    monkeypatch.setattr(sb, "tessal", tessal)
    monkeypatch.setattr(sb, "_load_industry_data", FakeIndustryLoader(industry), raising=False)
    out = sb.Neutralization().process(factor)
    exposure = transcribe_exposures(factor, style=tessal.table, industry=industry)
    assert_residuals(out, transcribe_neutralize(factor, exposure), tol=1e-8)


# ---- minute frames -----------------------------------------------------------------

def test_minute_frames_use_the_exposures_of_their_day(market):
    _, tessal, _ = market
    days = tessal.table.index.get_level_values("date").unique()[:2]
    stamps = pd.DatetimeIndex([d + pd.Timedelta(minutes=m) for d in days
                               for m in (570 + 1, 570 + 2, 780 + 1)])
    factor = factor_frame(0, IDS, seed=50, index=stamps)
    out = sb.Neutralization(industry=None, style_factors=["size"]).process(factor)
    exposure = transcribe_exposures(factor, style=tessal.table[["size"]])
    assert_residuals(out, transcribe_neutralize(factor, exposure))
    # The fit of 09:31 on a day uses that day's exposures: regress by hand.
    size = tessal.table["size"].xs(days[1], level="date").reindex(IDS)
    x = factor.iloc[3]
    beta = (x * size).sum() / (size * size).sum()
    np.testing.assert_allclose(out.iloc[3].to_numpy(), (x - beta * size).to_numpy(), atol=1e-12)


def test_unknown_frequency_with_styles(market):
    factor, _, _ = market
    factor.index = factor.index + pd.Timedelta(hours=15)
    with pytest.raises(ValueError, match="Unknown datetime index"):
        sb.Neutralization().process(factor)


# ---- the returned frame (mended) -------------------------------------------------------

def test_returned_frame_keeps_the_input_axes(market):
    factor, tessal, loader = market
    order = [IDS[5], IDS[0], IDS[20], IDS[2]] + IDS[6:12]  # deliberately unsorted
    frame = factor[order].copy()
    frame.index.name = "datetime"
    frame.columns.name = "order_book_id"
    frame[IDS[20]] = np.nan  # never fitted on any date
    before = frame.copy()
    out = sb.Neutralization().process(frame)
    pd.testing.assert_frame_equal(frame, before)
    assert not np.shares_memory(out.to_numpy(), frame.to_numpy())  # the input is only read
    assert out.index.equals(frame.index) and out.index.name == "datetime"
    assert list(out.columns) == order and out.columns.name == "order_book_id"
    assert out[IDS[20]].isna().all()
    assert out.drop(columns=IDS[20]).notna().any().all()


@pytest.mark.parametrize("as_series", [False, True])
def test_bare_table_as_other_factors(market, as_series):
    factor, tessal, loader = market
    table = user_table(factor, seed=60)
    table = table["u1"] if as_series else table
    lone = sb.Neutralization(industry=None, style_factors=None, other_factors=table)
    with pytest.warns(UserWarning) as record:
        assert lone.process(factor) is factor
    assert NOTHING_TO_DO in [str(w.message) for w in record]

    with_industry = sb.Neutralization(style_factors=None, other_factors=table)
    with pytest.warns(UserWarning, match="other_factors: expect a list or tuple"):
        out = with_industry.process(factor)
    pd.testing.assert_frame_equal(out, sb.Neutralization(style_factors=None).process(factor))


# ---- other inputs --------------------------------------------------------------------------

def test_infinite_values_are_left_out(market):
    factor, tessal, loader = market
    users = user_table(factor, seed=70)
    factor.iloc[0, 0] = np.inf
    users.iloc[5, 0] = -np.inf  # date 0, instrument 5
    out = sb.Neutralization(other_factors=[users]).process(factor)
    assert np.isnan(out.iloc[0, 0]) and np.isnan(out.iloc[0, 5])
    clean_factor, clean_users = factor.copy(), users.copy()
    clean_factor.iloc[0, 0] = np.nan
    clean_users.iloc[5, 0] = np.nan
    expected = sb.Neutralization(other_factors=[clean_users]).process(clean_factor)
    pd.testing.assert_frame_equal(out, expected)


def test_bad_inputs_raise_clear_errors(market):
    factor, tessal, loader = market
    step = sb.Neutralization(industry=None)
    with pytest.raises(ValueError, match="factor_data: expect pd.DataFrame"):
        step.process(factor.to_numpy())
    with pytest.raises(ValueError, match="duplicates in columns"):
        step.process(factor[[IDS[0], IDS[1], IDS[0]]])
    with pytest.raises(ValueError, match="expect index type=pd.DatetimeIndex"):
        step.process(factor.reset_index(drop=True))

    table = tessal.table
    tessal.table = pd.concat([table, table.iloc[:1]])
    with pytest.raises(ValueError, match="style factor exposure: duplicate"):
        step.process(factor)
    tessal.get_style_factor_exposure = lambda **kwargs: table.reset_index(level="date")
    with pytest.raises(ValueError, match="'date' and 'order_book_id'"):
        step.process(factor)
    tessal.get_style_factor_exposure = lambda **kwargs: None
    with pytest.raises(ValueError, match="style factor exposure: no data"):
        step.process(factor)

    users_only = sb.Neutralization(industry=None, style_factors=None,
                                   other_factors=[factor])  # not indexed by pairs
    with pytest.raises(ValueError, match=r"other_factors\[0\]: expect"):
        users_only.process(factor)
    text = user_table(factor, seed=1).astype(object)
    text.iloc[0, 0] = "high"
    with pytest.raises(ValueError, match="numeric"):
        sb.Neutralization(industry=None, style_factors=None, other_factors=[text]).process(factor)


def test_user_table_matching_nothing_warns(market):
    factor, tessal, loader = market
    users = user_table(factor, seed=80)
    users.index = users.index.set_levels(users.index.levels[0] + pd.Timedelta(days=400), level=0)
    step = sb.Neutralization(industry=None, style_factors=None, other_factors=[users])
    with pytest.warns(UserWarning, match="no \\(datetime, order_book_id\\) pair matches"):
        out = step.process(factor)
    assert out.isna().all().all()


def test_empty_frames(market):
    factor, tessal, loader = market
    empty = factor.iloc[:0]
    out = sb.Neutralization().process(empty)
    assert out.shape == (0, len(IDS)) and out.columns.equals(factor.columns)
    assert not tessal.calls


# ---- replaced OLS ----------------------------------------------------------------------------

def test_replaced_ols_is_called_per_date(market, monkeypatch):
    factor, tessal, loader = market
    calls = []

    def recording_ols(endog, exog, hasconst=None, missing="none"):
        calls.append((endog.name, list(exog.columns), hasconst, missing))
        return sm.OLS(endog, exog, hasconst=hasconst, missing=missing)

    factor.iloc[2] = np.nan
    native = sb.Neutralization().process(factor)
    monkeypatch.setattr(sb, "OLS", recording_ols)
    called = sb.Neutralization().process(factor)
    assert [c[0] for c in calls] == [d for k, d in enumerate(factor.index) if k != 2]
    assert calls[0][1][:3] == STYLES and calls[0][1][3:] == sorted(INDUSTRIES)
    assert all(c[2] is False and c[3] == "drop" for c in calls)
    assert_residuals(called, native, tol=1e-8)

    class PositionalResiduals:  # residuals without labels cannot be placed
        def __init__(self, endog, exog, **kwargs):
            self.resid = np.zeros(3)

        def fit(self):
            return self

    monkeypatch.setattr(sb, "OLS", PositionalResiduals)
    with pytest.raises(ValueError, match="resid: expect a pd.Series"):
        sb.Neutralization().process(factor)


# ---- classes --------------------------------------------------------------------------------

def test_pickles_by_reference_and_runs_in_a_pipeline(market):
    factor, tessal, loader = market
    assert pickle.loads(pickle.dumps(sb.Neutralization)) is sb.Neutralization
    step = pickle.loads(pickle.dumps(sb.Neutralization("sws", ["size"], [user_table(factor, 1)])))
    assert step.industry == "sws" and step.style_factors == ["size"]
    assert isinstance(step.other_factors[0], pd.DataFrame)

    bench = sb.FactorStudyBench()
    bench.append(("neutral", sb.Neutralization(style_factors=None)))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = bench.analysis(factor, factor * 0.0, periods=1, keep_preprocess_result=True)
    assert_residuals(out["neutral"], sb.Neutralization(style_factors=None).process(factor),
                     tol=0)


# ---- with the module's own industry lookup ---------------------------------------------------

def test_with_the_module_industry_lookup(monkeypatch):
    """Industry history and listings from a fake client, looked up by the
    module's _load_industry_data: a reclassification takes effect on its day,
    an instrument before its listing or before its first record drops out."""
    import types

    import tessal

    ids = ["000001.XSHE", "000002.XSHE", "000003.XSHE", "000004.XSHE", "000005.XSHE",
           "000006.XSHE"]
    dates = pd.bdate_range("2021-01-04", periods=4)
    factor = factor_frame(0, ids, seed=90, index=dates)
    history = pd.Series(
        ["银行", "银行", "医药", "医药", "电子", "电子", "银行"],
        index=pd.MultiIndex.from_tuples(
            [("000001.XSHE", pd.Timestamp("2015-01-01")),
             ("000002.XSHE", pd.Timestamp("2015-01-01")),
             ("000003.XSHE", pd.Timestamp("2015-01-01")),
             ("000004.XSHE", pd.Timestamp("2015-01-01")),
             ("000005.XSHE", pd.Timestamp("2015-01-01")),
             ("000005.XSHE", dates[2]),              # reclassified on the third date
             ("000006.XSHE", dates[1])],             # no record before the second date
            names=["order_book_id", "start_date"]),
        name="first_industry_name")
    history.iloc[5] = "医药"
    listing = pd.DataFrame({"order_book_id": ids,
                            "listed_date": ["2010-01-04"] * 3 + [str(dates[1].date())]
                            + ["2010-01-04"] * 2,
                            "de_listed_date": ["0000-00-00"] * 6})
    fake = types.SimpleNamespace(all_instruments=lambda kind, **kw: listing, utils=tessal.utils,
                                 get_style_factor_exposure=None)
    monkeypatch.setattr(sb, "tessal", fake)
    monkeypatch.setattr(sb, "_cache_industry_data", lambda source="citics_2019": history)

    out = sb.Neutralization(style_factors=None).process(factor)
    groups = {  # industry of every instrument on each date, None = left out
        0: ["银行", "银行", "医药", None, "电子", None],
        1: ["银行", "银行", "医药", "医药", "电子", "银行"],
        2: ["银行", "银行", "医药", "医药", "医药", "银行"],
        3: ["银行", "银行", "医药", "医药", "医药", "银行"],
    }
    for d, labels in groups.items():
        x = factor.iloc[d]
        frame = pd.DataFrame({"x": x, "g": labels}).dropna()
        expected = (frame.x - frame.groupby("g").x.transform("mean")).reindex(ids)
        np.testing.assert_allclose(out.iloc[d].to_numpy(), expected.to_numpy(), atol=1e-12)


@pytest.mark.parametrize("source", ["citics_2019", "sws"])
def test_minute_frames_take_the_industry_and_listing_of_their_day(source):
    import tessal

    tessal.init(None)  # the embedded market, real industry records and listings
    ids = sorted(tessal.all_instruments("CS")["order_book_id"][:30])
    days = pd.DatetimeIndex(tessal.get_trading_dates("2020-03-02", "2020-03-04"))
    stamps = pd.DatetimeIndex([d + pd.Timedelta(minutes=570 + m) for d in days
                               for m in (1, 2, 3)])
    values = np.random.default_rng(3).standard_normal((len(days), len(ids)))
    minutes = pd.DataFrame(np.repeat(values, 3, axis=0), index=stamps, columns=ids)
    daily = pd.DataFrame(values, index=days, columns=ids)
    out = sb.Neutralization(source, None).process(minutes)
    expected = sb.Neutralization(source, None).process(daily)
    assert out.notna().to_numpy().sum() > 0.8 * out.size
    np.testing.assert_allclose(out.to_numpy(), np.repeat(expected.to_numpy(), 3, axis=0),
                               atol=1e-12)
    returns = minutes * 0 + np.random.default_rng(4).normal(0, 0.01, minutes.shape)
    breakdown = sb.ICAnalysis(True, source, None).analysis(minutes, returns, [1])
    assert len(breakdown.ic_industry_distribute) >= 3
    assert breakdown.ic_industry_distribute["P_1"].notna().sum() >= 3
    by_minute = sb._load_industry_data(ids, list(stamps), source=source)
    by_day = sb._load_industry_data(ids, list(days), source=source)
    assert list(by_minute.to_numpy()) == list(np.repeat(
        by_day.to_numpy().reshape(len(days), -1), 3, axis=0).ravel())
