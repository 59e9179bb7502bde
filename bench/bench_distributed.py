"""Throughput of a factor library on a Dask cluster against one process.

    python bench/bench_distributed.py [--instruments N] [--days N] [--factors N]

Evaluates the same library (40 alpha-style factors by default) over the
instruments x trading dates of the large generated market (5000 x about 2500;
built once into the tessal cache, see make_large_market.py) three ways, each
returning every factor's whole frame to the caller:

- anchor: ``alvora.evaluate.execute_factors`` in this process;
- ``alvora.distributed.execute_factors`` on a local cluster of 1 worker process;
- the same on 2 worker processes.

Clusters are started before timing (a running cluster is the normal case) and
each side runs once after a warm-up of the workers on a small slice. Prints
seconds, factors per second, the throughput ratio 2 workers / 1 worker and the
overhead of the cluster path with one worker over the anchor.
"""
import argparse
import gc
import logging
import os
import time
import warnings

import tessal
from tessal.bundle import build_large_bundle, large_bundle_path

from alvora.distributed import execute_factors as execute_on_cluster
from alvora.evaluate import execute_factors as execute_here
from alvora.expression import parse_factor

# Alpha-style factors: ranks, correlations and decays of prices and volume.
LIBRARY = [
    "-CORRELATION(CS_RANK(DELTA(LOG(volume), 2)), CS_RANK((close - open) / open), 6)",
    "-CORRELATION(CS_RANK(open), CS_RANK(volume), 10)",
    "-TS_RANK(CS_RANK(low), 9)",
    "CS_RANK(open - SUM(VWAP, 10) / 10) * -ABS(CS_RANK(close - VWAP))",
    "-CORRELATION(open, volume, 10)",
    "-DELTA(close, 1) * SIGN(DELTA(close, 1))",
    "-CS_RANK(DELTA(close, 7) * (1 - CS_RANK(DECAY_LINEAR(volume / MA(volume, 20), 9))))",
    "-CS_RANK(SUM(open, 5) * SUM(RETURNS, 5) - DELAY(SUM(open, 5) * SUM(RETURNS, 5), 10))",
    "IF(TS_MIN(DELTA(close, 1), 5) > 0, DELTA(close, 1), -DELTA(close, 1))",
    "CS_RANK(IF(TS_MAX(DELTA(close, 1), 4) < 0, DELTA(close, 1), -DELTA(close, 1)))",
    "(CS_RANK(TS_MAX(VWAP - close, 3)) + CS_RANK(TS_MIN(VWAP - close, 3))) * "
    "CS_RANK(DELTA(volume, 3))",
    "SIGN(DELTA(volume, 1)) * -DELTA(close, 1)",
    "-CS_RANK(COVARIANCE(CS_RANK(close), CS_RANK(volume), 5))",
    "-CS_RANK(DELTA(RETURNS, 3)) * CORRELATION(open, volume, 10)",
    "-SUM(CS_RANK(CORRELATION(CS_RANK(high), CS_RANK(volume), 3)), 3)",
    "-CS_RANK(TS_RANK(close, 10)) * CS_RANK(DELTA(DELTA(close, 1), 1))",
    "-CS_RANK(STD(ABS(close - open), 5) + (close - open) + CORRELATION(close, open, 10))",
    "IF(MA(close, 8) + STD(close, 8) < MA(close, 2), -1, 1)",
    "-TS_MAX(CORRELATION(TS_RANK(volume, 5), TS_RANK(high, 5), 5), 3)",
    "-CS_RANK(open - DELAY(high, 1)) * CS_RANK(open - DELAY(close, 1))",
    "-DELTA(CORRELATION(high, volume, 5), 5) * CS_RANK(STD(close, 20))",
    "-CS_RANK(MA(close, 20) - close) * (1 + CS_RANK(volume))",
    "-DELTA(close, 5) * CS_RANK(SUM(RETURNS, 20))",
    "-CS_RANK(DECAY_LINEAR(DELTA(VWAP, 1), 7))",
    "CS_ZSCORE(TS_RANK(volume / MA(volume, 20), 20) * TS_RANK(-DELTA(close, 7), 8))",
    "-TS_RANK(ABS(DELTA(close, 7)), 60) * SIGN(DELTA(close, 7))",
    "CS_RANK(TS_ZSCORE(close, 20))",
    "-TS_MAX(CS_RANK(CORRELATION(CS_RANK(volume), CS_RANK(VWAP), 5)), 5)",
    "-CS_RANK(TS_ARGMAX(close, 30)) + CS_RANK(TS_ARGMIN(close, 30))",
    "CS_RANK(SLOPE(LOG(close), 20))",
    "-CS_RANK(TS_SKEW(RETURNS, 20))",
    "-CS_RANK(TS_KURT(RETURNS, 20))",
    "CS_RANK(EMA(RETURNS, 10)) - CS_RANK(EMA(RETURNS, 30))",
    "-CORRELATION(RETURNS, DELAY(RETURNS, 1), 20)",
    "CS_RANK(TS_REGRESSION(close, MA(close, 10), 20))",
    "-CS_RANK(AVEDEV(close, 10) / MA(close, 10))",
    "CS_DEMEAN(LOG(volume) - LOG(MA(volume, 60)))",
    "-CS_RANK(high / low - 1) * CS_RANK(volume / MA(volume, 10))",
    "SIGNED_POWER(CS_RANK(close / TS_MAX(high, 20)) - 0.5, 2)",
    "-WMA(RETURNS, 10) / STD(RETURNS, 20)",
]


def _library(n):
    if n > len(LIBRARY):
        raise SystemExit("the library holds {} factors".format(len(LIBRARY)))
    return {"alpha_{:02d}".format(k + 1): parse_factor(text)
            for k, text in enumerate(LIBRARY[:n])}


def _timed(run):
    gc.collect()
    began = time.perf_counter()
    frames = run()
    seconds = time.perf_counter() - began
    cells = sum(frame.size for frame in frames.values())
    del frames
    gc.collect()
    return seconds, cells


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", default=large_bundle_path(), help="market-data bundle")
    parser.add_argument("--instruments", type=int, default=5000)
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--factors", type=int, default=len(LIBRARY))
    args = parser.parse_args()

    import distributed

    path = build_large_bundle(args.path) if args.path == large_bundle_path() else args.path
    tessal.init(path)
    ids = list(tessal.all_instruments("CS").order_book_id)[:args.instruments]
    latest = tessal.get_latest_trading_date()
    dates = tessal.get_trading_dates("1900-01-01", latest)
    start, end = dates[max(0, len(dates) - args.days)], dates[-1]
    factors = _library(args.factors)
    print("bundle {}: {} factors x {} instruments x {} .. {} ({} dates); {} cores; load "
          "average {}".format(path, len(factors), len(ids), start.date(), end.date(),
                              len(tessal.get_trading_dates(start, end)), os.cpu_count(),
                              " ".join("{:.1f}".format(v) for v in os.getloadavg())))
    warnings.simplefilter("ignore")

    rows = []
    seconds, cells = _timed(lambda: execute_here(factors, ids, start, end))
    rows.append(("anchor: one process, evaluate.execute_factors", seconds, cells))
    for n in (1, 2):
        with distributed.LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                      dashboard_address=None,
                                      silence_logs=logging.ERROR) as cluster, \
                distributed.Client(cluster) as client:
            warm = dict(list(factors.items())[:n])
            execute_on_cluster(warm, ids[:50], end, end, client=client, bundle=path)
            seconds, cells = _timed(lambda: execute_on_cluster(factors, ids, start, end,
                                                               client=client, bundle=path))
        rows.append(("distributed, {} worker process{}".format(n, "" if n == 1 else "es"),
                     seconds, cells))

    print("{:<48} {:>10} {:>12} {:>14}".format("side", "seconds", "factors/s", "cells"))
    for label, seconds, cells in rows:
        print("{:<48} {:>10.2f} {:>12.3f} {:>14,}".format(label, seconds, len(factors) / seconds,
                                                          cells))
    anchor, one, two = (r[1] for r in rows)
    print("throughput ratio, 2 workers / 1 worker: {:.2f}".format(one / two))
    print("overhead of 1 worker over one process: {:+.1%}".format(one / anchor - 1))
    print("load average after: {}".format(" ".join("{:.1f}".format(v)
                                                     for v in os.getloadavg())))


if __name__ == "__main__":
    main()
