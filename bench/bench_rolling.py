"""Side-by-side timings of the alvora.rolling kernels.

One generated panel (5000 series x 2500 points, about 1 % NaN). For every
kernel and window: our kernel called once per series (as the engine does)
with every result written into one freshly allocated panel, as bottleneck's
one 2-D call writes its whole panel (the same loop dropping each result is a
second column: it flatters us, the kernel then writing into a hot buffer);
the plain numpy transcription of the window-matrix definition; bottleneck's
move_* on the whole 2-D panel where it computes the same statistic; and
pandas rolling where it has one. Slow anchors run on a subset of series and
are scaled to the whole panel; the table says which. The kernels run at the
instruction-set level alvora.isa() names (ALVORA_ISA lowers it);
--levels times ours at each level given, side by side with bottleneck.

    python bench/bench_rolling.py [--series 5000] [--points 2500]
    python bench/bench_rolling.py --levels baseline avx2 avx512 [--kernels sum ma std]
"""
import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from _rolling_helpers import PAIRWISE, REFERENCES  # noqa: E402

import alvora  # noqa: E402
from alvora import rolling  # noqa: E402

try:
    import bottleneck as bn
except ImportError:  # the table then leaves those columns empty
    bn = None

WINDOWS = (5, 20, 60, 250)
KERNELS = ["sum", "ma", "ema", "wma", "std", "var", "zscore", "skew", "kurt", "avedev",
           "product", "ts_rank", "ts_min", "ts_max", "ts_argmin", "ts_argmax", "count",
           "covariance", "correlation", "regression", "slope"]

BOTTLENECK = {"sum": "move_sum", "ma": "move_mean", "std": "move_std", "var": "move_var",
              "ts_min": "move_min", "ts_max": "move_max", "ts_argmin": "move_argmin",
              "ts_argmax": "move_argmax", "ts_rank": "move_rank"}
PANDAS = {"sum": lambda r: r.sum(), "ma": lambda r: r.mean(), "std": lambda r: r.std(ddof=0),
          "var": lambda r: r.var(ddof=0), "skew": lambda r: r.skew(), "kurt": lambda r: r.kurt(),
          "ts_min": lambda r: r.min(), "ts_max": lambda r: r.max(),
          "ts_rank": lambda r: r.rank(method="max", pct=False)}
PANDAS_PAIR = {"covariance": lambda r, o: r.cov(o, ddof=0), "correlation": lambda r, o: r.corr(o)}
NUMPY_SUBSET = 40      # series timed with the numpy transcription
SLOW_SUBSET = 250      # series timed with move_rank and pandas rank


def make_panel(series, points, seed):
    rng = np.random.default_rng(seed)
    x = 100.0 + np.cumsum(rng.standard_normal((series, points)), axis=1)
    x[rng.random((series, points)) < 0.01] = np.nan
    return x


def timed(fn, repeat=1, clock=time.perf_counter):
    best = float("inf")
    for _ in range(repeat):
        t0 = clock()
        fn()
        best = min(best, clock() - t0)
    return best


def ours(name, a, b, n, panel=True, clock=time.perf_counter):
    """Every series' result written into one fresh panel (or dropped)."""
    k = getattr(rolling, name)
    args = (lambda i: (n, a[i], b[i])) if name in PAIRWISE else (lambda i: (a[i], n))
    if panel:
        def run():
            first = k(*args(0))
            out = np.empty((a.shape[0], first.shape[0]), dtype=first.dtype)
            out[0] = first
            for i in range(1, a.shape[0]):
                out[i] = k(*args(i))
    else:
        def run():
            for i in range(a.shape[0]):
                k(*args(i))
    return timed(run, clock=clock)


def numpy_transcription(name, a, b, n, part):
    """One pass over the part-th run of NUMPY_SUBSET series, scaled to the panel."""
    ref = REFERENCES[name]
    lo = part * NUMPY_SUBSET % max(1, a.shape[0] - NUMPY_SUBSET + 1)
    rows, others = a[lo:lo + NUMPY_SUBSET], b[lo:lo + NUMPY_SUBSET]
    with np.errstate(all="ignore"):
        if name in PAIRWISE:
            t = timed(lambda: [ref(n, rows[i], others[i]) for i in range(len(rows))])
        else:
            t = timed(lambda: [ref(rows[i], n) for i in range(len(rows))])
    return t * a.shape[0] / len(rows)


def bottleneck_time(name, a, n, clock=time.perf_counter):
    if bn is None or name not in BOTTLENECK:
        return None
    fn = getattr(bn, BOTTLENECK[name])
    if name == "ts_rank":
        rows = a[:SLOW_SUBSET]
        return timed(lambda: fn(rows, n, axis=1), clock=clock) * a.shape[0] / len(rows)
    return timed(lambda: fn(a, n, axis=1), repeat=2, clock=clock)


def pandas_time(name, a, b, n):
    if name in PANDAS_PAIR:
        fa, fb = pd.DataFrame(a.T), pd.DataFrame(b.T)
        return timed(lambda: PANDAS_PAIR[name](fa.rolling(n), fb))
    if name not in PANDAS:
        return None
    rows = a[:SLOW_SUBSET] if name == "ts_rank" else a
    frame = pd.DataFrame(rows.T)
    return timed(lambda: PANDAS[name](frame.rolling(n))) * a.shape[0] / rows.shape[0]


def check_agreement(a, n):
    """Bottleneck computes the same where it propagates NaN like we do."""
    if bn is None:
        return
    for name in ("sum", "ma", "std", "var", "ts_min", "ts_max"):
        theirs = getattr(bn, BOTTLENECK[name])(a[:20], n, axis=1)[:, n - 1:]
        mine = np.array([getattr(rolling, name)(a[i], n) for i in range(20)])
        np.testing.assert_allclose(mine, theirs, rtol=1e-7, atol=1e-9, equal_nan=True)


def fmt(t):
    return "-" if t is None else "{:9.1f}".format(t * 1e3)


def ratio(t, base):
    return "-" if t is None else "{:7.1f}x".format(t / base)


def level_times(args, cells):
    """Ours (panel written) at this process's level, best of the rounds, in
    processor time: the levels run in turn on a shared machine."""
    a = make_panel(args.series, args.points, 1)
    b = make_panel(args.series, args.points, 2)
    best = {cell: float("inf") for cell in cells}
    for _ in range(args.rounds):
        for name, n in cells:
            best[(name, n)] = min(best[(name, n)],
                                  ours(name, a, b, n, clock=time.process_time))
    return best


def compare_levels(args):
    """Ours at every level asked for, beside bottleneck. Each level runs in its
    own process, one round at a time, the levels taking turns: a busy spell of
    a shared machine then falls on all of them alike. Processor time, best of
    the rounds; the last column compares the first two levels."""
    cells = [(name, n) for name in args.kernels for n in WINDOWS]
    script = os.path.abspath(__file__)
    times = {level: {} for level in args.levels}
    names = {}
    for part in range(args.rounds):
        for level in args.levels:
            env = dict(os.environ, ALVORA_ISA=level)
            cmd = [sys.executable, script, "--series", str(args.series), "--points",
                   str(args.points), "--rounds", "1", "--kernels", *args.kernels,
                   "--level-json"]
            got = json.loads(subprocess.run(cmd, env=env, check=True, capture_output=True,
                                            text=True).stdout)
            names[level] = got["level"] if got["level"] == level else f"{level}->{got['level']}"
            for cell, t in got["times"].items():
                times[level][cell] = min(times[level].get(cell, float("inf")), t)
        print("round {} of {} done".format(part + 1, args.rounds), file=sys.stderr, flush=True)
    a = make_panel(args.series, args.points, 1)
    print("panel: {} series x {} points; ms of processor time for the whole panel, every result "
          "written into a fresh panel; best of {} rounds; load average {}".format(
              args.series, args.points, args.rounds,
              " ".join("{:.2f}".format(v) for v in os.getloadavg())))
    first, second = args.levels[0], args.levels[1] if len(args.levels) > 1 else None
    head = "{:<12}{:>6}".format("kernel", "n") + \
        "".join("{:>14}".format(names[x]) for x in args.levels) + "{:>10}".format("bottlnck")
    if second:
        head += "{:>16}".format(f"{first}/{second}")
    print(head)
    print("-" * len(head))
    for name, n in cells:
        cell = f"{name}-{n}"
        row = "{:<12}{:>6}".format(name, n)
        row += "".join("{:>14}".format(fmt(times[level][cell])) for level in args.levels)
        row += "{:>10}".format(fmt(bottleneck_time(name, a, n, clock=time.process_time)))
        if second:
            row += "{:>16}".format(ratio(times[first][cell], times[second][cell]))
        print(row)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=5000)
    parser.add_argument("--points", type=int, default=2500)
    parser.add_argument("--kernels", nargs="*", default=KERNELS)
    parser.add_argument("--rounds", type=int, default=5,
                        help="passes over the table timing ours and the numpy transcription "
                             "(best taken)")
    parser.add_argument("--levels", nargs="*", choices=["baseline", "avx2", "avx512"],
                        help="time ours at each of these instruction-set levels")
    parser.add_argument("--level-json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.level_json:
        cells = [(name, n) for name in args.kernels for n in WINDOWS]
        times = level_times(args, cells)
        print(json.dumps({"level": alvora.isa(),
                          "times": {f"{k}-{n}": t for (k, n), t in times.items()}}))
        return
    if args.levels:
        return compare_levels(args)

    a = make_panel(args.series, args.points, 1)
    b = make_panel(args.series, args.points, 2)
    print("panel: {} series x {} points, {:.2%} NaN; times in ms for the whole panel; "
          "instruction-set level {}".format(args.series, args.points, np.isnan(a).mean(),
                                            alvora.isa()))
    print("numpy transcription timed on {} series, move_rank and pandas rank on {}, "
          "then scaled; ours and numpy: best of {} rounds over the table".format(
              NUMPY_SUBSET, SLOW_SUBSET, args.rounds))
    print("ours: every result written into a fresh panel; dropped: each result dropped")
    head = "{:<12}{:>6}{:>10}{:>10}{:>10}{:>10}{:>10}{:>10}{:>10}{:>10}".format(
        "kernel", "n", "ours", "dropped", "numpy", "bottlnck", "pandas", "np/ours", "bn/ours",
        "pd/ours")
    print(head)
    print("-" * len(head))
    for n in WINDOWS:
        check_agreement(a, n)
    # Ours and the numpy transcription are timed once per round, the rounds
    # spread over the whole table: a slow spell of a shared machine then hits
    # both sides alike, and the best of the rounds is kept for each. Every
    # run reads series that are not in the cache, as a pass over a large
    # panel does. Bottleneck and pandas are timed in the first round.
    cells = [(name, n) for name in args.kernels for n in WINDOWS]
    best = {cell: [float("inf"), float("inf"), float("inf"), None, None] for cell in cells}
    for part in range(args.rounds):
        for name, n in cells:
            cell = best[(name, n)]
            cell[0] = min(cell[0], ours(name, a, b, n))
            cell[1] = min(cell[1], ours(name, a, b, n, panel=False))
            cell[2] = min(cell[2], numpy_transcription(name, a, b, n, part))
            if part == 0:
                cell[3] = bottleneck_time(name, a, n)
                cell[4] = pandas_time(name, a, b, n)
        print("round {} of {} done".format(part + 1, args.rounds), file=sys.stderr, flush=True)
    for name, n in cells:
        t_ours, t_drop, t_np, t_bn, t_pd = best[(name, n)]
        print("{:<12}{:>6}{:>10}{:>10}{:>10}{:>10}{:>10}{:>10}{:>10}{:>10}".format(
            name, n, fmt(t_ours), fmt(t_drop), fmt(t_np), fmt(t_bn), fmt(t_pd),
            ratio(t_np, t_ours), ratio(t_bn, t_ours), ratio(t_pd, t_ours)))


if __name__ == "__main__":
    main()
