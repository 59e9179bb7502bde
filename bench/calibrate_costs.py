"""Fits the cost weights of alvora.distributed.costs to single-factor timings.

    python bench/calibrate_costs.py [--instruments N] [--days N] [--repeats N]

Times every alpha of bench/alphas101.py alone (``alvora.evaluate.execute_factors``
in this process, CPU seconds, the least of ``--repeats`` runs) over the first
instruments of the large generated market, fits one non-negative weight per
node kind (a factor's estimate is the sum of its distinct nodes' weights plus
one output), scaled to 1000 instruments x 2500 dates, and prints the table to
paste into costs.WEIGHTS with the estimate's relative errors next to those of
the table in use and of a plain node count. Run it on a quiet machine: other
jobs inflate CPU times unevenly.
"""
import argparse
import os
import sys
import time
from collections import Counter

import numpy as np
import tessal
from scipy.optimize import nnls
from tessal.bundle import build_large_bundle, large_bundle_path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from alphas101 import ALPHAS, AlvoraOps  # noqa: E402
from alvora.distributed.costs import WEIGHTS, factor_cost, factor_nodes, node_kind  # noqa: E402
from alvora.evaluate import execute_factors  # noqa: E402


def _errors(estimate, seconds):
    """Median and 90th percentile relative error of ``estimate`` scaled to fit."""
    scale = np.dot(estimate, seconds) / np.dot(estimate, estimate)
    rel = np.abs(scale * estimate - seconds) / seconds
    return np.percentile(rel, 50), np.percentile(rel, 90)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--instruments", type=int, default=1000)
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    tessal.init(build_large_bundle(large_bundle_path()))
    ids = list(tessal.all_instruments("CS").order_book_id)[:args.instruments]
    dates = tessal.get_trading_dates("1900-01-01", tessal.get_latest_trading_date())
    start, end = dates[max(0, len(dates) - args.days)], dates[-1]
    ops = AlvoraOps()
    factors = {name: fn(ops) for name, fn in ALPHAS.items()}
    execute_factors({"warm": next(iter(factors.values()))}, ids[:20], start, end)
    print("{} alphas x {} instruments x {} dates, least of {} runs; load average {}".format(
        len(factors), len(ids), args.days, args.repeats,
        " ".join("{:.1f}".format(v) for v in os.getloadavg())))

    kinds = list(WEIGHTS)
    rows, seconds = [], []
    for name, factor in factors.items():
        best = float("inf")
        for _ in range(args.repeats):
            began = time.process_time()
            execute_factors({name: factor}, ids, start, end)
            best = min(best, time.process_time() - began)
        counts = Counter(node_kind(node) for node in factor_nodes(factor))
        counts["output"] = 1
        rows.append([counts[k] for k in kinds])
        seconds.append(best)
    features, seconds = np.array(rows, float), np.array(seconds)
    weights, _ = nnls(features, seconds)
    scale = 1000.0 / len(ids) * 2500.0 / args.days
    print("WEIGHTS = {")
    for k, (kind, weight) in enumerate(zip(kinds, weights)):
        if features[:, k].any():
            print('    "{}": {:.4f},'.format(kind, weight * scale))
        else:  # nothing to fit it to
            print('    "{}": {:.4f},  # not in the library: the weight in use'.format(
                kind, WEIGHTS[kind]))
    print("}")
    in_use = np.array([factor_cost(f) for f in factors.values()])
    for label, estimate in (("fitted weights", features @ weights), ("weights in use", in_use),
                            ("node count", features[:, 1:].sum(axis=1))):
        median, p90 = _errors(estimate, seconds)
        print("{:<15} relative error: median {:.0%}, 90th percentile {:.0%}".format(
            label, median, p90))


if __name__ == "__main__":
    main()
