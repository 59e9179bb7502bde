"""Window-matrix definitions of the rolling kernels in plain numpy.

Each function builds the (L - n + 1) x n matrix of windows and reduces it
along axis 1, as the kernels are defined; tests and the benchmark compare the
compiled kernels against them.
"""
import numpy as np
from numpy.lib.stride_tricks import sliding_window_view


def windows(x, n):
    return sliding_window_view(np.asarray(x), n)


def ref_sum(x, n):
    return windows(x, n).sum(axis=1)


def ref_ma(x, n):
    return windows(x, n).mean(axis=1)


def ref_ema(x, n):
    alpha = 2.0 / (n + 1)
    w = alpha * (1 - alpha) ** np.arange(n - 1, -1, -1.0)
    return (windows(x, n) * w).sum(axis=1)


def ref_wma(x, n):
    w = 2.0 * np.arange(1, n + 1) / (n * (n + 1))
    return (windows(x, n) * w).sum(axis=1)


def ref_std(x, n):
    return windows(x, n).std(axis=1)


def ref_var(x, n):
    return windows(x, n).var(axis=1)


def ref_zscore(s, n):
    r = windows(s, n)
    return (np.asarray(s)[n - 1:] - r.mean(axis=1)) / r.std(axis=1)


def ref_skew(s, n):
    s = np.asarray(s, dtype=float)
    r, r3 = windows(s, n), windows(s * s * s, n)
    u, u3, sd = r.mean(axis=1), r3.mean(axis=1), r.std(axis=1)
    g = (u3 - 3 * u * sd * sd - u * u * u) / (sd * sd * sd)
    return (n * (n - 1)) ** 0.5 / (n - 2) * g if n > 2 else g


def ref_kurt(s, n):
    r = windows(s, n)
    d2 = (r - r.mean(axis=1)[:, None]) ** 2
    m2, m4 = d2.mean(axis=1), (d2 ** 2).mean(axis=1)
    return 1.0 / ((n - 2) * (n - 3)) * ((n ** 2 - 1.0) * m4 / m2 ** 2 - 3 * (n - 1) * (n - 1))


def ref_avedev(s, n):
    r = windows(s, n)
    return np.abs(r - r.mean(axis=1)[:, None]).mean(axis=1)


def ref_product(s, n):
    return windows(s, n).prod(axis=1)


def ref_ts_rank(x, n):
    r = windows(x, n)
    return np.argsort(np.argsort(r, axis=1, kind="stable"), axis=1, kind="stable")[:, -1] / n


def ref_ts_min(x, n):
    return windows(x, n).min(axis=1)


def ref_ts_max(x, n):
    return windows(x, n).max(axis=1)


def ref_ts_argmin(x, n):
    return windows(x, n).argmin(axis=1).astype(float)


def ref_ts_argmax(x, n):
    return windows(x, n).argmax(axis=1).astype(float)


def ref_count(x, n):
    return windows(np.asarray(x).astype(bool), n).sum(axis=1)


def ref_covariance(n, a, b):
    ra, rb, rab = windows(a, n), windows(b, n), windows(np.asarray(a) * b, n)
    return rab.mean(axis=1) - ra.mean(axis=1) * rb.mean(axis=1)


def ref_correlation(n, a, b):
    ra, rb = windows(a, n), windows(b, n)
    return ref_covariance(n, a, b) / (ra.std(axis=1) * rb.std(axis=1))


def ref_regression(n, x, y):
    x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
    rx, ry = windows(x, n), windows(y, n)
    xm, ym = rx.mean(axis=1), ry.mean(axis=1)
    v1 = windows(x * y, n).sum(axis=1) - xm * ym * n
    v2 = windows(x * x, n).sum(axis=1) - xm * xm * n
    return v1 / v2


def ref_slope(y, n):
    t = np.arange(n, dtype=float)
    sumx = t.sum()
    sumxsqr = n * (n - 1) * (2 * n - 1) / 6
    divisor = sumx * sumx - n * sumxsqr
    r = windows(y, n)
    return (r.sum(axis=1) * sumx - n * (r * t).sum(axis=1)) / divisor


# kernel name -> (definition, is pairwise)
REFERENCES = {
    "sum": ref_sum, "ma": ref_ma, "ema": ref_ema, "wma": ref_wma, "std": ref_std,
    "var": ref_var, "zscore": ref_zscore, "skew": ref_skew, "kurt": ref_kurt,
    "avedev": ref_avedev, "product": ref_product, "ts_rank": ref_ts_rank,
    "ts_min": ref_ts_min, "ts_max": ref_ts_max, "ts_argmin": ref_ts_argmin,
    "ts_argmax": ref_ts_argmax, "count": ref_count, "slope": ref_slope,
    "covariance": ref_covariance, "correlation": ref_correlation, "regression": ref_regression,
}
PAIRWISE = ("covariance", "correlation", "regression")


def random_series(length, seed, level=0.0, scale=1.0, nan_fraction=0.0):
    rng = np.random.default_rng(seed)
    x = level + scale * rng.standard_normal(length)
    if nan_fraction:
        x[rng.random(length) < nan_fraction] = np.nan
    return x


def assert_same(got, want, rtol=1e-9, atol=0.0):
    """Equal NaN positions, equal infinities, values close to rtol."""
    got, want = np.asarray(got), np.asarray(want)
    assert got.shape == want.shape, (got.shape, want.shape)
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    np.testing.assert_allclose(got, want, rtol=rtol, atol=atol, equal_nan=True)
