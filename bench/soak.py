"""Long-running use in one process: resident memory must stay flat.

Runs many kernel calls (every kernel, several windows, float and integer
series), then many execute_factor and study runs on a small generated market,
then switches between two bundles many times; prints the resident set size
after a warm-up and after each phase, and checks that a switched-away bundle
keeps no memory mapping or file handle open. A last phase looks for reference
leaks in the bindings, which the resident size misses when the object is
small: every kernel and execute_factor call must leave its inputs' reference
counts as they were and its result freed with the caller's last reference,
and the memory Python traces (tracemalloc, numpy's array data included) must
not grow over the calls.

    python bench/soak.py                       # 100000 kernel calls, 1000 runs, 200 switches,
                                               # 10000 calls checked for references
    python bench/soak.py --kernel-calls 20000 --runs 50 --switches 10 --max-growth-mb 64

Exits non-zero when the growth over the warm-up exceeds --max-growth-mb, a
switched-away bundle is still mapped or a call leaves a reference behind."""
import argparse
import gc
import itertools
import os
import sys
import tempfile
import time
import tracemalloc
import weakref

import numpy as np


def rss_mb():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2 ** 20


def mapped_files(folder):
    """Memory mappings and open file descriptors of files under `folder`."""
    folder = os.path.realpath(folder)
    with open("/proc/self/maps") as fh:
        maps = [line.split()[-1] for line in fh if folder in line]
    fds = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink("/proc/self/fd/" + fd)
        except OSError:
            continue
        if target.startswith(folder):
            fds.append(target)
    return maps + fds


def kernel_calls(count):
    from alvora import rolling
    pairwise = {"covariance", "correlation", "regression"}
    names = sorted(n for n in dir(rolling) if n.islower() and callable(getattr(rolling, n))
                   and n not in ("chain", "rolling_window", "np"))
    rng = np.random.default_rng(0)
    x = rng.normal(size=500)
    x[::37] = np.nan
    inputs = [x, x.astype(np.float32), (x > 0), np.nan_to_num(x * 100).astype(np.int64)]
    cells = itertools.cycle(itertools.product(names, (1, 5, 60, 250), range(len(inputs))))
    for _ in range(count):
        name, n, k = next(cells)
        kernel = getattr(rolling, name)
        s = inputs[k]
        kernel(n, s, x) if name in pairwise else kernel(s, n)


def engine_and_study_runs(count, ids):
    import pandas as pd
    from alvora.analysis.study_bench import (FactorStudyBench, ICAnalysis, Normalization,
                                             QuantileReturnAnalysis, Winzorization)
    from alvora.engine_v2.eval_core import execute_factor
    from alvora.leaf import close, volume
    from alvora.rolling import CORRELATION, MA, TS_RANK
    factor = CORRELATION(close, volume, 10) - MA(close, 5) / close + TS_RANK(volume, 5)
    returns = None
    for i in range(count):
        frame = execute_factor(factor, ids, "2020-03-02", "2020-06-30")
        if returns is None:
            rng = np.random.default_rng(1)
            returns = pd.DataFrame(rng.normal(0, 0.02, frame.shape), index=frame.index,
                                   columns=frame.columns)
        bench = FactorStudyBench()
        bench.append(("winsorize", Winzorization("mad")))
        bench.append(("normalize", Normalization()))
        bench.append(("ic", ICAnalysis(rank_ic=bool(i % 2))))
        bench.append(("quantile", QuantileReturnAnalysis(quantile=3)))
        bench.analysis(frame, returns, periods=(1, 5))


def bundle_switches(count, first, second, ids):
    import tessal
    for i in range(count):
        path = first if i % 2 == 0 else second
        tessal.init(path)
        tessal.get_price(ids, "2020-03-02", "2020-06-30", fields="close")
    tessal.init(second)
    tessal.get_price(ids, "2020-03-02", "2020-06-30", fields="close")
    gc.collect()
    return mapped_files(first)


def leaked_references(count, ids):
    """Runs `count` kernel calls and count / 100 execute_factor calls; returns
    the names whose calls kept a reference (to an input, or to a result after
    the caller dropped it) and the growth of traced memory, in bytes, over
    all the calls (measured after a first round)."""
    from alvora import rolling
    from alvora.engine_v2.eval_core import execute_factor
    from alvora.leaf import close, volume
    from alvora.rolling import CORRELATION, TS_RANK
    pairwise = {"covariance", "correlation", "regression"}
    names = sorted(n for n in dir(rolling) if n.islower() and callable(getattr(rolling, n))
                   and n not in ("chain", "rolling_window", "np"))
    rng = np.random.default_rng(2)
    x = rng.normal(size=300)
    x[::29] = np.nan
    inputs = [x, x.astype(np.float32), x > 0, np.nan_to_num(x * 100).astype(np.int64)]
    factor = CORRELATION(close, volume, 10) - TS_RANK(volume, 5)
    calls = [(name, n, k) for name in names for n in (1, 5, 60) for k in range(len(inputs))]
    leaked = set()

    def call(job):
        if job == "execute_factor":
            return execute_factor(factor, ids, "2020-03-02", "2020-06-30")
        name, n, k = job
        kernel = getattr(rolling, name)
        return kernel(n, inputs[k], x) if name in pairwise else kernel(inputs[k], n)

    def run(jobs):
        for job in jobs:
            result = call(job)
            alive = weakref.ref(result)  # numpy arrays and frames take weak references
            del result
            if alive() is not None:
                leaked.add(job if isinstance(job, str) else job[0])

    plan = list(itertools.islice(itertools.cycle(calls), count))
    plan += ["execute_factor"] * max(1, count // 100)
    run(plan[:len(calls)] + ["execute_factor"])  # first calls fill caches
    counts = [sys.getrefcount(s) for s in inputs]
    gc.collect()
    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    run(plan)
    gc.collect()
    growth = tracemalloc.get_traced_memory()[0] - start
    tracemalloc.stop()
    now = [sys.getrefcount(s) for s in inputs]  # counted the same way as before the calls
    leaked.update("an input of dtype {}".format(s.dtype)
                  for s, a, b in zip(inputs, counts, now) if a != b)
    return sorted(leaked), growth


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kernel-calls", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=1000, help="execute_factor + study runs")
    parser.add_argument("--switches", type=int, default=200, help="bundle switches")
    parser.add_argument("--reference-calls", type=int, default=10_000,
                        help="calls checked for leaked references")
    parser.add_argument("--max-growth-mb", type=float, default=None,
                        help="fail when memory grows more than this over the warm-up")
    args = parser.parse_args(argv)

    import tessal
    from tessal.bundle import generate_market
    work = tempfile.mkdtemp(prefix="alvora_soak_")
    first = generate_market(os.path.join(work, "a"), n_instruments=20, start="2020-01-02",
                            end="2020-12-31", seed=1)
    second = generate_market(os.path.join(work, "b"), n_instruments=20, start="2020-01-02",
                             end="2020-12-31", seed=2)
    tessal.init(first)
    ids = list(tessal.all_instruments("CS").order_book_id[:15])

    # warm-up: first calls fill caches, import modules and grow the allocator's pools
    kernel_calls(max(1, args.kernel_calls // 10))
    engine_and_study_runs(max(1, args.runs // 10), ids)
    gc.collect()
    base = rss_mb()
    print("resident after warm-up: {:.1f} MB".format(base))

    growth = 0.0
    phases = [("kernel calls", args.kernel_calls, lambda: kernel_calls(args.kernel_calls)),
              ("execute_factor + study runs", args.runs,
               lambda: engine_and_study_runs(args.runs, ids))]
    for label, count, run in phases:
        t = time.perf_counter()
        run()
        gc.collect()
        now = rss_mb()
        growth = max(growth, now - base)
        print("{:>8} {:<28} {:7.1f} s   resident {:7.1f} MB   growth {:+6.1f} MB".format(
            count, label, time.perf_counter() - t, now, now - base))
    left = bundle_switches(args.switches, first, second, ids)
    now = rss_mb()
    growth = max(growth, now - base)
    print("{:>8} {:<28} still mapped from the first bundle: {}   resident {:7.1f} MB".format(
        args.switches, "bundle switches", len(left), now))
    print("resident growth over warm-up: {:+.1f} MB".format(growth))
    leaked, traced = leaked_references(args.reference_calls, ids)
    # a result array kept per call adds its size (over 300 bytes here) every
    # call; what caches keep stays far below that
    traced_limit = 64 * args.reference_calls
    print("{:>8} {:<28} references kept: {}   traced growth {:+.1f} KB".format(
        args.reference_calls, "reference checks", len(leaked), traced / 1024))
    failed = bool(left)
    if leaked:
        print("FAIL: calls keep references: {}".format(", ".join(map(str, leaked))))
        failed = True
    if traced > traced_limit:
        print("FAIL: traced memory grew by {} bytes over {} calls".format(
            traced, args.reference_calls))
        failed = True
    if args.max_growth_mb is not None and growth > args.max_growth_mb:
        print("FAIL: growth above {} MB".format(args.max_growth_mb))
        failed = True
    if left:
        print("FAIL: the first bundle is still open: {}".format(sorted(set(left))[:5]))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
