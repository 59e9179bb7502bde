"""Kernels of the operators in :mod:`alvora.operators`.

Each kernel takes one instrument's value series (oldest first, its valid rows
only) and returns a series ending on the same last valid row. Series of the
arguments arrive aligned and of equal length; numbers arrive as numbers.
"""
import numpy as np

__all__ = [
    "delay",
    "delta",
    "returns",
    "absolute",
    "sign",
    "log",
    "signed_power",
    "if_else",
    "minimum",
    "maximum",
    "divide",
]


def _series(x):
    return np.asarray(x, dtype=np.float64)


def _check_lag(x, d):
    if d > len(x):
        raise ValueError("a delay of {} needs at least {} values, got {}".format(d, d, len(x)))


def delay(x, d):
    """``x`` lagged by ``d`` valid rows: the value ``d`` rows back, for every
    row that has one (the newest ``d`` values have no successor to serve)."""
    x = _series(x)
    _check_lag(x, d)
    return x[:len(x) - d]


def delta(x, d):
    """``x`` minus ``x`` lagged by ``d`` valid rows."""
    x = _series(x)
    _check_lag(x, d)
    with np.errstate(invalid="ignore"):  # inf - inf is NaN, as in pandas' diff
        return x[d:] - x[:len(x) - d]


def returns(close):
    """Close-to-close return between consecutive valid rows."""
    close = _series(close)
    with np.errstate(divide="ignore", invalid="ignore"):
        return close[1:] / close[:-1] - 1.0


def absolute(x):
    return np.abs(_series(x))


def sign(x):
    """-1, 0 or 1; NaN stays NaN."""
    return np.sign(_series(x))


def log(x):
    """Natural logarithm: -inf at 0, NaN below 0 (no warning)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.log(_series(x))


def signed_power(x, e):
    """``sign(x) * |x| ** e``."""
    x = _series(x)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        return np.sign(x) * np.abs(x) ** e


def if_else(cond, a, b):
    """``a`` where ``cond`` is true (non-zero), ``b`` where it is false, NaN
    where it is NaN. Only the chosen branch's value is read on each row, so a
    NaN in the other branch does not reach the result."""
    cond = _series(cond)
    with np.errstate(invalid="ignore"):
        out = np.where(cond != 0, _series(a), _series(b)).astype(np.float64)
    out[np.isnan(cond)] = np.nan
    return out


def minimum(a, b):
    """Elementwise minimum; NaN when either side is NaN."""
    return np.minimum(_series(a), _series(b))


def maximum(a, b):
    """Elementwise maximum; NaN when either side is NaN."""
    return np.maximum(_series(a), _series(b))


def divide(a, b):
    """``a / b`` without warnings (0 / 0 is NaN, x / 0 is +-inf)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return _series(a) / _series(b)
