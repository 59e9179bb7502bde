"""Whole trees evaluated natively against the per-instrument path (and against
many factors evaluated at once).

The native path is recognised by what it does not do: it never asks the
execution context for an instrument's values (``get_factor_value``), which the
per-instrument path does for every instrument and terminal node.
"""
import random
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import tessal
import alvora.engine_v2.eval_core as ec
from alvora import operators as ops, rolling
from alvora.cross_sectional import CS_DEMEAN, CS_RANK, CS_SCALE, CS_ZSCORE, cs_demean, cs_rank, \
    cs_scale, cs_zscore
from alvora.engine_v2.exec_context import ThreadingExecContext
from alvora.evaluate import execute_factors
from alvora.fix import FIX
from alvora.interface import AbstractFactor, BinaryCombinedFactor
from alvora.leaf import close, high, low, open as open_, volume

START, END = "2022-03-01", "2022-06-30"


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    path = tmp_path_factory.mktemp("native") / "bundle"
    tessal.bundle.generate_market(path, n_instruments=40, start="2021-10-01", end=END, seed=11,
                                  checksums=False)
    tessal.init(path)
    yield list(tessal.all_instruments("CS").order_book_id)
    tessal.init(None)


class ValueRequests:
    """Counts the per-instrument value requests made to execution contexts."""

    def __init__(self):
        self.count = 0
        self._code = ThreadingExecContext.get_factor_value.__code__

    def _profile(self, frame, event, arg):
        if event == "call" and frame.f_code is self._code:
            self.count += 1

    def __enter__(self):
        sys.setprofile(self._profile)
        return self

    def __exit__(self, *exc):
        sys.setprofile(None)


def run(factor, ids, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # end date at the latest trading date
        with ValueRequests() as requests:
            frame = ec.execute_factor(factor, ids, START, END, **kwargs)
    return frame, requests.count


def per_instrument_path(monkeypatch):
    """Sends evaluation down the per-instrument path: _exec_expr is no longer the original."""
    original = ec._exec_expr
    monkeypatch.setattr(ec, "_exec_expr", lambda e, oid, ctx: original(e, oid, ctx))


def assert_same(native, reference):
    pd.testing.assert_index_equal(native.index, reference.index)
    pd.testing.assert_index_equal(native.columns, reference.columns)
    a, b = native.to_numpy(np.float64), reference.to_numpy(np.float64)
    np.testing.assert_array_equal(np.isnan(a), np.isnan(b))
    np.testing.assert_allclose(a, b, rtol=1e-12, atol=1e-12, equal_nan=True)


# ---- random trees ----------------------------------------------------------------------

WINDOWED = [rolling.MA, rolling.SUM, rolling.STD, rolling.VAR, rolling.EMA, rolling.WMA,
            rolling.TS_RANK, rolling.TS_MIN, rolling.TS_MAX, rolling.TS_ARGMIN,
            rolling.TS_ARGMAX, rolling.TS_ZSCORE, rolling.TS_SKEW, rolling.TS_KURT,
            rolling.AVEDEV, rolling.SLOPE, rolling.PRODUCT, rolling.COUNT]
PAIRED = [rolling.CORRELATION, rolling.COVARIANCE]
CROSS = [CS_RANK, CS_ZSCORE, CS_DEMEAN, CS_SCALE]


def random_tree(rng, depth, fixed_id):
    if depth == 0:
        pick = rng.random()
        if pick < 0.1:
            return FIX(close, fixed_id)
        return rng.choice([open_, high, low, close, volume])
    kind = rng.random()
    sub = lambda: random_tree(rng, depth - 1, fixed_id)  # noqa: E731
    if kind < 0.3:
        return rng.choice(WINDOWED)(sub(), rng.randint(1, 6))
    if kind < 0.4:
        return rng.choice(PAIRED)(sub(), sub(), rng.randint(2, 6))
    if kind < 0.5:
        return rng.choice(CROSS)(sub())
    if kind < 0.6:
        return rng.choice([lambda f: -f, abs, lambda f: ~(f > 10), lambda f: f.equal(2),
                           lambda f: ops.DELTA(f, 2), lambda f: ops.LOG(abs(f)), ops.SIGN,
                           lambda f: ops.DELAY(f, 1)])(sub())
    combine = [lambda a, b: a + b, lambda a, b: a - b, lambda a, b: a * b, lambda a, b: a / b,
           lambda a, b: a > b, lambda a, b: a <= b, lambda a, b: a & b, lambda a, b: a | b,
           lambda a, b: (a - 1.5) ** 2 if isinstance(a, AbstractFactor) else a,
           ops.MIN, lambda a, b: ops.IF(a > b, a, b)]
    left = sub()
    right = sub() if rng.random() < 0.7 else rng.choice([2, -1, 0.5, np.float64(3.25)])
    return rng.choice(combine)(left, right)


@pytest.mark.parametrize("universe", [None, "list", "000300.XSHG"])
@pytest.mark.parametrize("seed", range(6))
def test_random_trees_agree_with_the_per_instrument_path(market, monkeypatch, seed, universe):
    rng = random.Random(seed * 7 + len(str(universe)))
    ids = market[:30]
    if universe == "list":
        universe = ids[::2]
    elif universe is not None:
        universe = "000016.XSHG"
    factor = random_tree(rng, 3, market[-1])
    with monkeypatch.context() as m:
        per_instrument_path(m)
        try:
            reference, reference_requests = run(factor, ids, universe=universe)
        except (TypeError, ValueError) as error:  # e.g. negated booleans
            with pytest.raises(type(error)):
                run(factor, ids, universe=universe)
            return
    assert reference_requests > 0
    native, _ = run(factor, ids, universe=universe)
    assert_same(native, reference)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        together = execute_factors([factor, close], ids, START, END, universe=universe)[0]
    assert_same(together, native)


@pytest.mark.parametrize("factor, fixed_nodes", [
    (-1 * rolling.TS_RANK(CS_RANK(low), 9), 0),
    ((close - open_) / ((high - low) + 0.001), 0),
    (rolling.CORRELATION(rolling.MA(close, 5), volume, 10) + rolling.EVERY(close > open_, 3), 0),
    (rolling.TS_MAX(FIX(close, "000001.XSHE"), 4) - close, 1),
    (rolling.MA(CS_ZSCORE(rolling.STD(close, 5)), 3) + FIX(rolling.MA(close, 4), "000001.XSHE"),
     1),
    (ops.IF(close > open_, ops.DELTA(close, 2), ops.LOG(volume))
     + ops.SIGNED_POWER(ops.RETURNS, 0.5) * ops.SIGN(ops.DELAY(low, 3))
     - ops.MIN(ops.ABS(open_ - close), ops.MAX(ops.VWAP, 2.0)), 0),
    (rolling.MA(ops.GROUP_DEMEAN(rolling.STD(close, 3), "citics_2019"), 2) * close, 0),
], ids=["ts_rank_cs_rank", "alpha101", "corr_every", "fixed", "computed_over_windows",
        "operators", "group"])
def test_package_trees_take_the_native_path(market, monkeypatch, factor, fixed_nodes):
    ids = market[:25]
    native, requests = run(factor, ids)
    assert requests == fixed_nodes  # a fixed node's inner expression is read for its instrument
    with monkeypatch.context() as m:
        per_instrument_path(m)
        reference, _ = run(factor, ids)
    assert_same(native, reference)


@pytest.mark.parametrize("exponent", [0.5, 2, 5, -3, 1.7, 0])
def test_powers_by_a_constant_match_the_per_instrument_path(market, monkeypatch, exponent):
    # square roots and whole powers are computed without pow natively: signs,
    # zeros (close - close[2 rows back] often is) and suspended rows as pow gives them
    change = ops.DELTA(close, 2)
    factor = (change ** exponent) + ops.SIGNED_POWER(change, exponent) * 1e-3
    ids = market[:25]
    native, requests = run(factor, ids)
    assert requests == 0
    with monkeypatch.context() as m:
        per_instrument_path(m)
        reference, _ = run(factor, ids)
    assert_same(native, reference)


@pytest.mark.parametrize("factor, native", [
    ((close < open_) * -1, True),
    (-1 * (CS_RANK(close) < CS_RANK(volume)) + close * 0.0, True),
    # a zero from the integers is +0: 1 / (close * 0) is +inf, not -inf
    (1.0 / (close * ((close < open_) * -1)), True),
    (ops.DELTA((high > low) * 3, 1) + ops.IF((close < open_) * -2, open_, low), True),
    # what versions of the array library type differently stays on the other path
    (((close < open_) * -1) * 0.5, False),
    (((close < open_) * 200) + 100, False),
    (rolling.SUM((close < open_) * -1, 3), False),
], ids=["root", "left", "zero", "operators", "float", "int", "window"])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_booleans_times_whole_numbers(market, monkeypatch, factor, native):
    ids = market[:25]
    out, requests = run(factor, ids)
    assert (requests == 0) == native
    with monkeypatch.context() as m:
        per_instrument_path(m)
        reference, _ = run(factor, ids)
    assert_same(out, reference)


class OwnNode(AbstractFactor):
    """A user's node with a kernel of its own."""

    def __init__(self, factor):
        self._factor = factor

    @property
    def expr(self):
        return (lambda s: s * 2.0, (self._factor.expr,))

    @property
    def shift(self):
        return self._factor.shift

    @property
    def dependencies(self):
        return self._factor.dependencies


@pytest.mark.parametrize("case", ["numbers", "np", "own node", "own kernel", "rolling_window"])
def test_anything_foreign_keeps_the_per_instrument_path(market, monkeypatch, case):
    ids = market[:20]
    factor = rolling.MA(close, 4) - open_
    expected, requests = run(factor, ids)
    assert requests == 0
    if case == "numbers":
        monkeypatch.setattr(ec, "numbers", type(sys)("numbers_copy"))
        ec.numbers.Real = (float, int, np.number)
    elif case == "np":
        monkeypatch.setattr(ec, "np", type(sys)("np_copy"))
        ec.np.full, ec.np.nan, ec.np.nonzero = np.full, np.nan, np.nonzero
    elif case == "own node":
        factor = OwnNode(factor) * 0.5
    elif case == "own kernel":
        factor = BinaryCombinedFactor(lambda a, b: np.subtract(a, b), rolling.MA(close, 4), open_)
    else:
        monkeypatch.setattr(rolling, "rolling_window", lambda x, n: np.lib.stride_tricks
                            .sliding_window_view(np.asarray(x), n))
    out, requests = run(factor, ids)
    assert requests > 0
    assert_same(out, expected)


def test_long_operator_chains_run_natively(market, monkeypatch):
    factor = close
    for k in range(10000):
        factor = factor + 0.5 if k % 2 else factor * 1.0001
    native, requests = run(factor, market[:5])
    assert requests == 0
    with monkeypatch.context() as m:
        per_instrument_path(m)
        assert_same(native, run(factor, market[:5])[0])


# ---- cross-sectional statistics --------------------------------------------------------

def reference_rank(frame):
    return frame.astype(np.float64).rank(axis=1, method="average", na_option="keep", pct=True)


def _finite(frame):
    values = frame.to_numpy(dtype=np.float64, copy=True)
    values[~np.isfinite(values)] = np.nan
    return values


def reference_zscore(frame):
    v = _finite(frame)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        mean = np.nanmean(v, axis=1)
        counts = np.sum(~np.isnan(v), axis=1)
        std = np.nanstd(v, axis=1, ddof=1)
    std[(counts < 2) | (std == 0)] = np.nan
    return pd.DataFrame((v - mean[:, None]) / std[:, None], frame.index, frame.columns)


def reference_demean(frame):
    v = _finite(frame)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        mean = np.nanmean(v, axis=1)
    return pd.DataFrame(v - mean[:, None], frame.index, frame.columns)


def reference_scale(frame):
    v = _finite(frame)
    total = np.nansum(np.abs(v), axis=1)
    total[(total == 0) | np.all(np.isnan(v), axis=1)] = np.nan
    return pd.DataFrame(v / total[:, None], frame.index, frame.columns)


@pytest.mark.parametrize("native, reference", [
    (cs_rank, reference_rank), (cs_zscore, reference_zscore),
    (cs_demean, reference_demean), (cs_scale, reference_scale)])
@pytest.mark.parametrize("width", [300, 1000, 2000])  # rows sorted three ways
def test_cross_sectional_statistics_match_their_definitions(native, reference, width):
    rng = np.random.default_rng(3)
    values = rng.normal(size=(60, width)) * 10
    values[:, ::7] *= 1e-30  # magnitudes far apart: every digit of the keys differs
    values[rng.random(values.shape) < 0.2] = np.nan
    values[rng.random(values.shape) < 0.02] = np.inf
    values[rng.random(values.shape) < 0.02] = -np.inf
    values[:, 100:140] = np.round(values[:, 100:140])  # ties
    values[5] = np.nan
    values[6, 1:] = np.nan  # a single value
    values[7] = 4.0  # no dispersion
    values[8, ::2] = 0.0
    values[8, 1::2] = -0.0
    dates = pd.date_range("2022-01-03", periods=60, name="date")
    frame = pd.DataFrame(values, index=dates, columns=["s%d" % i for i in range(width)])
    for layout in (frame, frame.copy().T.copy().T, frame.astype(np.float32).astype(object)):
        assert_same(native(layout), reference(layout))


@pytest.mark.parametrize("window", [10**9, 2**70])
def test_windows_longer_than_any_history_leave_every_column_empty(market, window):
    ctx = ThreadingExecContext([close], market[:5], pd.Timestamp(START), pd.Timestamp(END))
    out = ec._exec_factor(rolling.MA(close, window), market[:5], ctx)
    assert out.shape == (ctx.ndays, 5) and out.isna().all().all()
