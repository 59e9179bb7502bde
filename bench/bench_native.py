"""Native tree evaluation against its anchors, on the large generated market.

Two tables, each timed after the execution context is built (data loading is
on neither side):

1. ``-1 * TS_RANK(CS_RANK(low), 9)`` over every stock (5000) and the last 200
   trading dates: execute_factor with whole trees compiled into native programs,
   beside the same engine with that path switched off (every node evaluated
   instrument by instrument through kernel calls: the path taken before).
2. Single window kernels over the whole panel (5000 instruments x ~2500 dates):
   execute_factor of MA, SUM, STD, TS_MAX, TS_ARGMIN and TS_RANK beside
   bottleneck's one two-dimensional call for the same statistic over the close
   panel with NaN on the invalid rows (move_mean, move_sum, move_std, move_max,
   move_argmin, move_rank). Both sides compute and write the whole panel.
   Ratios are bottleneck / engine (above 1: the engine is faster).
3. ``(close - open) / ((high - low) + 0.001)`` over the whole panel through
   execute_factor, beside pandas on the four price frames with NaN on the
   invalid rows (the same four operations on the same cells).

Figures are best-of-N wall clock and CPU time of this process; on a shared
machine the CPU time is the steadier of the two. The rounds run both sides one
after the other; the kernel table also gives the ratio of the median CPU times,
which a single lucky round cannot move.

Run:  python bench/bench_native.py [--small] [--repeat N] [--only tree|kernels|elementwise]
"""
import argparse
import gc
import os
import time
import warnings

import bottleneck as bn
import numpy as np
import pandas as pd

import tessal
import alvora._isa as _isa
import alvora.engine_v2.eval_core as ec
from alvora import rolling
from alvora.cross_sectional import CS_RANK
from alvora.engine_v2.exec_context import ThreadingExecContext
from alvora.leaf import close, high, low, open as open_
from alvora.utils import get_leaves


def instruction_set():
    try:
        with open("/proc/cpuinfo") as f:
            flags = next(line for line in f if line.startswith("flags")).split()
    except (OSError, StopIteration):
        return "unknown"
    return "AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else "baseline"


def rounds(repeat, **fns):
    """Wall-clock and CPU times of each function in every round; a round runs
    them one after the other, so a busy machine slows all of them alike. The
    CPU time (this process only) says what the work costs when other jobs
    share the cores."""
    wall = {name: [] for name in fns}
    cpu = {name: [] for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            gc.collect()
            t0, c0 = time.perf_counter(), time.process_time()
            fn()
            wall[name].append(time.perf_counter() - t0)
            cpu[name].append(time.process_time() - c0)
    return wall, cpu


def interleaved(repeat, **fns):
    """Best wall-clock and best CPU time of each function over the rounds."""
    wall, cpu = rounds(repeat, **fns)
    return ({name: min(t) for name, t in wall.items()},
            {name: min(t) for name, t in cpu.items()})


class PerInstrumentPath:
    """Switches the native tree path off: _exec_expr is no longer the original."""

    def __enter__(self):
        self._original = ec._exec_expr
        original = self._original
        ec._exec_expr = lambda e, oid, ctx: original(e, oid, ctx)

    def __exit__(self, *exc):
        ec._exec_expr = self._original


def execute(factor, ids, start, end, ctx):
    return ec.execute_factor(factor, ids, start, end, exec_context_class=lambda *a, **k: ctx)


def tree_table(ids, end, repeat):
    factor = -1 * rolling.TS_RANK(CS_RANK(low), 9)
    start = tessal.trading_date_offset(pd.Timestamp(end), -199)
    leaf_start = tessal.trading_date_offset(start, -factor.shift)
    ctx = ThreadingExecContext(get_leaves(factor), ids, leaf_start, pd.Timestamp(end))

    def per_instrument():
        with PerInstrumentPath():
            return execute(factor, ids, start, end, ctx)

    native = execute(factor, ids, start, end, ctx)
    reference = per_instrument()
    np.testing.assert_allclose(native.to_numpy(), reference.to_numpy(), rtol=1e-12, atol=1e-12)
    wall, cpu = interleaved(repeat, native=lambda: execute(factor, ids, start, end, ctx),
                            per_instrument=per_instrument)
    print("execute_factor of -1 * TS_RANK(CS_RANK(low), 9): {} instruments x {} dates".format(
        len(ids), len(native)))
    print("{:<44} {:>10} {:>16} {:>8}".format("seconds after data loading", "native",
                                             "per-instrument", "ratio"))
    for label, t in (("wall clock", wall), ("CPU time of this process", cpu)):
        print("{:<44} {:>10.4f} {:>16.4f} {:>7.1f}x".format(
            label, t["native"], t["per_instrument"], t["per_instrument"] / t["native"]))


KERNELS = [  # operator, bottleneck's two-dimensional call
    ("MA", rolling.MA, lambda a, n: bn.move_mean(a, n, axis=0)),
    ("SUM", rolling.SUM, lambda a, n: bn.move_sum(a, n, axis=0)),
    ("STD", rolling.STD, lambda a, n: bn.move_std(a, n, axis=0)),
    ("TS_MAX", rolling.TS_MAX, lambda a, n: bn.move_max(a, n, axis=0)),
    ("TS_ARGMIN", rolling.TS_ARGMIN, lambda a, n: bn.move_argmin(a, n, axis=0)),
    ("TS_RANK", rolling.TS_RANK, lambda a, n: bn.move_rank(a, n, axis=0)),
]


def kernel_table(ids, first, end, windows, repeat):
    dates = tessal.get_trading_dates(first, end)
    first, end = pd.Timestamp(dates[0]), pd.Timestamp(dates[-1])
    ctx = ThreadingExecContext([close], ids, first, end)
    traded = np.column_stack([ctx.get_mask_for(oid) for oid in ids])
    panel = np.asfortranarray(np.where(traded, ctx._fields[close], np.nan))
    print("single kernels: {} instruments x {} dates, whole panel on both sides".format(
        len(ids), ctx.ndays))
    print("{:<16} {:>9} {:>11} {:>8} {:>9} {:>11} {:>8} {:>8}".format(
        "seconds", "engine", "bottleneck", "ratio", "engine", "bottleneck", "ratio", "median"))
    print("{:<16} {:^30} {:^39}".format("", "best wall clock", "best CPU time; ratio of medians"))
    for name, operator, anchor in KERNELS:
        for n in windows:
            factor = operator(close, n)
            start = dates[n - 1]
            wall, cpu = rounds(repeat, engine=lambda: execute(factor, ids, start, end, ctx),
                               bottleneck=lambda: anchor(panel, n))
            w = {side: min(t) for side, t in wall.items()}
            c = {side: min(t) for side, t in cpu.items()}
            median = float(np.median(cpu["bottleneck"]) / np.median(cpu["engine"]))
            print("{:<16} {:>9.4f} {:>11.4f} {:>7.2f}x {:>9.4f} {:>11.4f} {:>7.2f}x {:>7.2f}x".format(
                "{}({})".format(name, n), w["engine"], w["bottleneck"],
                w["bottleneck"] / w["engine"], c["engine"], c["bottleneck"],
                c["bottleneck"] / c["engine"], median))


def elementwise_table(ids, first, end, repeat):
    factor = (close - open_) / ((high - low) + 0.001)
    ctx = ThreadingExecContext(get_leaves(factor), ids, pd.Timestamp(first), pd.Timestamp(end))
    traded = np.column_stack([ctx.get_mask_for(oid) for oid in ids])
    frames = {leaf: pd.DataFrame(np.where(traded, ctx._fields[leaf], np.nan), index=ctx.index,
                                 columns=ids) for leaf in (close, open_, high, low)}

    def with_pandas():
        return (frames[close] - frames[open_]) / ((frames[high] - frames[low]) + 0.001)

    native = execute(factor, ids, first, end, ctx)
    np.testing.assert_allclose(native.to_numpy(), with_pandas().to_numpy(), rtol=1e-12)
    wall, cpu = interleaved(repeat, engine=lambda: execute(factor, ids, first, end, ctx),
                            pandas=with_pandas)
    print("(close - open) / ((high - low) + 0.001): {} instruments x {} dates".format(
        len(ids), ctx.ndays))
    print("{:<44} {:>10} {:>10} {:>8}".format("seconds", "engine", "pandas", "ratio"))
    for label, t in (("wall clock", wall), ("CPU time of this process", cpu)):
        print("{:<44} {:>10.4f} {:>10.4f} {:>7.2f}x".format(label, t["engine"], t["pandas"],
                                                            t["pandas"] / t["engine"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--small", action="store_true",
                        help="a 500-instrument, one-year market instead (quick check)")
    parser.add_argument("--repeat", type=int, default=5, help="rounds per figure (default 5)")
    parser.add_argument("--only", choices=("tree", "kernels", "elementwise"),
                        help="run one table")
    args = parser.parse_args()
    if args.small:
        path = tessal.bundle.ensure_bundle(tessal.bundle.cache_dir() + "/bench-engine-small",
                                           n_instruments=500, start="2022-01-04",
                                           end="2022-12-30", seed=1)
        first, end, windows = "2022-01-04", "2022-12-30", (5, 20)
    else:
        path = tessal.bundle.build_large_bundle()
        first, end, windows = "2014-01-02", "2023-12-29", (5, 20, 60, 250)
    tessal.init(path)
    ids = list(tessal.all_instruments("CS").order_book_id)
    print("instruction set: {} (kernels run at level {}); load average before: {:.1f} "
          "(2 cores shared)".format(instruction_set(), _isa.isa(), os.getloadavg()[0]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if args.only in (None, "tree"):
            tree_table(ids, end, args.repeat)
            print()
        if args.only in (None, "kernels"):
            kernel_table(ids, first, end, windows, args.repeat)
            print()
        if args.only in (None, "elementwise"):
            elementwise_table(ids, first, end, args.repeat)
    print("load average after: {:.1f}".format(os.getloadavg()[0]))


if __name__ == "__main__":
    main()
