"""One loaded execution context shared by factors with different look-backs.

A factor's windows over valid rows begin where its own data begins, so a
factor evaluated alone sees the grid from its own first leaf date. The shared
context loads every leaf once from the earliest first date; each factor is
then evaluated on a view that starts at its own first date, which holds exactly
the data (and valid rows) a context of its own would have loaded.
"""
import numpy as np

__all__ = ["rows_from"]


def rows_from(ctx, first_date):
    """A context over the rows of ``ctx`` from ``first_date`` on, sharing its
    loaded data; computed (cross-sectional and fixed) values start empty."""
    k = int(np.searchsorted(ctx.index.values, np.datetime64(first_date), side="left"))
    if k == 0:
        return _fresh_view(ctx, ctx.index, ctx._fields)
    fields = {leaf: values[k:, :] for leaf, values in ctx._fields.items()}
    return _fresh_view(ctx, ctx.index[k:], fields)


def _fresh_view(ctx, index, fields):
    view = object.__new__(type(ctx))
    view.__dict__.update(ctx.__dict__)  # settings and lookups of the loaded context
    view.universe_mask = None
    view.start_date = index[0] if len(index) else ctx.start_date
    view.index = index
    view.ndays = len(index)
    view._fields = fields
    view._instruments = view._build_masks()
    view._computed = {}
    view._computed_columns = {}
    view._sources = {}
    return view
