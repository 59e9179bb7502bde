"""Per-date outlier clipping routines used by the winsorizing step.

Each routine takes one date's cross-section as a Series (instruments as index,
NaN for missing) and returns a Series with the same index and name whose
values are clipped to the method's bounds. NaN stays NaN. Bounds are computed
from the finite values only; infinities are clipped to the nearest bound like
any other outlier. A cross-section without finite values comes back unchanged.
"""
import numpy as np
import pandas as pd

__all__ = ["WINSORIZE_METHODS", "winsorize_mad", "winsorize_std", "winsorize_percentile",
           "MAD_SCALE", "N_DEVIATIONS", "PERCENTILE_LIMITS"]

# MAD * 1.4826 estimates the standard deviation of normally distributed data
MAD_SCALE = 1.4826
N_DEVIATIONS = 3.0
PERCENTILE_LIMITS = (2.5, 97.5)


def _clip(row, bounds_of):
    if not isinstance(row, pd.Series):
        raise TypeError("expect a pandas Series, got {}".format(type(row).__name__))
    values = row.to_numpy(dtype=np.float64)
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return pd.Series(values, index=row.index, name=row.name)
    low, high = bounds_of(finite)
    clipped = np.clip(values, low, high)  # NaN passes through np.clip
    return pd.Series(clipped, index=row.index, name=row.name)


def _mad_bounds(x):
    median = np.median(x)
    spread = N_DEVIATIONS * MAD_SCALE * np.median(np.abs(x - median))
    return median - spread, median + spread


def _std_bounds(x):
    mean = x.mean()
    # a single value has no sample deviation: keep it
    spread = N_DEVIATIONS * x.std(ddof=1) if x.size > 1 else 0.0
    return mean - spread, mean + spread


def _percentile_bounds(x):
    low, high = np.percentile(x, PERCENTILE_LIMITS)
    return low, high


def winsorize_mad(row):
    """Clip to median ± 3 · 1.4826 · MAD (median absolute deviation)."""
    return _clip(row, _mad_bounds)


def winsorize_std(row):
    """Clip to mean ± 3 sample standard deviations."""
    return _clip(row, _std_bounds)


def winsorize_percentile(row):
    """Clip to the 2.5th and 97.5th percentiles (linear interpolation)."""
    return _clip(row, _percentile_bounds)


WINSORIZE_METHODS = {
    "mad": winsorize_mad,
    "std": winsorize_std,
    "percentile": winsorize_percentile,
}
