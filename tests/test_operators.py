"""The operators of alvora.operators against pandas transcriptions, executed
over the embedded market (suspension days skipped as the engine skips them)."""
import numpy as np
import pandas as pd
import pytest

import tessal
from alvora import operators as op
from alvora.engine_v2.eval_core import execute_factor
from alvora.expression import parse_factor
from alvora.leaf import close, high, low, volume
from alvora.operators import kernels

START, END = "2023-03-01", "2023-06-30"
FIELDS = ("open", "high", "low", "close", "volume", "total_turnover")


@pytest.fixture(scope="module")
def ids():
    return list(tessal.all_instruments("CS").order_book_id[:40])


@pytest.fixture(scope="module")
def panels(ids):
    """Field panels over a year before END, NaN on the days an instrument did
    not trade (the engine's invalid rows)."""
    first = tessal.trading_date_offset(pd.Timestamp(START), -150)
    raw = {f: tessal.get_panel(f, ids, first, END).astype(float) for f in FIELDS}
    traded = raw["close"].notna() & (raw["volume"] > 0)
    assert (~traded).to_numpy().any(), "the market should hold suspension days"
    return {f: frame.where(traded) for f, frame in raw.items()}


def per_instrument(panels, transcription, shift):
    """Apply ``transcription`` (DataFrame of fields on valid rows -> Series) per
    instrument, on its valid rows from the look-back's first date on, and put
    the results back on the grid."""
    first = tessal.trading_date_offset(pd.Timestamp(START), -shift) if shift else START
    panels = {f: frame.loc[first:] for f, frame in panels.items()}
    out = pd.DataFrame(np.nan, index=panels["close"].index, columns=panels["close"].columns)
    for oid in out.columns:
        frame = pd.DataFrame({f: panels[f][oid] for f in FIELDS}).dropna(subset=["close"])
        out.loc[frame.index, oid] = np.asarray(transcription(frame), dtype=float)
    return out.loc[START:END]


def industry_frame(frame, source):
    from alvora.analysis.study_bench import _load_industry_data

    series = _load_industry_data(list(frame.columns), list(frame.index), source=source)
    return series.unstack("order_book_id").reindex(index=frame.index, columns=frame.columns)


TIME_SERIES = [
    ("DELAY(close, 3)", lambda d: d.close.shift(3)),
    ("DELAY(close, 0)", lambda d: d.close),
    ("DELTA(close, 2)", lambda d: d.close.diff(2)),
    ("RETURNS", lambda d: d.close / d.close.shift(1) - 1),
    ("VWAP", lambda d: d.total_turnover / d.volume),
    ("ABS(close - open)", lambda d: (d.close - d.open).abs()),
    ("SIGN(DELTA(close, 1))", lambda d: np.sign(d.close.diff())),
    ("LOG(volume)", lambda d: np.log(d.volume)),
    ("SIGNED_POWER(RETURNS, 0.5)", lambda d: np.sign(d.close.pct_change())
     * d.close.pct_change().abs() ** 0.5),
    ("IF(close > open, high, DELAY(low, 1))",
     lambda d: pd.Series(np.where(d.close > d.open, d.high, d.low.shift(1)), index=d.index)
     .where(d.low.shift(1).notna() | (d.close > d.open))),
    ("MIN(open, DELAY(close, 1))", lambda d: np.minimum(d.open, d.close.shift(1))),
    ("MAX(high, VWAP) - 1", lambda d: np.maximum(d.high, d.total_turnover / d.volume) - 1),
    ("DECAY_LINEAR(RETURNS, 4.7)",  # floored to 4
     lambda d: d.close.pct_change().rolling(4).apply(
         lambda w: np.dot(w, np.arange(1, 5)) / 10, raw=True)),
]


@pytest.mark.parametrize("text, transcription", TIME_SERIES, ids=[t[0] for t in TIME_SERIES])
def test_time_series_and_elementwise(ids, panels, text, transcription):
    node = parse_factor(text)
    got = execute_factor(node, ids, START, END)
    want = per_instrument(panels, transcription, node.shift)
    pd.testing.assert_frame_equal(got, want, check_names=False, rtol=1e-12, atol=1e-12,
                                  check_freq=False)


@pytest.mark.parametrize("source", ["citics_2019", "sws"])
@pytest.mark.parametrize("operator", ["GROUP_DEMEAN", "GROUP_RANK"])
def test_group_operators(ids, panels, source, operator):
    node = getattr(op, operator)(op.RETURNS, source)
    returns = per_instrument(panels, lambda d: d.close / d.close.shift(1) - 1, node.shift)
    long = pd.DataFrame({"x": returns.stack(), "g": industry_frame(returns, source).stack()})
    long = long.dropna()
    grouped = long.groupby([long.index.get_level_values(0), long["g"]])["x"]
    if operator == "GROUP_DEMEAN":
        want = (long["x"] - grouped.transform("mean")).unstack()
    else:
        want = grouped.rank(pct=True).unstack()
    got = execute_factor(node, ids, START, END)
    assert got.notna().to_numpy().mean() > 0.5
    pd.testing.assert_frame_equal(got, want.reindex(index=got.index, columns=got.columns),
                                  check_names=False, rtol=1e-12, atol=1e-12, check_freq=False)


def test_industry_codes_served_from_a_grid_of_other_dates(ids, panels):
    from alvora.operators import group

    frame = panels["close"][ids[:15] + ids[:2]]  # a repeated column keeps its codes
    direct = group._industry_codes(frame.index, frame.columns, "sws")
    assert (direct >= 0).mean() > 0.5 and (direct[:, :2] == direct[:, -2:]).all()
    group._CACHE.clear()
    for rows in (slice(30, None), slice(None), slice(10, 40), slice(None, 60), slice(5, 50, 3)):
        np.testing.assert_array_equal(group.industry_codes(frame.iloc[rows], "sws"),
                                      direct[rows])
    assert len(group._CACHE) == 1


def test_record_positions_by_level_codes_equal_a_lookup_per_record():
    from alvora.operators import group

    dates = pd.DatetimeIndex(["2023-03-01", "2023-03-02", "2023-03-03"])
    index = pd.MultiIndex.from_arrays(
        [pd.DatetimeIndex(["2023-03-02", None, "2023-03-09", "2023-03-01", "2023-03-02"]),
         ["b", "a", None, "z", "a"]], names=["datetime", "order_book_id"])
    for labels, level in ((dates, "datetime"), (pd.Index(["a", "b"]), "order_book_id")):
        want = labels.get_indexer(index.get_level_values(level))
        np.testing.assert_array_equal(group._positions_in(labels, index, level), want)
        flat = index.get_level_values(level)
        np.testing.assert_array_equal(group._positions_in(labels, pd.Index(flat, name=level),
                                                          level), want)


def _group_reference(values, codes, statistic):
    """The group statistics through a pandas group-by, date by date."""
    frame = pd.DataFrame(values)
    long = pd.DataFrame({"x": frame.stack(), "g": pd.DataFrame(codes).stack()})
    long = long[np.isfinite(long["x"]) & (long["g"] >= 0)]
    grouped = long.groupby([long.index.get_level_values(0), long["g"]])["x"]
    want = (long["x"] - grouped.transform("mean")) if statistic == "group_demean" \
        else grouped.rank(pct=True)
    return want.unstack().reindex(index=frame.index, columns=frame.columns).to_numpy()


@pytest.mark.parametrize("statistic", ["group_demean", "group_rank"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_native_group_statistics_match_a_group_by(statistic, order):
    from alvora import _cross_section

    rng = np.random.default_rng(7)
    values = rng.integers(-3, 4, size=(30, 50)).astype(float)  # ties within groups
    values[rng.random(values.shape) < 0.1] = np.nan
    values[rng.random(values.shape) < 0.03] = np.inf
    values[values == 0] = -0.0  # signed zeros tie with zeros
    values[0, :5] = 0.0
    codes = rng.integers(-1, 6, size=values.shape)
    got = getattr(_cross_section, statistic)(np.array(values, order=order),
                                             np.array(codes, order=order))
    want = _group_reference(values, codes, statistic)
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-15)
    # a strided view is read in place
    np.testing.assert_array_equal(getattr(_cross_section, statistic)(values[::2], codes[::2]),
                                  got[::2])


@pytest.mark.parametrize("values, codes, error, message", [
    (np.zeros((2, 3)), np.zeros((3, 2), dtype=np.int64), ValueError, "do not match"),
    (np.zeros((2, 3)), np.zeros((2, 3)), TypeError, "int64 group codes"),
    (np.zeros(3), np.zeros(3, dtype=np.int64), TypeError, "float64 array"),
    (np.zeros((1, 2)), np.array([[0, 1 << 40]]), ValueError, "group code 1099511627776"),
])
def test_native_group_statistics_refuse_bad_input(values, codes, error, message):
    from alvora import _cross_section

    with pytest.raises(error, match=message):
        _cross_section.group_rank(values, codes)


@pytest.mark.parametrize("kernel, args, want", [
    # the condition's NaN wins; the branch not taken never reaches the result
    (kernels.if_else, ([np.nan, 1, 0, 1, 0], [1, np.nan, 3, 4, np.nan], [5, 6, np.nan, 8, 9]),
     [np.nan, np.nan, np.nan, 4, 9]),
    (kernels.if_else, ([1.0, 0.0, np.nan], 2, [7, 8, 9]), [2, 8, np.nan]),
    (kernels.minimum, ([1, np.nan, 3], [2, 1, np.nan]), [1, np.nan, np.nan]),
    (kernels.maximum, ([1, np.nan, 3], 2), [2, np.nan, 3]),
    (kernels.log, ([np.e, 0, -1],), [1, -np.inf, np.nan]),
    (kernels.signed_power, ([-4, 0, 9, np.nan], 0.5), [-2, 0, 3, np.nan]),
])
def test_nan_rules(kernel, args, want):
    np.testing.assert_allclose(kernel(*args), want, rtol=1e-15)


def test_nodes_report_their_look_back_and_print():
    node = op.DELTA(op.DELAY(close, 2), 3)
    assert node.shift == 5 and repr(node) == "DELTA(DELAY(close, 2), 3)"
    assert op.RETURNS.shift == 1 and repr(op.RETURNS) == "RETURNS"
    assert op.IF(close > 1, op.RETURNS, 0).shift == 1
    assert op.DECAY_LINEAR is __import__("alvora.rolling", fromlist=["WMA"]).WMA
    assert op.GROUP_RANK(close, "sws") == op.GROUP_RANK(close, "sws")
    assert op.GROUP_RANK(close, "sws") != op.GROUP_RANK(close, "citics_2019")


@pytest.mark.parametrize("call, error, message", [
    (lambda: op.DELAY(close, 1.5), TypeError, "whole number"),
    (lambda: op.DELAY(close, -1), ValueError, "between 0 and"),
    (lambda: op.DELTA(close, True), TypeError, "whole number"),
    (lambda: op.DELTA(close, 10 ** 7), ValueError, "between 0 and"),
    (lambda: op.DELAY(3, 1), TypeError, "must be a factor"),
    (lambda: op.DELAY(close), TypeError, "DELAY\\(factor, d\\)"),
    (lambda: op.MIN(1, 2), TypeError, "at least one factor"),
    (lambda: op.SIGNED_POWER(close, high), TypeError, "finite number"),
    (lambda: op.GROUP_DEMEAN(close, "SWS"), ValueError, "one of 'citics_2019', 'sws'"),
    (lambda: op.IF(1, close, volume), TypeError, "must be a factor"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_pickles_by_reference():
    import pickle

    node = op.GROUP_DEMEAN(op.IF(low > 1, op.DELTA(high, 2), volume), "sws")
    assert pickle.loads(pickle.dumps(node)) == node
    assert pickle.loads(pickle.dumps(op.DELAY)) is op.DELAY
