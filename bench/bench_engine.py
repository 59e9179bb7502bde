"""Benchmark of execute_factor against a plain numpy/pandas transcription.

Factor: CS_RANK((close - open) / (high - low)) over every stock of the large
generated market (5000 instruments x about 2500 trading dates; generated once
into the tessal cache on first run, which takes a few minutes).  Prints:

- data loading: construction of the execution context;
- execute_factor on the built context (the context serves every instrument's
  mask and leaf series; the cross-sectional rank is part of it);
- the per-instrument loop of the inner node on the same series prefetched
  into dictionaries, which leaves out the context's serving cost, and the
  kernels (numpy ufuncs) within it;
- engine overhead: that loop minus the kernels;
- each beside a straightforward Python transcription of the engine's
  algorithm run on the same context, with the ratio transcription / engine.

Run:  python bench/bench_engine.py [--small] [--repeat N]
"""
import argparse
import gc
import numbers
import time
import warnings

import numpy as np
import pandas as pd

import tessal
import alvora.engine_v2.eval_core as ec
from alvora.cross_sectional import CS_RANK, CrossSectionalFactor
from alvora.engine_v2.exec_context import ThreadingExecContext, get_universe_mask
from alvora.fix import FixedFactor
from alvora.interface import LeafFactor
from alvora.leaf import close, high, low, open as open_
from alvora.utils import get_fixed_order_book_ids, get_leaves, use_dma


# ---- the transcription: the engine's algorithm written directly in Python ----------------------

def py_exec_expr(expr, order_book_id, ctx):
    if isinstance(expr, numbers.Real):
        return expr
    if isinstance(expr, (LeafFactor, CrossSectionalFactor, FixedFactor)):
        return ctx.get_factor_value(expr, order_book_id)
    if not isinstance(expr, tuple):
        return expr
    func, args = expr
    return func(*[py_exec_expr(a, order_book_id, ctx) for a in args])


def py_exec_cross_sectional(factor, order_book_ids, ctx):
    args = [py_exec_factor(f, order_book_ids, ctx) for f in factor.sub_factors]
    if ctx.universe_mask is not None:
        args = [a.where(ctx.universe_mask) for a in args]
    return factor.execute(*args)


def py_exec_factor(factor, order_book_ids, ctx):
    if isinstance(factor, CrossSectionalFactor):
        return py_exec_cross_sectional(factor, order_book_ids, ctx)
    for f in set(factor.dependencies):
        if isinstance(f, CrossSectionalFactor):
            ctx.update(f, py_exec_cross_sectional(f, order_book_ids, ctx))
    result = np.full((ctx.ndays, len(order_book_ids)), np.nan, order="F")
    expr, shift = factor.expr, factor.shift
    for i, oid in enumerate(order_book_ids):
        mask = ctx.get_mask_for(oid)
        if mask.sum() <= shift:
            continue
        s = py_exec_expr(expr, oid, ctx)
        (indexes,) = np.nonzero(mask)
        if isinstance(s, numbers.Real):
            result[indexes, i] = s
        else:
            result[indexes[-len(s):], i] = s
    return pd.DataFrame(index=ctx.index, columns=order_book_ids, data=result)


def py_ensure_end_date(end_date):
    date = pd.Timestamp(tessal.get_latest_trading_date())
    if not end_date >= date:
        return end_date
    probe = tessal.all_instruments("CS", date=date)["order_book_id"][0]
    if tessal.get_price(probe, date, date, fields="volume") is None:
        prev_date = tessal.get_previous_trading_date(date)
        warnings.warn("volumes at {} is not available currently! fallback to date: {}!".format(
            end_date, prev_date))
        return prev_date
    if end_date > date:
        warnings.warn("volumes after {} is not available currently! fallback to date: {}!"
                      .format(date, date))
    return date


def py_execute(factor, order_book_ids, start_date, end_date, exec_context_class):
    start_date, end_date = pd.Timestamp(start_date), pd.Timestamp(end_date)
    leaves = get_leaves(factor)
    leaf_start_date = start_date
    if factor.shift > 0:
        n = -factor.shift - 126 if use_dma(factor) else -factor.shift
        leaf_start_date = tessal.trading_date_offset(start_date, n)
    end_date = py_ensure_end_date(end_date)
    fixed = get_fixed_order_book_ids(factor, order_book_ids)
    ctx = exec_context_class(leaves, order_book_ids + fixed, leaf_start_date, end_date,
                             universe=None)
    universe_mask = get_universe_mask(order_book_ids, leaf_start_date, end_date, None)
    ctx.universe_mask = universe_mask
    df = py_exec_factor(factor, order_book_ids, ctx)
    if universe_mask is None:
        return df.loc[start_date:end_date]
    return df.where(universe_mask).loc[start_date:end_date]


# ---- measuring -----------------------------------------------------------------------------

def best_of(repeat, fn):
    times, value = [], None
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        value = fn()
        times.append(time.perf_counter() - t0)
    return min(times), value


class PrefetchedContext:
    """The built context's masks and leaf series, fetched once and served from
    dictionaries, so that timing the engine on it leaves out the context's own
    serving cost."""

    def __init__(self, ctx, leaves, ids):
        self.ndays, self.index, self.universe_mask = ctx.ndays, ctx.index, ctx.universe_mask
        self._masks = {oid: ctx.get_mask_for(oid) for oid in ids}
        self._values = {id(leaf): {oid: ctx.get_factor_value(leaf, oid) for oid in ids}
                        for leaf in leaves}

    def get_mask_for(self, order_book_id):
        return self._masks[order_book_id]

    def get_factor_value(self, node, order_book_id):
        return self._values[id(node)][order_book_id]

    def update(self, node, values):
        raise AssertionError("the benchmark tree stores nothing")


def kernel_runner(ctx, ids):
    """The kernels alone on the served series."""
    series = [[ctx.get_factor_value(leaf, oid) for leaf in (open_, close, high, low)]
              for oid in ids]

    def kernels():
        for o, c, h, lo in series:
            np.divide(np.subtract(c, o), np.subtract(h, lo))

    return kernels


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--small", action="store_true",
                        help="use a 500-instrument, one-year market instead (quick check)")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    if args.small:
        path = tessal.bundle.ensure_bundle(tessal.bundle.cache_dir() + "/bench-engine-small",
                                           n_instruments=500, start="2022-01-04",
                                           end="2022-12-30", seed=1)
        start, end = "2022-01-04", "2022-12-30"
    else:
        path = tessal.bundle.build_large_bundle()
        start, end = "2014-01-02", "2023-12-29"
    tessal.init(path)
    # Division by a zero high-low range is expected; its warnings are noise here.
    np.seterr(all="ignore")
    ids = list(tessal.all_instruments("CS").order_book_id)
    inner = (close - open_) / (high - low)
    factor = CS_RANK(inner)
    start_ts, end_ts = pd.Timestamp(start), pd.Timestamp(end)

    load_time, ctx = best_of(1, lambda: ThreadingExecContext(get_leaves(factor), ids, start_ts,
                                                              end_ts, universe=None))
    fast = PrefetchedContext(ctx, [open_, close, high, low], ids)

    def built(*a, **k):
        return ctx

    def interleaved(repeat, **fns):
        """Best time of each function over rounds that run them one after the
        other, so a busy machine slows all of them alike."""
        best = {name: float("inf") for name in fns}
        for _ in range(repeat):
            for name, fn in fns.items():
                gc.collect()
                t0 = time.perf_counter()
                fn()
                best[name] = min(best[name], time.perf_counter() - t0)
        return best

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = ec.execute_factor(factor, ids, start, end, exec_context_class=built)
        want = py_execute(factor, ids, start, end, built)
        pd.testing.assert_frame_equal(got, want)
        pd.testing.assert_frame_equal(ec._exec_factor(inner, ids, fast),
                                      py_exec_factor(inner, ids, fast))
        rank_input = py_exec_factor(inner, ids, fast)
        t = interleaved(
            args.repeat,
            engine_full=lambda: ec.execute_factor(factor, ids, start, end,
                                                  exec_context_class=built),
            py_full=lambda: py_execute(factor, ids, start, end, built),
            engine_loop=lambda: ec._exec_factor(inner, ids, fast),
            py_loop=lambda: py_exec_factor(inner, ids, fast),
            kernels=kernel_runner(fast, ids),
            rank=lambda: factor.execute(rank_input),
        )

    print("execute_factor of CS_RANK((close - open) / (high - low))")
    print("market: {} instruments x {} trading dates ({} .. {}), best of {}".format(
        len(ids), ctx.ndays, start, end, args.repeat))
    print()
    print("{:<60} {:>8} {:>12} {:>7}".format("seconds", "engine", "transcribed", "ratio"))

    def row(label, mine, theirs=None):
        if theirs is None:
            print("{:<60} {:>8.3f}".format(label, mine))
        else:
            print("{:<60} {:>8.3f} {:>12.3f} {:>6.2f}x".format(label, mine, theirs,
                                                               theirs / mine))

    overhead = t["engine_loop"] - t["kernels"]
    row("data loading (execution context construction)", load_time)
    row("execute_factor on the built context", t["engine_full"], t["py_full"])
    row("  cross-sectional rank (execute, the same in both)", t["rank"])
    row("per-instrument loop of the inner node, prefetched series", t["engine_loop"],
        t["py_loop"])
    row("  kernels (numpy ufuncs, 3 per instrument)", t["kernels"])
    row("engine overhead (loop - kernels)", overhead, t["py_loop"] - t["kernels"])
    print()
    print("engine overhead / data loading: {:.1%}".format(overhead / load_time))


if __name__ == "__main__":
    main()
