"""Cross-sectional factors: computed across all instruments date by date."""
import numpy as np
import pandas as pd

from . import _cross_section as _native
from .interface import AbstractFactor, TerminalFactor

__all__ = ["CrossSectionalFactor", "CS_RANK", "CS_ZSCORE", "CS_DEMEAN", "CS_SCALE"]


class CrossSectionalFactor(TerminalFactor):
    """``func(*frames)`` over the factor frames of ``sub_factors``.

    The engine evaluates every sub-factor into a frame (dates x instruments),
    masks them with the universe, calls :meth:`execute` and stores the result
    in the execution context, which serves it per instrument like leaf data.
    ``func`` must return a frame over the same dates and instruments; it
    should be a module-level function so the node pickles.
    """

    def __init__(self, func, *sub_factors, name=None):
        if not callable(func):
            raise TypeError("func must be callable, got {}".format(type(func).__name__))
        if not sub_factors:
            raise ValueError("a cross-sectional factor needs at least one sub-factor")
        for f in sub_factors:
            if not isinstance(f, AbstractFactor):
                raise TypeError("sub-factors must be factor nodes, got {}".format(
                    type(f).__name__))
        self._func = func
        self._sub_factors = tuple(sub_factors)
        self._name = name
        self._derive(shift=max(f.shift for f in self._sub_factors))

    @property
    def sub_factors(self):
        return self._sub_factors

    @property
    def shift(self):
        """The look-back of the sub-factors: a tree over this node must load
        that much history for the windows under it. The execution context
        serves the node's values without those first valid rows."""
        return self._derived_shift

    def execute(self, *frames):
        if len(frames) != len(self._sub_factors):
            raise ValueError("expected {} frames, got {}".format(
                len(self._sub_factors), len(frames)))
        first = frames[0]
        result = self._func(*frames)
        if not isinstance(result, pd.DataFrame):
            raise TypeError("{} returned {}, expected a DataFrame".format(
                self._label(), type(result).__name__))
        if result.shape != first.shape or not (
                result.index.equals(first.index) and result.columns.equals(first.columns)):
            raise ValueError("{} returned a frame of shape {} that does not match its "
                             "input {}".format(self._label(), result.shape, first.shape))
        return result

    def _label(self):
        return self._name or getattr(self._func, "__name__", repr(self._func))

    def __repr__(self):
        return "{}({})".format(self._label(), ", ".join(repr(f) for f in self._sub_factors))


def _float_values(frame):
    """The frame's values as float64, without a copy when they already are."""
    values = frame.to_numpy()  # one float block: a view, no per-column dtype checks
    if values.dtype == np.float64:
        return values
    return frame.astype(np.float64).to_numpy(dtype=np.float64)


def _row_by_row(statistic, frame):
    # computed date by date in the numeric core; the result is column-major,
    # the layout the execution context keeps, and a new array the frame owns
    # (not copied again: a grid copy per node is a good part of the work)
    out = statistic(_float_values(frame))
    return pd.DataFrame(out, index=frame.index, columns=frame.columns, copy=False)


def cs_rank(frame):
    """Percentile rank across instruments per date (ties averaged, NaN kept).

    Infinities are ranked as values; each rank is divided by the number of
    non-NaN values of its date.
    """
    return _row_by_row(_native.rank, frame)


def cs_zscore(frame):
    """(x - mean) / std across instruments per date (sample std, ddof=1).

    Infinite values count as missing; a date with fewer than two values or no
    dispersion gives NaN.
    """
    return _row_by_row(_native.zscore, frame)


def cs_demean(frame):
    """x minus the mean across instruments per date (infinities count as missing)."""
    return _row_by_row(_native.demean, frame)


def cs_scale(frame):
    """x divided by the sum of |x| across instruments per date, so |weights| sum to 1.

    Infinities count as missing; a date whose absolute sum is 0 gives NaN.
    """
    return _row_by_row(_native.scale, frame)


def CS_RANK(factor):
    """Percentile rank of ``factor`` across instruments, per date, in (0, 1]."""
    return CrossSectionalFactor(cs_rank, factor, name="CS_RANK")


def CS_ZSCORE(factor):
    """``factor`` standardised across instruments per date."""
    return CrossSectionalFactor(cs_zscore, factor, name="CS_ZSCORE")


def CS_DEMEAN(factor):
    """``factor`` minus its cross-sectional mean per date."""
    return CrossSectionalFactor(cs_demean, factor, name="CS_DEMEAN")


def CS_SCALE(factor):
    """``factor`` scaled so its absolute values sum to 1 across instruments per date."""
    return CrossSectionalFactor(cs_scale, factor, name="CS_SCALE")
