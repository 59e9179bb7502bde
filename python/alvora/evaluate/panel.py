"""The steps of a plan run over all instruments at once.

Every instrument's value series ends on its last valid row, so the series of
all instruments can sit side by side in one packed panel: column i holds the
series of instrument i in its bottom ``length[i]`` rows (rows above are
padding: left uninitialised, computed over by elementwise kernels, never read
back). Elementwise kernels then run once over the whole
panel; any other kernel runs per instrument on exactly the slice the
per-instrument evaluation would hand it, so results are the same.

Whatever this path cannot mirror exactly (a kernel returning a number for one
instrument, arguments of unequal length, a dtype changing between instruments)
raises :class:`Unsupported` and the caller evaluates instrument by instrument.
"""
import numbers

import numpy as np

from ..interface import drop_oldest
from ..operators import kernels
from .plan import CONST, STEP, TERM

__all__ = ["Unsupported", "run_panel", "layout_of", "is_elementwise"]

_ELEMENTWISE_KERNELS = frozenset([
    kernels.absolute, kernels.sign, kernels.log, kernels.signed_power, kernels.if_else,
    kernels.minimum, kernels.maximum, kernels.divide,
])


class Unsupported(Exception):
    """The batch must be evaluated instrument by instrument."""


def is_elementwise(func):
    if isinstance(func, np.ufunc) or func in _ELEMENTWISE_KERNELS:
        return True
    ops = getattr(func, "ops", None)  # a chain of elementwise operators
    return type(func).__name__ == "_LeftFold" and ops is not None and all(
        isinstance(op, np.ufunc) for op in ops)


class _Panel:
    __slots__ = ("values", "lengths")

    def __init__(self, values, lengths):
        self.values = values
        self.lengths = lengths


def layout_of(ids, ctx):
    """Where the instruments' valid rows sit in a packed panel (one per context)."""
    instrument = getattr(ctx, "_instrument", None)
    if instrument is not None:  # the context's own valid-row positions
        positions = [instrument(oid)[2] for oid in ids]
    else:
        positions = [np.flatnonzero(ctx.get_mask_for(oid)) for oid in ids]
    return _Layout(positions, ctx.ndays)


def run_panel(plan, roots, shifts, ids, ctx, grids, layout):
    """Evaluate ``roots`` (one per factor, look-backs ``shifts``) into ``grids``."""
    ndays, counts = ctx.ndays, layout.counts
    needed_by = _step_min_shift(plan, roots, shifts)
    values = {}
    terms = {}

    def resolve(ref):
        kind, payload = ref
        if kind == STEP:
            return values[payload]
        if kind == TERM:
            if payload not in terms:
                terms[payload] = _pack_terminal(plan.terms[payload], ids, ctx, layout)
            return terms[payload]
        return payload

    order = sorted(needed_by)
    # free each panel after its last reader: a library's steps would otherwise
    # hold one full panel each until the end
    last_read = {}
    for k in order:
        for kind, payload in plan.steps[k][1]:
            if kind in (STEP, TERM):
                last_read[(kind, payload)] = k
    pending = {}
    for f, root in enumerate(roots):
        if root[0] == STEP:
            pending.setdefault(root[1], []).append(f)
        else:  # a terminal or a constant as the whole expression
            _write(resolve(root), counts > shifts[f], layout, grids[f])
    for k in order:
        func, refs = plan.steps[k]
        args = [resolve(r) for r in refs]
        need = counts > needed_by[k]
        if func is drop_oldest and isinstance(args[0], _Panel):
            cut = args[1]
            if isinstance(cut, bool) or not isinstance(cut, numbers.Integral):
                raise Unsupported()
            values[k] = _Panel(args[0].values, args[0].lengths - int(cut))
        elif is_elementwise(func):
            values[k] = _elementwise(func, args, need)
        else:
            values[k] = _per_column(func, args, need, ndays)
        del args
        for f in pending.pop(k, ()):
            _write(values[k], counts > shifts[f], layout, grids[f])
        for kind, payload in set(r for r in refs if r[0] in (STEP, TERM)):
            if last_read.get((kind, payload)) == k:
                (values if kind == STEP else terms).pop(payload, None)
        if (STEP, k) not in last_read:
            values.pop(k, None)


def _step_min_shift(plan, roots, shifts):
    """Step -> the smallest look-back among the factors that need it: an
    instrument needs the step when it has more valid rows than that."""
    out = {}
    for root, shift in zip(roots, shifts):
        for k in plan.needed(root):
            out[k] = min(out.get(k, shift), shift)
    return out


class _Layout:
    """Where each valid row of each instrument sits in a packed panel.

    An instrument whose valid rows are the last rows of the grid, without a
    gap (it traded every day since its first), is packed as it stands: its
    panel column is its grid column. For the others the flat (column-major)
    positions in the panel and in the grid are kept, one entry per valid row.
    """

    def __init__(self, positions, ndays):
        self.ndays = ndays
        counts = np.array([len(p) for p in positions], dtype=np.int64)
        self.counts = counts
        # valid rows exactly the last ones: the first valid row is the count's from the end
        firsts = np.array([p[0] if len(p) else ndays for p in positions], dtype=np.int64)
        self.as_is = firsts == ndays - counts
        moved = np.flatnonzero(~self.as_is)
        cols = np.repeat(moved.astype(np.int64), counts[moved])
        packed_rows = np.concatenate([np.arange(ndays - counts[i], ndays, dtype=np.int64)
                                      for i in moved]) if len(moved) else np.zeros(0, np.int64)
        rows = np.concatenate([positions[i] for i in moved]).astype(np.int64) \
            if len(moved) else np.zeros(0, np.int64)
        self.cols = cols
        self.packed_rows = packed_rows
        self.packed_flat = packed_rows + cols * ndays
        self.grid_flat = rows + cols * ndays
        self.row_index = np.arange(ndays)[:, None]


def _pack_terminal(node, ids, ctx, layout):
    """The node's values for every instrument, packed."""
    ndays, counts = layout.ndays, layout.counts
    source = getattr(ctx, "_source_of", None)
    kind = None
    if source is not None:
        try:
            kind, payload = source(node)
        except KeyError:
            kind = None
    grid = None
    if kind == "leaf":
        columns = [ctx._instrument(oid)[0] for oid in ids]
        same = columns == list(range(payload.shape[1])) and layout.as_is.all()
        grid = payload if same else payload[:, columns]  # read only: never written
    elif kind == "frame":
        values, columns = payload
        if all(oid in columns for oid in ids):
            grid = values[:, [columns[oid] for oid in ids]]
    elif kind == "grid":
        grid = np.broadcast_to(payload[:, None], (ndays, len(ids)))
    if grid is not None and grid.shape[0] == ndays and grid.dtype == np.float64:
        if layout.as_is.all():
            packed = grid
        else:
            packed = np.array(grid, order="F")  # a copy: moved columns are rewritten
            packed.ravel(order="F")[layout.packed_flat] = \
                np.asfortranarray(grid).ravel(order="F")[layout.grid_flat]
        # the context serves a computed node without the rows its windows consumed
        consumed = getattr(ctx, "_consumed_rows", lambda _: 0)(node)
        return _Panel(packed, np.maximum(counts - int(consumed), 0))
    return _pack_per_instrument(node, ids, ctx, counts, ndays)


def _pack_per_instrument(node, ids, ctx, counts, ndays):
    values = np.full((ndays, len(ids)), np.nan, order="F")
    lengths = np.zeros(len(ids), dtype=np.int64)
    for i, oid in enumerate(ids):
        if counts[i] == 0:
            continue
        v = ctx.get_factor_value(node, oid)
        if isinstance(v, numbers.Real):
            raise Unsupported()
        v = np.asarray(v)
        if v.ndim != 1 or len(v) > ndays or v.dtype != np.float64:
            raise Unsupported()
        values[ndays - len(v):, i] = v
        lengths[i] = len(v)
    return _Panel(values, lengths)


def _elementwise(func, args, need):
    panels = [a for a in args if isinstance(a, _Panel)]
    if not panels:
        return func(*args)
    lengths = panels[0].lengths
    for p in panels[1:]:
        if not np.array_equal(p.lengths[need], lengths[need]):
            raise Unsupported()
    with np.errstate(all="ignore"):
        out = func(*[a.values if isinstance(a, _Panel) else a for a in args])
    out = np.asarray(out)
    if out.shape != panels[0].values.shape:
        raise Unsupported()
    return _Panel(np.asfortranarray(out), lengths)


def _per_column(func, args, need, ndays):
    n = len(need)
    out = None
    lengths = np.zeros(n, dtype=np.int64)
    for i in np.flatnonzero(need):
        column = [a.values[ndays - a.lengths[i]:, i] if isinstance(a, _Panel) else a
                  for a in args]
        r = func(*column)
        if isinstance(r, numbers.Real) or not isinstance(r, np.ndarray) or r.ndim != 1 \
                or len(r) > ndays:
            raise Unsupported()
        if out is None:
            out = np.empty((ndays, n), dtype=r.dtype, order="F")  # padding is never read
        elif r.dtype != out.dtype:
            raise Unsupported()
        out[ndays - len(r):, i] = r
        lengths[i] = len(r)
    if out is None:
        out = np.empty((ndays, n), order="F")
    return _Panel(out, lengths)


def _write(value, active, layout, grid):
    counts, ndays = layout.counts, layout.ndays
    flat = grid.ravel(order="K")
    moved = ~layout.as_is
    if not isinstance(value, _Panel):
        if not isinstance(value, numbers.Real):
            raise Unsupported()
        rows = layout.row_index >= (ndays - counts)[None, :]
        np.copyto(grid, value, where=rows & (active & layout.as_is)[None, :])
        flat[layout.grid_flat[active[layout.cols]]] = value
        return
    lengths = value.lengths
    if np.any(active & ((lengths <= 0) | (lengths > counts))):
        raise Unsupported()  # the per-instrument path reports it
    rows = layout.row_index >= (ndays - lengths)[None, :]
    np.copyto(grid, value.values, where=rows & (active & layout.as_is)[None, :],
              casting="unsafe")
    if moved.any():
        keep = active[layout.cols] & (layout.packed_rows >= ndays - lengths[layout.cols])
        source = np.asfortranarray(value.values).ravel(order="F")
        flat[layout.grid_flat[keep]] = source[layout.packed_flat[keep]]
