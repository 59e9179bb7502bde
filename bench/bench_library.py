"""A research library of 15 common factors, evaluated with one call.

    python bench/bench_library.py [--market default|large] [--instruments N] [--rounds R]

The factors are the usual kinds of a price-volume library: means, standard
deviation, correlation, rolling rank, maxima and minima, position of the
maximum, slope, R-squared and residual of a linear trend, weighted and
exponential means, a volume ratio, a covariance and the 5-day return. Timed
with data loading included, over all dates of the market:

- ``execute_factors``: the whole library in one call;
- anchor: ``execute_factor`` once per factor (what a user does without it).

Values are checked to agree (1e-12, NaN positions exact). Best of ``--rounds``.
"""
import argparse
import time

import numpy as np
import pandas as pd

import tessal
from alvora.engine_v2.eval_core import execute_factor
from alvora.evaluate import execute_factors
from alvora.expression import parse_factor

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


def _best(fn, rounds):
    times, result = [], None
    for _ in range(rounds):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


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
    ids = list(tessal.all_instruments("CS").order_book_id[:args.instruments])
    dates = pd.DatetimeIndex(tessal.get_trading_dates("1900-01-01",
                                                      tessal.get_latest_trading_date()))
    factors = {name: parse_factor(text) for name, text in LIBRARY.items()}
    # every date from the first one whose look-back the calendar can serve
    start, end = dates[max(f.shift for f in factors.values())], dates[-1]
    print("market {}: {} instruments x {} dates ({} .. {}), {} factors, best of {}".format(
        args.market, len(ids), len(dates), start.date(), end.date(), len(factors), args.rounds))

    t_many, many = _best(lambda: execute_factors(factors, ids, start, end), args.rounds)
    t_one, ones = _best(lambda: {k: execute_factor(f, ids, start, end)
                                 for k, f in factors.items()}, args.rounds)
    for name in factors:
        pd.testing.assert_frame_equal(many[name], ones[name], check_exact=False, rtol=1e-12,
                                      atol=1e-12)
        assert (many[name].isna() == ones[name].isna()).all().all(), name
    print("{:<44} {:>8}".format("", "seconds"))
    print("{:<44} {:>8.2f}".format("execute_factors, one call", t_many))
    print("{:<44} {:>8.2f}".format("anchor: execute_factor once per factor", t_one))
    print("ratio {:.1f}x; values agree (1e-12, NaN positions exact)".format(t_one / t_many))


if __name__ == "__main__":
    main()
