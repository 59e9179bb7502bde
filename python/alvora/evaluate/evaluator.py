"""Several factors evaluated over one execution context.

The rules are the engine's: cross-sectional and fixed nodes are computed first
(from whole frames) and stored in the context; every other node is evaluated
instrument by instrument on the instrument's valid rows, and its value series is
written onto the instrument's last valid rows. What differs is that work is
shared: a cross-sectional or fixed node is computed once for all factors, and
the factors of a batch are evaluated in one pass over the instruments with
their common sub-expressions computed once per instrument.
"""
import bisect
import numbers

import numpy as np
import pandas as pd

from ..cross_sectional import CrossSectionalFactor
from ..fix import FixedFactor
from ..utils import is_cross_sectional, iter_nodes
from .panel import Unsupported, layout_of, run_panel
from .plan import Plan
from .shared_ranks import rank_of_ranks

__all__ = ["Evaluator", "BATCH", "BLOCK", "ENGINE", "NATIVE", "PANEL"]

# Factors per pass over the instruments: bounds the result grids held at once.
# Four share as much work as sixteen did on the alpha library (same CPU time),
# and a streamed run touches a quarter less fresh memory (its page faults).
BATCH = 4

# Instruments per packed panel: panels stay a few MB, in cache, whatever the market.
BLOCK = 256

# True: factors whose dependencies are leaves alone go to the engine's node
# evaluation, one call each (no sharing). Off by default: measured on the alpha
# library it was faster for some trees and slower for others (conditionals).
ENGINE = False

# Factors made of the package's own pieces run as one native program over all
# instruments (shared steps once, the engine's native path for one factor);
# False leaves every factor to the paths below.
NATIVE = True

# Run the steps over all instruments at once where that is exact (see panel.py);
# False evaluates instrument by instrument, as the engine does.
PANEL = True


class Evaluator:
    """Evaluates factors over ``ctx`` for ``order_book_ids`` (the context's
    ``universe_mask`` must be set)."""

    def __init__(self, ctx, order_book_ids):
        self.ctx = ctx
        self.ids = list(order_book_ids)
        self._columns = _columns_of(self.ids)  # shared by the frames: built once
        self._stored = {}  # cross-sectional / fixed node -> value stored in ctx
        self._frames = {}  # cross-sectional node -> its frame
        self._layout = None
        self.shared = None  # ranks carried between look-back groups (shared_ranks.py)
        self.group = 0

    def evaluate(self, factors):
        """One frame over the context's grid per factor, in order."""
        out = [None] * len(factors)
        for batch in self.batches(factors):
            for k, frame in batch:
                out[k] = frame
        return out

    def batches(self, factors):
        """Yields [(index in ``factors``, frame), ...] a batch at a time; nothing of a
        batch is kept here once it is yielded."""
        last_use = self._last_uses(factors)
        for begin in range(0, len(factors), BATCH):
            batch = list(range(begin, min(begin + BATCH, len(factors))))
            frames = self.frames([factors[k] for k in batch])
            self._release([n for n, last in last_use.items() if last < begin + BATCH])
            yield list(zip(batch, frames))
            del frames

    # -- frames ----------------------------------------------------------------

    def frames(self, nodes):
        out = [None] * len(nodes)
        plain = []
        for k, node in enumerate(nodes):
            if isinstance(node, CrossSectionalFactor):
                out[k] = self.cross_sectional(node)
            else:
                plain.append(k)
        if ENGINE:
            # trees over leaves alone gain nothing from shared cross-sections:
            # the engine evaluates them (natively where it can), one call each
            for k in [k for k in plain if _leaves_only(nodes[k])]:
                out[k] = _engine()._exec_factor(nodes[k], self.ids, self.ctx)
            plain = [k for k in plain if out[k] is None]
        for k in plain:
            self._dependencies(nodes[k])
        if plain:
            for k, frame in zip(plain, self._per_instrument([nodes[k] for k in plain])):
                out[k] = frame
        return out

    def cross_sectional(self, node):
        frame = self._frames.get(node)
        if frame is None:
            inner = rank_of_ranks(node)  # a rank of ranks is its inner ranks
            carried = None
            if inner is None and self.shared is not None:
                carried = self.shared.rank(node, self.ctx)
            if inner is not None:
                frame = self.cross_sectional(inner)
            elif carried is not None:
                frame = pd.DataFrame(carried, index=self.ctx.index, columns=self._columns,
                                     copy=False)
            else:
                args = self.frames(list(node.sub_factors))
                mask = self.ctx.universe_mask
                if mask is not None:
                    args = [a.where(mask) for a in args]
                frame = node.execute(*args)
            if self.shared is not None:
                self.shared.offer(node, frame, self.ctx, self.group)
            self._frames[node] = frame
        return frame

    def _fixed(self, node):
        if is_cross_sectional(node.factor):
            return self.cross_sectional(node.factor)[node.order_book_id]
        plan = Plan()
        root = plan.add(node.factor.expr)
        (value,) = plan.run(plan.needed(root), [root], node.order_book_id, self.ctx)
        return value

    def _dependencies(self, node):
        for dep in set(node.dependencies):
            if dep in self._stored:
                continue
            if isinstance(dep, CrossSectionalFactor):
                value = self.cross_sectional(dep)
            elif isinstance(dep, FixedFactor):
                value = self._fixed(dep)
            else:
                continue
            self.ctx.update(dep, value)
            self._stored[dep] = True

    def _per_instrument(self, nodes):
        out = [None] * len(nodes)
        if NATIVE:
            grids = _engine()._exec_native_many(nodes, self.ids, self.ctx)
            for k, grid in enumerate(grids):
                if grid is not None:
                    out[k] = pd.DataFrame(grid, index=self.ctx.index, columns=self._columns,
                                          copy=False)
        rest = [k for k in range(len(nodes)) if out[k] is None]
        if rest:
            for k, frame in zip(rest, self._interpreted([nodes[k] for k in rest])):
                out[k] = frame
        return out

    def _interpreted(self, nodes):
        ctx = self.ctx
        plan = Plan()
        roots = [plan.add(node.expr) for node in nodes]
        shifts = [node.shift for node in nodes]
        # factors sorted by look-back: an instrument with c valid rows runs the
        # factors whose look-back is below c, a prefix of this order
        order = sorted(range(len(nodes)), key=lambda k: shifts[k])
        sorted_shifts = [shifts[k] for k in order]
        steps_for_prefix = []
        needed = set()
        for k in order:
            needed.update(plan.needed(roots[k]))
            steps_for_prefix.append(sorted(needed))
        grids = [np.full((ctx.ndays, len(self.ids)), np.nan, order="F") for _ in nodes]
        if PANEL:
            try:
                if self._layout is None:  # one per block of instruments
                    self._layout = {b: layout_of(self.ids[b:b + BLOCK], ctx)
                                    for b in range(0, len(self.ids), BLOCK)}
                for b, layout in self._layout.items():
                    run_panel(plan, roots, shifts, self.ids[b:b + BLOCK], ctx,
                              [g[:, b:b + BLOCK] for g in grids], layout)
                return [pd.DataFrame(g, index=ctx.index, columns=self._columns, copy=False)
                        for g in grids]
            except Unsupported:
                for g in grids:
                    g.fill(np.nan)
        for i, oid in enumerate(self.ids):
            mask = ctx.get_mask_for(oid)
            count = int(mask.sum())
            active = bisect.bisect_left(sorted_shifts, count)
            if active == 0:
                continue
            chosen = order[:active]
            values = plan.run(steps_for_prefix[active - 1], [roots[k] for k in chosen], oid, ctx)
            (rows,) = np.nonzero(mask)
            for k, v in zip(chosen, values):
                _place(grids[k], i, rows, v, nodes[k], oid)
        return [pd.DataFrame(g, index=ctx.index, columns=self._columns, copy=False)
                for g in grids]

    # -- memory ------------------------------------------------------------------

    def _last_uses(self, factors):
        """Cross-sectional / fixed node -> index of the last factor using it."""
        last = {}
        for k, factor in enumerate(factors):
            for node in iter_nodes(factor):
                if isinstance(node, (CrossSectionalFactor, FixedFactor)):
                    last[node] = k
        return last

    def _release(self, nodes):
        ctx = self.ctx
        for node in nodes:
            self._frames.pop(node, None)
            if self._stored.pop(node, None):
                ctx._computed.pop(node, None)
                ctx._computed_columns.pop(node, None)
        if nodes:
            ctx._sources.clear()


# The identifiers and column index of the last evaluator: an index of a few
# hundred identifiers takes as long to build as a small factor to evaluate, and
# successive evaluations mostly cover the same instruments. Indexes are immutable.
_last_columns = (None, None)


def _columns_of(ids):
    global _last_columns
    known, columns = _last_columns
    try:
        if known == ids:
            return columns
    except (TypeError, ValueError):  # identifiers that do not compare plainly
        pass
    columns = pd.Index(ids)
    _last_columns = (list(ids), columns)
    return columns


def _engine():
    from ..engine_v2 import eval_core

    return eval_core


def _leaves_only(node):
    return not any(isinstance(d, (CrossSectionalFactor, FixedFactor))
                   for d in node.dependencies)


def _place(grid, i, rows, values, node, oid):
    if isinstance(values, numbers.Real):
        grid[rows, i] = values
        return
    values = np.asarray(values)
    if values.ndim != 1 or not 0 < len(values) <= len(rows):
        raise ValueError("{!r} gave values of shape {} for {} on {} valid rows".format(
            node, values.shape, oid, len(rows)))
    grid[rows[len(rows) - len(values):], i] = values
