"""One loaded execution context shared by factors with different look-backs.

A factor's windows over valid rows begin where its own data begins, so a
factor evaluated alone sees the grid from its own first leaf date. The shared
context loads every leaf once from the earliest first date; each factor is
then evaluated on a view that starts at its own first date, which holds exactly
the data (and valid rows) a context of its own would have loaded.
"""
import numpy as np

from ..leaf import _Factor

__all__ = ["rows_from"]


def rows_from(ctx, first_date):
    """A context over the rows of ``ctx`` from ``first_date`` on, sharing its
    loaded data; computed (cross-sectional and fixed) values start empty."""
    k = int(np.searchsorted(ctx.index.values, np.datetime64(first_date), side="left"))
    if k == 0:
        return _fresh_view(ctx, ctx.index, ctx._fields, ctx._instruments)  # read-only: shared
    fields = {leaf: values[k:, :] for leaf, values in ctx._fields.items()}
    return _fresh_view(ctx, ctx.index[k:], fields, _instruments_from(ctx, fields, k))


def _instruments_from(ctx, fields, k):
    """The valid rows of each instrument from row ``k`` on: the loaded context's,
    cut and shifted. A row's validity depends on its own data, except for an
    instrument without any volume in the view, whose valid rows are then those
    with a close: those columns are worked out again."""
    entries = list(ctx._instruments.items())
    columns = np.array([j for _, (j, _, _) in entries], dtype=np.int64)
    traded = np.empty((ctx.ndays - k, len(entries)), dtype=bool, order="F")
    for c, (_, (_, mask, _)) in enumerate(entries):
        traded[:, c] = mask[k:]
    no_volume = np.all(np.isnan(fields[_Factor("volume")]), axis=0)[columns]
    if no_volume.any():
        traded[:, no_volume] = np.isfinite(fields[_Factor("close")][:, columns[no_volume]])
    traded.flags.writeable = False
    # every instrument's valid rows from one pass over the whole grid
    n = traded.shape[0]
    flat = np.flatnonzero(traded.ravel(order="F"))
    bounds = np.searchsorted(flat, np.arange(len(entries) + 1, dtype=np.int64) * n)
    rows = flat - np.repeat(np.arange(len(entries), dtype=np.int64) * n, np.diff(bounds))
    rows.flags.writeable = False
    return {oid: (j, traded[:, c], rows[bounds[c]:bounds[c + 1]])
            for c, (oid, (j, _, _)) in enumerate(entries)}


def _fresh_view(ctx, index, fields, instruments=None):
    view = object.__new__(type(ctx))
    view.__dict__.update(ctx.__dict__)  # settings and lookups of the loaded context
    view.universe_mask = None
    view.start_date = index[0] if len(index) else ctx.start_date
    view.index = index
    view.ndays = len(index)
    view._fields = fields
    view._instruments = view._build_masks() if instruments is None else instruments
    view._computed = {}
    view._computed_columns = {}
    view._sources = {}
    return view
