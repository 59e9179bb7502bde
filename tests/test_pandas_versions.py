"""Behaviours pandas changed between 1.5 and 3.x, pinned on inputs where the versions differ.

Every case passes identically with pandas 1.5, 2.x and 3.x (scripts/test_environments.sh):
padding of missing prices before returns, missing and categorical industry labels (only
the industries present make groups), ids of object or string dtype, no writes into the
caller's frames (copy-on-write), and missing text in a bundle's instrument table.
"""
import warnings

import numpy as np
import pandas as pd
import pytest

from alvora.analysis import study_bench as sb
from tessal.bundle import BundleWriter
from _study_helpers import make_panels, reference_format, reference_industry_ic, replaced

PANDAS = tuple(int(p) for p in pd.__version__.split(".")[:2])


@pytest.fixture(autouse=True)
def strict_pandas():
    """Deprecations are errors; pandas 2.2-2.x also warns where copy-on-write would
    change a result (chained assignment, writes through views)."""
    with warnings.catch_warnings():
        warnings.simplefilter("error", FutureWarning)
        warnings.simplefilter("error", DeprecationWarning)
        if (2, 2) <= PANDAS < (3, 0):
            with pd.option_context("mode.copy_on_write", "warn"):
                yield
        else:
            yield


class _Plain:
    def __init__(self, **kwargs):
        self.__dict__.update(kwargs)


def _study(factor, returns, periods=(1, 3), ascending=False, industry=None):
    bench = sb.FactorStudyBench()
    bench.append(("winsorize", sb.Winzorization("mad")))
    bench.append(("normalize", sb.Normalization()))
    bench.append(("ic", sb.ICAnalysis(rank_ic=True, industry_classification=industry)))
    bench.append(("quantile", sb.QuantileReturnAnalysis(3)))
    bench.append(("factor_return", sb.FactorReturnAnalysis()))
    with replaced(sb, ICAnalysisResult=_Plain, QuantileReturnAnalysisResult=_Plain,
                  FactorReturnAnalysisResult=_Plain):
        return bench.analysis(factor, returns, ascending=ascending, periods=list(periods),
                              keep_preprocess_result=True)


# ---- missing prices: padded before the return, never a version's default fill -----------

class _IndexClient:
    def __init__(self, closes, dates):
        self.prices = pd.DataFrame({"close": closes}, index=pd.MultiIndex.from_product(
            [["000300.XSHG"], dates], names=["order_book_id", "date"]))

    def instruments(self, order_book_id):
        return type("Instrument", (), {"type": "INDX"})()

    def get_price(self, *args, **kwargs):
        return self.prices


@pytest.mark.parametrize("closes, expected", [
    # a missing close: flat that day, the next return from the last close
    ([100.0, np.nan, 110.0, 99.0], [0.0, 0.0, 0.1, -0.1]),
    # missing first closes: no return until the first close
    ([np.nan, np.nan, 100.0, 120.0], [0.0, 0.0, 0.0, 0.2]),
])
def test_benchmark_pads_missing_closes(closes, expected):
    dates = pd.bdate_range("2021-01-04", periods=4)
    with replaced(sb, tessal=_IndexClient(closes, dates)):
        series = sb.QuantileReturnAnalysis(3, "000300.XSHG")._load_benchmark_series(dates)
    levels = 1 + series  # the series is cumulative
    daily = levels / levels.shift(1, fill_value=1.0) - 1
    np.testing.assert_allclose(daily.to_numpy(), expected, atol=1e-12)


# ---- industry labels: missing ones, categories, observed groups only ----------------------

def _labels(ids):
    names = ["Tech" if k % 3 else "Banks" for k in range(len(ids))]
    names[1] = None  # no industry: grouped as "Unknown"
    return names


@pytest.mark.parametrize("form", ["dict", "series", "categorical", "categorical-unused",
                                  "empty dict"])
def test_industry_labels_in_any_form_group_alike(form):
    factor, returns = make_panels(14, 12, seed=5)
    ids = list(factor.columns)
    names = [None] * len(ids) if form == "empty dict" else _labels(ids)
    given = {
        "empty dict": {},  # everyone "Unknown"
        "dict": dict(zip(ids, names)),
        "series": pd.Series(names, index=ids, dtype=object),
        "categorical": pd.Series(names, index=ids, dtype="category"),
        # an industry nobody belongs to, listed first: still no group of its own
        "categorical-unused": pd.Series(pd.Categorical(
            names, categories=["Energy", "Tech", "Banks"]), index=ids),
    }[form]
    result = _study(factor, returns, industry=given)["ic"].ic_industry_distribute

    table = reference_format(sb.Normalization().process(
        sb.Winzorization("mad").process(factor)), returns, [1, 3])
    plain = pd.Series(names, index=ids, dtype=object).fillna("Unknown")
    industry = pd.Series(plain[table.index.get_level_values("order_book_id")].to_numpy(),
                         index=table.index)
    expected = reference_industry_ic(table, industry, rank_ic=True)
    assert list(result.index) == (["Unknown"] if form == "empty dict"
                                  else ["Banks", "Tech", "Unknown"])
    np.testing.assert_allclose(result.to_numpy(), expected.to_numpy(), rtol=1e-9)


# ---- ids of object or string dtype -------------------------------------------------------

@pytest.mark.parametrize("factor_ids, return_ids", [
    ("object", "string"), ("string", "object"), ("string", "string")])
def test_ids_of_either_text_dtype_give_the_same_study(factor_ids, return_ids):
    factor, returns = make_panels(16, 9, seed=7)
    industry = dict(zip(factor.columns, ["A", "B", "C"] * 3))
    base = _study(factor.set_axis(factor.columns.astype(object), axis=1),
                  returns.set_axis(returns.columns.astype(object), axis=1), industry=industry)
    other = _study(factor.set_axis(factor.columns.astype(factor_ids), axis=1),
                   returns.set_axis(returns.columns.astype(return_ids), axis=1),
                   industry=industry)
    for frame_a, frame_b in [
            (base["winsorize"], other["winsorize"]), (base["normalize"], other["normalize"]),
            (base["ic"].ic, other["ic"].ic),
            (base["ic"].ic_industry_distribute, other["ic"].ic_industry_distribute),
            (base["quantile"].quantile_returns, other["quantile"].quantile_returns),
            (base["factor_return"].factor_returns, other["factor_return"].factor_returns)]:
        np.testing.assert_array_equal(frame_a.to_numpy(), frame_b.to_numpy())
        assert list(frame_a.index) == list(frame_b.index)
        assert list(frame_a.columns) == list(frame_b.columns)
    # Labels the study makes have the running pandas' own text dtype (object before 3,
    # str from 3 on), so they compare equal to labels a user builds from a list.
    text = pd.Index(["x"]).dtype
    assert other["ic"].ic.columns.dtype == text
    assert other["quantile"].quantile_returns.index.levels[0].dtype == text


# ---- copy-on-write: the caller's frames are never written -----------------------------

@pytest.mark.parametrize("dtype", ["float64", "float32", "int64"])
def test_study_leaves_its_inputs_alone(dtype):
    factor, returns = make_panels(12, 8, seed=3, nan_fraction=0.0 if dtype == "int64" else 0.1)
    factor = (factor * 100).astype(dtype)
    factor_before, returns_before = factor.copy(deep=True), returns.copy(deep=True)
    up = _study(factor, returns, ascending=True)
    down = _study(factor, returns, ascending=False)
    # (the study names the caller's axes "datetime" and "order_book_id"; values stay)
    pd.testing.assert_frame_equal(factor, factor_before, check_names=False)
    pd.testing.assert_frame_equal(returns, returns_before, check_names=False)
    # ascending only flips the rank IC's sign, on a table of the study's own
    np.testing.assert_allclose(up["ic"].ic.to_numpy(), -down["ic"].ic.to_numpy(), rtol=1e-12)


# ---- missing text in an instrument table -------------------------------------------------

@pytest.mark.parametrize("column, missing", [("symbol", np.nan), ("de_listed_date", None)])
def test_instrument_table_with_missing_text_is_refused(tmp_path, column, missing):
    table = pd.DataFrame({"order_book_id": ["600000.XSHG", "600004.XSHG"], "symbol": ["A", "B"],
                          "type": ["CS", "CS"], "listed_date": ["2000-01-04"] * 2,
                          "de_listed_date": ["0000-00-00"] * 2}, dtype=object)
    table.loc[1, column] = missing
    with pytest.raises(ValueError, match=r"instrument table has missing values in \['{}'\]"
                       .format(column)):
        with BundleWriter(tmp_path / "bundle") as writer:
            writer.set_instruments(table)
    assert list(tmp_path.iterdir()) == []  # nothing written
