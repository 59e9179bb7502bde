"""A research library of 15 common factors, evaluated with one call.

    python bench/bench_library.py [--market default|large] [--instruments N] [--rounds R]

The factors are the usual kinds of a price-volume library: means, standard
deviation, correlation, rolling rank, maxima and minima, position of the
maximum, slope, R-squared and residual of a linear trend, weighted and
exponential means, a volume ratio, a covariance and the 5-day return. Timed
with data loading included, over all dates of the market:

- ``execute_factors``: the whole library in one call;
- anchor: ``execute_factor`` once per factor (what a user does without it);
- the share of loading: the execution context alone, for the library's leaves
  from the earliest date its look-backs need;
- where the one call's time went: loading, evaluation, frame building (the
  rest is date handling and releasing the loaded data).

Values are checked to agree (1e-12, NaN positions exact). Best wall clock and
best CPU time of this process over ``--rounds`` interleaved rounds (on a shared
machine the CPU time is the steadier), with its user / system split: the system
time is mostly the first touch of new memory (the loaded fields and one result
grid per factor).
"""
import argparse
import gc
import os
import time

import numpy as np
import pandas as pd

import tessal
from alvora.engine_v2.eval_core import execute_factor
from alvora.engine_v2.exec_context import ThreadingExecContext
from alvora.evaluate import execute_factors
from bench_native import instruction_set as _instruction_set
from alvora.expression import parse_factor
from alvora.utils import get_leaves

N = 20
LIBRARY = {
    "ma20": "MA(close, 20) / close",
    "std20": "STD(close, 20) / close",
    "corr_cv10": "CORRELATION(close, LOG(volume + 1), 10)",
    "rank10": "TS_RANK(close, 10)",
    "max20": "TS_MAX(high, 20) / close",
    "min20": "TS_MIN(low, 20) / close",
    "argmax20": "TS_ARGMAX(high, 20)",
    "slope20": "SLOPE(close, 20) / close",
    # R-squared and last residual of a linear fit against time, from its slope
    "rsqr20": "SLOPE(close, 20) ** 2 * {} / VAR(close, 20)".format((N * N - 1) / 12),
    "resi20": "(close - MA(close, 20) - SLOPE(close, 20) * {}) / close".format((N - 1) / 2),
    "wma20": "WMA(close, 20) / close",
    "ema20": "EMA(close, 20) / close",
    "vratio20": "volume / MA(volume, 20)",
    "cov_rv20": "COVARIANCE(RETURNS, DELTA(LOG(volume + 1), 1), 20)",
    "ret5": "close / DELAY(close, 5) - 1",
}


def _interleaved(rounds, **fns):
    """Best wall clock and best CPU time (this process) of each function over
    rounds that run them one after the other; the (user, system) split and the
    round of the best CPU time; the last result of each."""
    wall = {name: float("inf") for name in fns}
    cpu = dict(wall)
    split = {}
    results = {}
    for round_ in range(rounds):
        for name, fn in fns.items():
            gc.collect()
            t0, c0, times0 = time.perf_counter(), time.process_time(), os.times()
            results[name] = fn()
            wall[name] = min(wall[name], time.perf_counter() - t0)
            used = time.process_time() - c0
            if used < cpu[name]:
                times1 = os.times()
                cpu[name] = used
                split[name] = (times1.user - times0.user, times1.system - times0.system,
                               round_)
    return wall, cpu, split, results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--market", choices=("default", "large"), default="default")
    parser.add_argument("--instruments", type=int, default=800)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if args.market == "large":
        from tessal.bundle import build_large_bundle, large_bundle_path

        tessal.init(build_large_bundle(large_bundle_path()))
    else:
        tessal.init()
    np.seterr(all="ignore")
    load_before = os.getloadavg()[0]
    ids = list(tessal.all_instruments("CS").order_book_id[:args.instruments])
    dates = pd.DatetimeIndex(tessal.get_trading_dates("1900-01-01",
                                                      tessal.get_latest_trading_date()))
    factors = {name: parse_factor(text) for name, text in LIBRARY.items()}
    # every date from the first one whose look-back the calendar can serve
    start, end = dates[max(f.shift for f in factors.values())], dates[-1]
    print("market {}: {} instruments x {} dates ({} .. {}), {} factors, best of {}".format(
        args.market, len(ids), len(dates), start.date(), end.date(), len(factors), args.rounds))

    leaves = list(dict.fromkeys(leaf for f in factors.values() for leaf in get_leaves(f)))
    first = dates[0]  # the earliest date any factor's look-back needs
    phases = []  # per round

    def many():
        phases.append({})
        return execute_factors(factors, ids, start, end, timings=phases[-1])

    wall, cpu, split, results = _interleaved(
        args.rounds,
        many=many,
        ones=lambda: {k: execute_factor(f, ids, start, end) for k, f in factors.items()},
        load=lambda: ThreadingExecContext(leaves, ids, first, end))
    many, ones = results["many"], results["ones"]
    for name in factors:
        pd.testing.assert_frame_equal(many[name], ones[name], check_exact=False, rtol=1e-12,
                                      atol=1e-12)
        assert (many[name].isna() == ones[name].isna()).all().all(), name
    print("{:<48} {:>10} {:>10} {:>10} {:>10}".format(
        "seconds ({})".format(_instruction_set()), "wall", "CPU", "user", "system"))
    for label, key in (("execute_factors, one call", "many"),
                       ("  of which loading the data (its context alone)", "load"),
                       ("anchor: execute_factor once per factor", "ones")):
        print("{:<48} {:>10.3f} {:>10.3f} {:>10.3f} {:>10.3f}".format(
            label, wall[key], cpu[key], *split[key][:2]))
    print("execute_factors by phase (its round of the best CPU time):")
    for label, key in (("  load", "load"), ("  evaluation", "evaluate"),
                       ("  frame building (mask, cut to the dates)", "frames")):
        print("{:<48} {:>10.3f} {:>10.3f}".format(
            label, *phases[split["many"][2]].get(key, (0.0, 0.0))))
    print("ratio {:.1f}x wall, {:.1f}x CPU; values agree (1e-12, NaN positions exact)".format(
        wall["ones"] / wall["many"], cpu["ones"] / cpu["many"]))
    print("load average: {:.1f} before, {:.1f} after (2 cores shared)".format(
        load_before, os.getloadavg()[0]))

if __name__ == "__main__":
    main()
