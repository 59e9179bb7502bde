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

from ..engine_v2.exec_context import _masks_and_positions
from ..leaf import _Factor

__all__ = ["rows_from"]


def rows_from(ctx, first_date):
    """A view of ``ctx`` whose valid rows start at ``first_date``, sharing its
    loaded data; computed (cross-sectional and fixed) values start empty."""
    k = int(np.searchsorted(ctx.index.values, np.datetime64(first_date), side="left"))
    if k == 0:
        view = _fresh_view(ctx, ctx._traded, ctx._instruments)  # read-only: shared
    else:
        view = _fresh_view(ctx, *_instruments_from(ctx, k))
    view._first_row = k
    return view


def _instruments_from(ctx, k):
    """(grid of valid rows, id -> (column, mask, positions)): each instrument's
    valid rows from row ``k`` on. A row's validity depends on
    its own data, except for an instrument without any volume from row ``k`` on,
    whose valid rows are then those with a close: those are worked out again."""
    close = ctx._fields[_Factor("close")]
    no_volume = _last_volume_rows(ctx) < k
    traded = ctx._traded.copy(order="F")
    traded[:k] = False
    if no_volume.any():
        traded[k:, no_volume] = np.isfinite(close[k:, no_volume])
    traded.flags.writeable = False
    before = np.count_nonzero(ctx._traded[:k], axis=0).tolist()  # valid rows cut, per column
    # the instruments whose validity changed find their rows again; the others'
    # rows from k on are views of the loaded context's positions
    again = _masks_and_positions(traded, [(oid, entry[0]) for oid, entry in
                                          ctx._instruments.items() if no_volume[entry[0]]])
    out = {}
    for oid, (j, _, positions) in ctx._instruments.items():  # in the context's order
        entry = again.get(oid)
        out[oid] = entry if entry is not None else (j, traded[:, j], positions[before[j]:])
    return traded, out


def _last_volume_rows(ctx):
    """Per column, the last row with a volume (-1: none); found once per loaded
    context: an instrument has no volume from row k on when it is below k."""
    last = ctx.__dict__.get("_last_volume_row")
    if last is None:
        has = ~np.isnan(ctx._fields[_Factor("volume")])
        last = np.where(has.any(axis=0), len(has) - 1 - np.argmax(has[::-1], axis=0), -1)
        ctx._last_volume_row = last
    return last


def _fresh_view(ctx, traded, instruments):
    view = object.__new__(type(ctx))
    # the label -> column mappings of stored frames are read-only and the views'
    # frames share their columns: one cache for all views, not one build per view
    ctx.__dict__.setdefault("_positions_cache", {})
    view.__dict__.update(ctx.__dict__)  # settings, lookups and data of the loaded context
    view.universe_mask = None
    view._traded = traded
    view._instruments = instruments
    view._computed = {}
    view._computed_columns = {}
    view._sources = {}
    return view
