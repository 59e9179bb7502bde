"""Fakes for exercising alvora.engine_v2.eval_core in isolation.

Node classes stand in for the factor model, ``FakeContext`` for the execution
context and ``FakeTessal`` for the market-data client; ``install`` puts them in
place of the module's bound names so that the engine sees only the fakes.
"""
import numpy as np
import pandas as pd

import alvora.engine_v2.eval_core as ec


class LeafBase:
    """Stands in for LeafFactor."""


class CrossSectionalBase:
    """Stands in for CrossSectionalFactor."""


class FixedBase:
    """Stands in for FixedFactor."""


class StoredBase(LeafBase):
    """Stands in for alvora.leaf._Factor."""


class Leaf(LeafBase):
    def __init__(self, name):
        self.name = name
        self.expr = self
        self.shift = 0
        self.dependencies = []

    def __repr__(self):
        return "Leaf({})".format(self.name)


class Stored(StoredBase):
    def __init__(self, name, shift=0):
        self.name = name
        self.expr = self
        self.shift = shift
        self.dependencies = []


class Node:
    """An ordinary node: any expression, look-back and dependency list."""

    def __init__(self, expr, shift=0, dependencies=(), use_dma=False):
        self.expr = expr
        self.shift = shift
        self.dependencies = list(dependencies)
        self.use_dma = use_dma


class CrossSectional(CrossSectionalBase):
    """Cross-sectional node computing ``func(*frames)``; records its calls."""

    def __init__(self, sub_factors, func):
        self.sub_factors = list(sub_factors)
        self.func = func
        self.expr = self
        self.shift = 0
        self.dependencies = [self]
        self.calls = []

    def execute(self, *frames):
        self.calls.append(frames)
        return self.func(*frames)


class Fixed(FixedBase):
    def __init__(self, factor, order_book_id):
        self.factor = factor
        self.order_book_id = order_book_id
        self.expr = self
        self.shift = 0
        self.dependencies = [self]


def rank_pct(frame):
    return frame.rank(axis=1, pct=True)


class FakeContext:
    """Serves leaf columns on each instrument's valid rows, and stored node
    values the way the engine expects: frames by column, series right-aligned."""

    def __init__(self, index, masks, fields):
        self.index = pd.DatetimeIndex(index)
        self.ndays = len(self.index)
        self.masks = {k: np.asarray(v) for k, v in masks.items()}
        self.fields = fields  # leaf name -> DataFrame over index x ids
        self.stored = {}
        self.universe_mask = None
        self.log = []

    def get_mask_for(self, order_book_id):
        self.log.append(("mask", order_book_id))
        return self.masks[order_book_id]

    def get_factor_value(self, node, order_book_id):
        self.log.append(("value", node, order_book_id))
        mask = np.asarray(self.masks[order_book_id], dtype=bool)
        if node in self.stored:
            value = self.stored[node]
            if isinstance(value, pd.DataFrame):
                value = value[order_book_id]
            if isinstance(value, pd.Series):
                return value.to_numpy(dtype=float)[mask]
            if isinstance(value, np.ndarray):
                return value[max(len(value) - int(mask.sum()), 0):]
            return value
        return self.fields[node.name][order_book_id].to_numpy(dtype=float)[mask]

    def update(self, node, values):
        self.log.append(("update", node))
        self.stored[node] = values


def make_context(ids, ndays=12, seed=0, gaps=None, start="2024-01-01"):
    """A context over business days with fields close/open; ``gaps`` maps an id
    to the rows where it is not valid (default: every id valid everywhere)."""
    rng = np.random.default_rng(seed)
    index = pd.bdate_range(start, periods=ndays)
    masks = {}
    for oid in ids:
        mask = np.ones(ndays, dtype=bool)
        for row in (gaps or {}).get(oid, ()):
            mask[row] = False
        masks[oid] = mask
    fields = {
        name: pd.DataFrame(rng.normal(10, 2, (ndays, len(ids))), index=index, columns=ids)
        for name in ("close", "open")
    }
    return FakeContext(index, masks, fields)


def expected_column(ctx, oid, values):
    """NaN column with ``values`` right-aligned on the valid rows of ``oid``."""
    out = np.full(ctx.ndays, np.nan)
    rows = np.nonzero(ctx.masks[oid])[0]
    values = np.asarray(values, dtype=float)
    if len(values):
        out[rows[-len(values):]] = values
    return out


class FakeTessal:
    """Market-data client answering from fixed data and recording calls."""

    def __init__(self, latest="2024-03-29", previous="2024-03-28", volume_missing=False,
                 factor_frame=None, calendar=None):
        self.latest = latest
        self.previous = previous
        self.volume_missing = volume_missing
        self.factor_frame = factor_frame
        self.calendar = calendar
        self.calls = []

    def get_latest_trading_date(self):
        self.calls.append(("get_latest_trading_date",))
        return self.latest

    def get_previous_trading_date(self, date):
        self.calls.append(("get_previous_trading_date", date))
        return self.previous

    def all_instruments(self, type, date=None):
        self.calls.append(("all_instruments", type, date))
        return pd.DataFrame({"order_book_id": ["000001.XSHE", "000002.XSHE"]})

    def get_price(self, order_book_ids, start_date, end_date, fields=None):
        self.calls.append(("get_price", order_book_ids, start_date, end_date, fields))
        if self.volume_missing:
            return None
        return pd.DataFrame({"volume": [100.0]})

    def trading_date_offset(self, date, n):
        self.calls.append(("trading_date_offset", date, n))
        if self.calendar is not None:
            pos = self.calendar.searchsorted(pd.Timestamp(date))
            return self.calendar[max(pos + n, 0)]
        return pd.Timestamp(date) + pd.offsets.BDay(n)

    def get_factor(self, order_book_ids, name, start_date, end_date, universe=None,
                   expect_df=None):
        self.calls.append(("get_factor", order_book_ids, name, start_date, end_date,
                           universe, expect_df))
        return self.factor_frame

    def names(self):
        return [c[0] for c in self.calls]


def install(monkeypatch, tessal=None, universe_mask=None, pricing=(), fixed_ids=None,
            context_class=None):
    """Replaces the outside names of eval_core with fakes; returns a record of
    the calls made to the replaced utilities."""
    record = {"use_dma": 0, "universe_mask": []}

    def use_dma(factor):
        record["use_dma"] += 1
        return bool(getattr(factor, "use_dma", False))

    def get_universe_mask(order_book_ids, start_date, end_date, universe):
        record["universe_mask"].append((list(order_book_ids), start_date, end_date, universe))
        return universe_mask

    def get_fixed_order_book_ids(factor, order_book_ids):
        return list(fixed_ids or [])

    def is_cross_sectional(node):
        return isinstance(node, CrossSectionalBase)

    monkeypatch.setattr(ec, "LeafFactor", LeafBase)
    monkeypatch.setattr(ec, "CrossSectionalFactor", CrossSectionalBase)
    monkeypatch.setattr(ec, "FixedFactor", FixedBase)
    monkeypatch.setattr(ec, "_Factor", StoredBase)
    monkeypatch.setattr(ec, "PRICING_FACTORS", set(pricing))
    monkeypatch.setattr(ec, "get_leaves", lambda factor: ["leaves-of", factor])
    monkeypatch.setattr(ec, "use_dma", use_dma)
    monkeypatch.setattr(ec, "is_cross_sectional", is_cross_sectional)
    monkeypatch.setattr(ec, "get_fixed_order_book_ids", get_fixed_order_book_ids)
    monkeypatch.setattr(ec, "get_universe_mask", get_universe_mask)
    if tessal is not None:
        monkeypatch.setattr(ec, "tessal", tessal)
    if context_class is not None:
        monkeypatch.setattr(ec, "ThreadingExecContext", context_class)
    return record


def reference_exec_factor(factor, order_book_ids, ctx, exec_expr):
    """Plain numpy transcription of the per-instrument loop of a node whose
    dependencies are already stored: mask, skip, evaluate, right-align."""
    result = np.full((ctx.ndays, len(order_book_ids)), np.nan, order="F")
    expr, shift = factor.expr, factor.shift
    for i, oid in enumerate(order_book_ids):
        mask = ctx.get_mask_for(oid)
        if mask.sum() <= shift:
            continue
        s = exec_expr(expr, oid, ctx)
        (indexes,) = np.nonzero(mask)
        if np.ndim(s) == 0:
            result[indexes, i] = s
        else:
            result[indexes[-len(s):], i] = s
    return pd.DataFrame(index=ctx.index, columns=order_book_ids, data=result)
