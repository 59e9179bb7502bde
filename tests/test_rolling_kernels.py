"""The kernels of alvora.rolling: values, NaN placement, types and errors."""
import threading

import numpy as np
import pandas as pd
import pytest
import scipy.stats

from alvora import rolling
from alvora import utils
from _rolling_helpers import PAIRWISE, REFERENCES, assert_same, random_series

# the definitions divide 0 by 0 on purpose
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


def call(name, x, n, y=None):
    kernel = getattr(rolling, name)
    return kernel(n, x, y) if name in PAIRWISE else kernel(x, n)


# ---- agreement with the window-matrix definitions ---------------------------


@pytest.mark.parametrize("name", list(REFERENCES))
@pytest.mark.parametrize("n", [1, 2, 3, 4, 7, 30, 120])
def test_matches_definition_with_nans(name, n):
    x = random_series(120, 1, level=2.0, nan_fraction=0.04)
    y = random_series(120, 2, level=-1.0, nan_fraction=0.04)
    got = call(name, x, n, y)
    if name == "kurt" and n <= 3:
        want = np.full(len(x) - n + 1, {1: -3.0, 2: -2.0, 3: -1.5}[n])
    else:
        want = REFERENCES[name](n, x, y) if name in PAIRWISE else REFERENCES[name](x, n)
    if name in ("covariance",) and n == 1:
        want = np.where(np.isnan(want), np.nan, 0.0)  # exact zeros, not rounding
    if name in ("correlation", "regression", "zscore", "skew") and n == 1:
        want = np.full(len(x), np.nan)  # 0 / 0
    if name == "skew" and n == 2:
        # the third central moment of two values is zero: only rounding remains
        assert np.all(np.isnan(got) == np.isnan(want))
        assert np.nanmax(np.abs(got)) < 1e-6
        return
    assert len(got) == len(x) - n + 1
    assert_same(got, want, rtol=1e-9, atol=1e-12)


def test_infinities_follow_ieee_rules():
    x = np.array([1.0, np.inf, 2.0, 3.0, -np.inf, 4.0, 5.0, 6.0])
    y = np.array([2.0, 1.0, -3.0, 1.0, 2.0, 1.0, 0.5, 1.0])
    with np.errstate(all="ignore"):
        for name in REFERENCES:
            for n in (2, 3, 4):
                if name == "skew" and n == 2:
                    continue
                if name == "kurt" and n < 4:
                    want = np.full(len(x) - n + 1, -2.0 if n == 2 else -1.5)
                else:
                    want = (REFERENCES[name](n, x, y) if name in PAIRWISE
                            else REFERENCES[name](x, n))
                got = call(name, x, n, y)
                np.testing.assert_array_equal(np.isnan(got), np.isnan(want), err_msg=name)
                np.testing.assert_array_equal(np.isinf(got), np.isinf(want), err_msg=name)


@pytest.mark.parametrize("n", [3, 4, 9, 17, 40])
def test_products_at_the_edges_of_the_range_are_exact(n):
    # powers of two with zeros of both signs: every product is exact, so each
    # window has one right answer whatever order the scans multiply in (a zero
    # gives a signed zero even where a running product overflowed first)
    rng = np.random.default_rng(n)
    k = rng.integers(-600, 601, 300)
    zero = rng.random(300) < 0.03
    x = np.where(rng.random(300) < 0.5, -1.0, 1.0) * np.where(zero, 0.0, np.ldexp(1.0, k))
    win = np.lib.stride_tricks.sliding_window_view
    power = win(np.where(zero, 0, k), n).sum(axis=1)
    sign = np.where(win(np.signbit(x), n).sum(axis=1) % 2 == 1, -1.0, 1.0)
    magnitude = np.where(power >= 1024, np.inf, np.ldexp(1.0, power.clip(-1100, 1100)))
    want = sign * np.where(win(zero, n).any(axis=1), 0.0, magnitude)
    got = rolling.product(x, n)
    np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(np.signbit(got), np.signbit(want))


# ---- independent oracles ------------------------------------------------------


def test_against_pandas_rolling():
    x = random_series(400, 3, level=50.0, scale=5.0, nan_fraction=0.02)
    s = pd.Series(x)
    for n in (5, 20, 60):
        r = s.rolling(n)
        cut = slice(n - 1, None)
        assert_same(rolling.sum(x, n), r.sum().to_numpy()[cut], rtol=1e-9)
        assert_same(rolling.ma(x, n), r.mean().to_numpy()[cut], rtol=1e-9)
        assert_same(rolling.std(x, n), r.std(ddof=0).to_numpy()[cut], rtol=1e-8)
        assert_same(rolling.var(x, n), r.var(ddof=0).to_numpy()[cut], rtol=1e-8)
        assert_same(rolling.ts_min(x, n), r.min().to_numpy()[cut])
        assert_same(rolling.ts_max(x, n), r.max().to_numpy()[cut])
        # pandas' rolling kurt is the same unbiased estimator
        assert_same(rolling.kurt(x, n), r.kurt().to_numpy()[cut], rtol=1e-6, atol=1e-9)
        assert_same(rolling.skew(x, n), r.skew().to_numpy()[cut], rtol=1e-6, atol=1e-9)
        other = pd.Series(random_series(400, 4, level=3.0))
        assert_same(rolling.correlation(n, x, other.to_numpy()),
                    s.rolling(n).corr(other).to_numpy()[cut], rtol=1e-8)
        assert_same(rolling.covariance(n, x, other.to_numpy()),
                    s.rolling(n).cov(other, ddof=0).to_numpy()[cut], rtol=1e-8, atol=1e-12)


def test_against_scipy_and_polyfit():
    x = random_series(90, 5, level=1.0, scale=2.0)
    y = 0.7 * x + random_series(90, 6)
    n = 15
    for i in range(0, 90 - n + 1, 7):
        w = x[i:i + n]
        assert rolling.skew(x, n)[i] == pytest.approx(scipy.stats.skew(w, bias=False), rel=1e-9)
        assert rolling.kurt(x, n)[i] == pytest.approx(scipy.stats.kurtosis(w, bias=False),
                                                      rel=1e-9)
        assert rolling.slope(x, n)[i] == pytest.approx(np.polyfit(np.arange(n), w, 1)[0],
                                                       rel=1e-9)
        assert rolling.regression(n, x, y)[i] == pytest.approx(
            np.polyfit(w, y[i:i + n], 1)[0], rel=1e-9)
        rank = scipy.stats.rankdata(w, method="ordinal")[-1] - 1  # no ties in noise
        assert rolling.ts_rank(x, n)[i] == rank / n


def test_long_series_does_not_drift():
    n_points = 10 ** 6
    rng = np.random.default_rng(9)
    x = 1e6 + np.cumsum(0.01 * rng.standard_normal(n_points)) + rng.standard_normal(n_points)
    n = 250
    got = {k: getattr(rolling, k)(x, n) for k in ("ma", "std", "var", "zscore", "kurt",
                                                   "avedev", "ema", "wma", "sum")}
    sample = np.r_[0, np.random.default_rng(1).integers(0, n_points - n, 40), n_points - n]
    for i in sample:
        w = x[i:i + n]
        one = {k: REFERENCES[k](w, n)[0] for k in got}
        for k, v in got.items():
            assert v[i] == pytest.approx(one[k], rel=1e-9, abs=1e-9), (k, i)
    # raw-moment kernels are compared where their definitions are well conditioned
    z = x - 1e6
    y = 0.5 * z + rng.standard_normal(n_points)
    sk, cov, cor, reg = (rolling.skew(z, n), rolling.covariance(n, z, y),
                         rolling.correlation(n, z, y), rolling.regression(n, z, y))
    for i in sample:
        assert sk[i] == pytest.approx(REFERENCES["skew"](z[i:i + n], n)[0], rel=1e-7)
        assert cov[i] == pytest.approx(REFERENCES["covariance"](n, z[i:i + n], y[i:i + n])[0],
                                       rel=1e-9)
        assert cor[i] == pytest.approx(REFERENCES["correlation"](n, z[i:i + n], y[i:i + n])[0],
                                       rel=1e-9)
        assert reg[i] == pytest.approx(REFERENCES["regression"](n, z[i:i + n], y[i:i + n])[0],
                                       rel=1e-9)


# ---- worked values ------------------------------------------------------------


def test_worked_values():
    w = np.array([2, 4, 4, 4, 5, 5, 7, 9], dtype=float)
    assert rolling.ma(w, 8)[0] == 5.0
    assert rolling.std(w, 8)[0] == 2.0
    assert rolling.var(w, 8)[0] == 4.0
    assert rolling.zscore(w, 8)[0] == 2.0
    assert rolling.avedev(w, 8)[0] == 1.5
    assert rolling.skew(w, 8)[0] == pytest.approx(0.81849, abs=1e-5)
    assert rolling.kurt(w, 8)[0] == pytest.approx(0.94063, abs=1e-5)
    v = np.array([1, 2, 3, 4, 10], dtype=float)
    assert rolling.skew(v, 5)[0] == pytest.approx(1.69706, abs=1e-5)
    assert rolling.kurt(v, 5)[0] == pytest.approx(3.152, rel=1e-12)
    assert rolling.ema(np.array([1.0, 2, 3]), 3)[0] == 2.125
    assert rolling.ema(np.ones(3), 3)[0] == 0.875
    assert rolling.wma(np.array([1.0, 2, 3]), 3)[0] == pytest.approx(14 / 6, rel=1e-15)
    assert np.isnan(rolling.ema(np.array([np.nan, 1.0, 1.0]), 3)[0])  # smallest weight, still NaN
    assert rolling.slope(np.array([1.0, 3, 5, 7]), 4)[0] == 2.0
    assert rolling.slope(np.array([7.0, 5, 3, 1]), 4)[0] == -2.0
    assert rolling.ts_rank(np.array([3.0, 1, 4, 2]), 4)[0] == 0.25
    assert rolling.ts_rank(np.array([1.0, 2, 3, 4]), 4)[0] == 0.75
    assert rolling.ts_argmax(np.array([5.0, 9, 9, 1]), 4)[0] == 1.0
    assert rolling.ts_argmin(np.array([2.0, 1, 1, 3]), 4)[0] == 1.0
    assert rolling.ts_argmax(np.array([5.0, np.nan, 9, np.nan]), 4)[0] == 1.0
    assert rolling.ts_argmin(np.array([np.nan, 1.0, 0.0]), 3)[0] == 0.0
    assert rolling.count(np.array([0.0, 2.5, np.nan, -1.0]), 4).tolist() == [3]
    a, b = np.array([1.0, 2, 3, 4]), np.array([2.0, 4, 6, 8])
    assert rolling.covariance(4, a, b)[0] == 2.5
    assert rolling.correlation(4, a, b)[0] == pytest.approx(1.0, abs=1e-14)
    assert rolling.regression(4, a, np.array([2, 4, 6, 8.5]))[0] == pytest.approx(2.15, rel=1e-14)
    assert rolling.regression(4, np.array([2, 4, 6, 8.5]), a)[0] != pytest.approx(2.15)


def test_window_one():
    x = np.array([1.5, -2.0, 0.0, np.nan, 3.0])
    for name in ("sum", "ma", "ema", "wma", "product", "ts_min", "ts_max"):
        assert_same(getattr(rolling, name)(x, 1), x, rtol=0)
    for name in ("std", "var", "avedev"):
        assert_same(getattr(rolling, name)(x, 1), np.where(np.isnan(x), np.nan, 0.0), rtol=0)
    for name in ("zscore", "skew"):
        assert np.isnan(getattr(rolling, name)(x, 1)).all()
    assert rolling.kurt(x, 1).tolist() == [-3.0] * 5
    assert rolling.ts_rank(x, 1).tolist() == [0.0] * 5
    assert rolling.ts_argmin(x, 1).tolist() == [0.0] * 5
    assert rolling.count(x, 1).tolist() == [1, 1, 0, 1, 1]
    assert rolling.covariance(1, x, x).tolist()[:3] == [0.0, 0.0, 0.0]
    assert np.isnan(rolling.correlation(1, x, x)).all()
    assert np.isnan(rolling.regression(1, x, x)).all()
    assert np.isnan(rolling.slope(x, 1)).all()


def test_window_equal_to_length_gives_one_value():
    x = random_series(25, 8)
    for name in REFERENCES:
        got = call(name, x, 25, x[::-1].copy())
        assert got.shape == (1,), name


def test_constant_windows_give_exact_zeros():
    x = np.full(10, 0.1)  # sums of 0.1 round; the results must not
    assert (rolling.std(x, 4) == 0).all() and (rolling.var(x, 4) == 0).all()
    assert (rolling.avedev(x, 4) == 0).all()
    for name in ("zscore", "skew", "kurt"):
        assert np.isnan(getattr(rolling, name)(x, 5)).all(), name
    y = random_series(10, 3)
    assert np.isnan(rolling.correlation(4, x, y)).all()
    assert (rolling.covariance(4, x, y) == 0).all()
    assert np.isnan(rolling.regression(4, x, y)).all()
    assert (rolling.slope(x, 4) == 0).all()


def test_ts_rank_ties_and_nans():
    assert rolling.ts_rank(np.array([2.0, 2, 2]), 3)[0] == pytest.approx(2 / 3)
    assert rolling.ts_rank(np.array([np.nan, 1.0, 2.0]), 3)[0] == pytest.approx(1 / 3)
    assert rolling.ts_rank(np.array([1.0, np.nan, np.nan]), 3)[0] == pytest.approx(2 / 3)
    x = np.random.default_rng(4).integers(0, 4, 300).astype(float)
    x[::17] = np.nan
    for n in (2, 5, 40):
        assert_same(rolling.ts_rank(x, n), REFERENCES["ts_rank"](x, n), rtol=0)


# ---- kurt for windows below 4 -------------------------------------------------


def test_kurt_small_windows_one_value_per_window():
    x = np.array([np.nan, 1, 2, 3, 4, 5], dtype=np.float32)
    for n, value in ((1, -3.0), (2, -2.0), (3, -1.5)):
        got = rolling.kurt(x, n)
        assert got.dtype == np.float64
        assert got.tolist() == [value] * (len(x) - n + 1)
    # the result lines up with every other kernel of the same window
    f = random_series(30, 2)
    k = rolling.kurt(f, 3)
    assert rolling.correlation(5, k, f[2:]).shape == (len(f) - 2 - 4,)


# ---- types ----------------------------------------------------------------------


def test_result_types():
    xi = np.array([3, -1, 4, 1, -5, 9], dtype=np.int64)
    xb = np.array([True, False, True, True, True, False])
    assert rolling.sum(xi, 3).dtype == np.int64
    assert rolling.sum(xi, 3).tolist() == [6, 4, 0, 5]
    assert rolling.sum(xb, 3).dtype == np.int64 and rolling.sum(xb, 3).tolist() == [2, 2, 3, 2]
    assert rolling.product(xi, 2).tolist() == [-3, -4, 4, -5, -45]
    assert rolling.product(xb, 2).dtype == np.int64
    assert rolling.sum(xi.astype(np.int32), 2).dtype == np.int64
    assert rolling.ts_min(xi, 2).dtype == np.int64
    assert rolling.ts_max(xb, 2).dtype == np.bool_
    assert rolling.ts_max(xb, 2).tolist() == [True, True, True, True, True]
    assert rolling.count(xi, 6).tolist() == [6]
    assert rolling.count(xb, 2).dtype == np.int64
    assert rolling.ma(xi, 2).dtype == np.float64
    assert rolling.ts_argmax(xb, 3).tolist() == [0.0, 1.0, 0.0, 0.0]
    assert rolling.ts_rank(xi, 3).dtype == np.float64
    big = np.array([2 ** 62, 2 ** 62 + 1, 2 ** 62], dtype=np.int64)  # not exact as float
    assert rolling.ts_rank(big, 2).tolist() == [0.5, 0.0]
    assert rolling.ts_max(big, 2).tolist() == [2 ** 62 + 1, 2 ** 62 + 1]
    # int64 sums wrap like numpy's
    wrap = np.array([2 ** 63 - 1, 1], dtype=np.int64)
    with np.errstate(over="ignore"):
        assert rolling.sum(wrap, 2).tolist() == wrap.reshape(1, 2).sum(axis=1).tolist()
    f32 = random_series(50, 1).astype(np.float32)
    assert_same(rolling.std(f32, 5), REFERENCES["std"](f32.astype(float), 5))


def test_inputs_are_left_unchanged_and_views_are_handled():
    x = random_series(60, 3, nan_fraction=0.1)
    keep = x.copy()
    strided = x[::2]
    assert_same(rolling.ma(strided, 4), REFERENCES["ma"](strided.copy(), 4))
    assert_same(rolling.correlation(3, x[::3], x[1::3]),
                REFERENCES["correlation"](3, x[::3].copy(), x[1::3].copy()))
    assert_same(rolling.ma(list(x[:10]), 3), REFERENCES["ma"](x[:10], 3))
    assert_same(rolling.ma(pd.Series(x), 3), REFERENCES["ma"](x, 3))
    swapped = x.astype(">f8")  # big-endian: must be converted, not misread
    assert_same(rolling.std(swapped, 4), REFERENCES["std"](x, 4))
    assert rolling.sum(np.arange(6).astype(">i8"), 3).tolist() == [3, 6, 9, 12]
    frozen = x.copy()
    frozen.setflags(write=False)
    assert_same(rolling.ts_max(frozen, 5), REFERENCES["ts_max"](x, 5))
    np.testing.assert_array_equal(x, keep)


# ---- bad input ------------------------------------------------------------------


@pytest.mark.parametrize("name", list(REFERENCES))
def test_bad_input_raises_clear_errors(name):
    x = np.arange(5.0)
    cases = [
        (np.ones((2, 3)), 2, ValueError, "expect a one-dimensional series, got 2 dimensions"),
        (np.float64(3.0), 1, ValueError, "got 0 dimensions"),
        (x, 2.0, TypeError, "window must be an integer, got float"),
        (x, True, TypeError, "window must be an integer, got bool"),
        (x, "3", TypeError, "window must be an integer, got str"),
        (x, 0, ValueError, "window must be at least 1, got 0"),
        (x, -4, ValueError, "window must be at least 1, got -4"),
        (x, 6, ValueError, r"window 6 is longer than the series \(5 values\)"),
        (x, 10 ** 40, ValueError, "is longer than the series"),
        (np.array([]), 1, ValueError, r"window 1 is longer than the series \(0 values\)"),
        (np.array(["a", "b"]), 1, TypeError, "numeric"),
        (np.array([1.0, None]), 1, TypeError, "numeric"),
    ]
    for series, window, error, message in cases:
        with pytest.raises(error, match=message):
            call(name, series, window, series)
    assert call(name, x, np.int32(2), x).shape == (4,)


def test_pairwise_length_mismatch():
    for name in PAIRWISE:
        with pytest.raises(ValueError, match="5 and 4"):
            getattr(rolling, name)(2, np.ones(5), np.ones(4))


def test_keyword_names():
    x = np.arange(6.0)
    assert rolling.ma(x=x, n=2).shape == (5,)
    assert rolling.zscore(s=x, window=2).shape == (5,)
    assert rolling.ts_rank(x=x, window=3).shape == (4,)
    assert rolling.product(s=x, window=3).shape == (4,)
    assert rolling.regression(window=3, x=x, y=x).shape == (4,)
    assert rolling.covariance(window=3, a=x, b=x).shape == (4,)
    assert rolling.slope(y=x, n=3).shape == (4,)
    with pytest.raises(TypeError, match="unexpected keyword argument 'window'"):
        rolling.ma(x, window=2)
    with pytest.raises(TypeError, match="missing required argument 'n'"):
        rolling.ma(x)
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        rolling.ma(x, 2, 3)
    with pytest.raises(TypeError, match="multiple values for argument 'n'"):
        rolling.ma(x, 2, n=3)
    with pytest.raises(TypeError, match="missing required argument 'b'"):
        rolling.covariance(3, a=x)


def test_kernels_are_plain_module_functions():
    import inspect
    import pickle
    assert str(inspect.signature(rolling.covariance)) == "(window, a, b)"
    assert str(inspect.signature(rolling.zscore)) == "(s, window)"
    assert rolling.ma.__module__ == "alvora.rolling" and rolling.ma.__name__ == "ma"
    assert pickle.loads(pickle.dumps(rolling.ts_argmax)) is rolling.ts_argmax


# ---- a replaced rolling_window ----------------------------------------------------


def test_replaced_rolling_window_is_used(monkeypatch):
    calls = []

    def fake(x, n):
        calls.append(len(x))
        return utils.rolling_window(x, n)[::2]  # every other window only

    monkeypatch.setattr(rolling, "rolling_window", fake)
    x = random_series(40, 6, nan_fraction=0.1)
    y = random_series(40, 7)
    for name in REFERENCES:
        if name == "zscore":
            continue  # needs one window per newest value; checked below
        calls.clear()
        got = call(name, x, 5, y)
        want = REFERENCES[name](5, x, y) if name in PAIRWISE else REFERENCES[name](x, 5)
        assert calls, name
        assert_same(got, want[::2], rtol=1e-12, atol=1e-12)
    with pytest.raises(ValueError, match="windows"):
        rolling.zscore(x, 5)
    monkeypatch.setattr(rolling, "rolling_window", lambda x, n: utils.rolling_window(x, n) * 2)
    assert_same(rolling.ma(x, 3), REFERENCES["ma"](x, 3) * 2, rtol=1e-12)
    assert_same(rolling.zscore(x, 3), (x[2:] - 2 * REFERENCES["ma"](x, 3)) /
                (2 * REFERENCES["std"](x, 3)), rtol=1e-12)
    monkeypatch.setattr(rolling, "rolling_window", lambda x, n: np.ones(3))
    with pytest.raises(ValueError, match="dimensions"):
        rolling.ma(x, 3)
    monkeypatch.undo()
    assert_same(rolling.ma(x, 3), REFERENCES["ma"](x, 3))


def test_kernels_run_concurrently():
    xs = [random_series(20000, s, nan_fraction=0.01) for s in range(4)]
    results = [None] * 4

    def work(i):
        results[i] = rolling.std(xs[i], 50)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for x, r in zip(xs, results):
        assert_same(r, REFERENCES["std"](x, 50), rtol=1e-9, atol=1e-12)
