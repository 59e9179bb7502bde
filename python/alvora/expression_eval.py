"""Evaluation of a factor tree through the execution context, in Python.

The command line uses this when the compiled engine is not available. The
rules are the engine's: cross-sectional and fixed nodes are computed first and
stored in the context; every other node is evaluated instrument by instrument
on the instrument's valid rows and its value series is written onto the last
valid rows.
"""
import numbers

import numpy as np
import pandas as pd

import tessal

from .cross_sectional import CrossSectionalFactor
from .engine_v2.exec_context import PRICING_FACTORS, ThreadingExecContext, get_universe_mask
from .fix import FixedFactor
from .interface import LeafFactor
from .leaf import _Factor
from .utils import get_fixed_order_book_ids, get_leaves, is_cross_sectional, use_dma

__all__ = ["evaluate_factor", "evaluate_frame"]

WARM_UP_ROWS = 126


def evaluate_factor(factor, order_book_ids, start_date, end_date, universe=None):
    """A factor frame (trading dates ``start_date``..``end_date`` x
    ``order_book_ids``) of ``factor``."""
    order_book_ids = list(order_book_ids)
    if isinstance(factor, _Factor) and factor not in PRICING_FACTORS:
        table = tessal.get_factor(order_book_ids, factor.name, start_date, end_date,
                                  universe=universe, expect_df=True)
        frame = table[factor.name].unstack("order_book_id")
        mask = get_universe_mask(order_book_ids, start_date, end_date, universe)
        return frame if mask is None else frame.where(mask)
    start_date, end_date = pd.Timestamp(start_date), pd.Timestamp(end_date)
    end_date = min(end_date, pd.Timestamp(tessal.get_latest_trading_date()))
    leaf_start = start_date
    if factor.shift > 0:
        back = factor.shift + (WARM_UP_ROWS if use_dma(factor) else 0)
        leaf_start = tessal.trading_date_offset(start_date, -back)
    ids = order_book_ids + get_fixed_order_book_ids(factor, order_book_ids)
    ctx = ThreadingExecContext(get_leaves(factor), ids, leaf_start, end_date, universe=universe)
    ctx.universe_mask = get_universe_mask(order_book_ids, leaf_start, end_date, universe)
    frame = evaluate_frame(factor, order_book_ids, ctx)
    if ctx.universe_mask is not None:
        frame = frame.where(ctx.universe_mask)
    return frame.loc[start_date:end_date]


def evaluate_frame(factor, order_book_ids, ctx):
    """``factor`` over the context's whole date grid, one column per id."""
    if isinstance(factor, CrossSectionalFactor):
        return _cross_sectional(factor, order_book_ids, ctx)
    for dep in set(factor.dependencies):
        if isinstance(dep, CrossSectionalFactor):
            ctx.update(dep, _cross_sectional(dep, order_book_ids, ctx))
        elif isinstance(dep, FixedFactor):
            ctx.update(dep, _fixed(dep, order_book_ids, ctx))
    out = np.full((ctx.ndays, len(order_book_ids)), np.nan, order="F")
    expr, shift = factor.expr, factor.shift
    for i, oid in enumerate(order_book_ids):
        mask = ctx.get_mask_for(oid)
        if mask.sum() <= shift:
            continue
        values = _expr(expr, oid, ctx)
        (rows,) = np.nonzero(mask)
        if isinstance(values, numbers.Real):
            out[rows, i] = values
        else:
            values = np.asarray(values)
            if values.ndim != 1 or not 0 < len(values) <= len(rows):
                raise ValueError("{!r} gave {} values for {} on {} valid rows".format(
                    factor, values.shape, oid, len(rows)))
            out[rows[len(rows) - len(values):], i] = values
    return pd.DataFrame(out, index=ctx.index, columns=order_book_ids)


def _expr(expr, oid, ctx):
    if isinstance(expr, numbers.Real):
        return expr
    if isinstance(expr, (LeafFactor, CrossSectionalFactor, FixedFactor)):
        return ctx.get_factor_value(expr, oid)
    if not isinstance(expr, tuple):
        return expr
    func, args = expr
    return func(*[_expr(a, oid, ctx) for a in args])


def _cross_sectional(factor, order_book_ids, ctx):
    frames = [evaluate_frame(f, order_book_ids, ctx) for f in factor.sub_factors]
    if ctx.universe_mask is not None:
        frames = [f.where(ctx.universe_mask) for f in frames]
    return factor.execute(*frames)


def _fixed(factor, order_book_ids, ctx):
    if is_cross_sectional(factor.factor):
        return _cross_sectional(factor.factor, order_book_ids, ctx)[factor.order_book_id]
    return _expr(factor.factor.expr, factor.order_book_id, ctx)
