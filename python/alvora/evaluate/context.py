"""One loaded execution context shared by factors with different look-backs.

A factor's windows over valid rows begin where its own data begins, so a
factor evaluated alone sees the grid from its own first leaf date. The shared
context loads every leaf once from the earliest first date; each factor is
then evaluated on a view in which no row before its own first date is valid:
its instruments have exactly the valid rows (and data) a context of its own
would have loaded, on a grid that keeps the loaded dates (the rows before the
first date stay empty and are cut from the results).
"""
import numpy as np

from ..leaf import _Factor

__all__ = ["rows_from"]


def rows_from(ctx, first_date):
    """A view of ``ctx`` whose valid rows start at ``first_date``, sharing its
    loaded data; computed (cross-sectional and fixed) values start empty."""
    k = int(np.searchsorted(ctx.index.values, np.datetime64(first_date), side="left"))
    instruments = ctx._instruments if k == 0 else _instruments_from(ctx, k)  # read-only: shared
    return _fresh_view(ctx, instruments)


def _instruments_from(ctx, k):
    """Each instrument's valid rows from row ``k`` on. A row's validity depends on
    its own data, except for an instrument without any volume from row ``k`` on,
    whose valid rows are then those with a close: those are worked out again."""
    close, volume = ctx._fields[_Factor("close")], ctx._fields[_Factor("volume")]
    no_volume = np.all(np.isnan(volume[k:]), axis=0)
    entries = list(ctx._instruments.items())
    traded = np.zeros((ctx.ndays, len(entries)), dtype=bool, order="F")
    for c, (_, (j, mask, _)) in enumerate(entries):
        traded[k:, c] = np.isfinite(close[k:, j]) if no_volume[j] else mask[k:]
    traded.flags.writeable = False
    out = {}
    for c, (oid, (j, _, positions)) in enumerate(entries):
        if no_volume[j]:
            later = np.flatnonzero(traded[:, c])
            later.flags.writeable = False
        else:
            later = positions[np.searchsorted(positions, k):]  # a view, read-only
        out[oid] = (j, traded[:, c], later)
    return out


def _fresh_view(ctx, instruments):
    view = object.__new__(type(ctx))
    view.__dict__.update(ctx.__dict__)  # settings, lookups and data of the loaded context
    view.universe_mask = None
    view._instruments = instruments
    view._computed = {}
    view._computed_columns = {}
    view._sources = {}
    return view
