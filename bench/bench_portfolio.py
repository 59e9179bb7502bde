"""Portfolio analyses against a plain pandas/numpy transcription of their algorithms.

Runs QuantileReturnAnalysis(quantile=10) and FactorReturnAnalysis() with periods (1, 5, 20) on
random panels, each measurement in its own subprocess so that its peak resident memory
(ru_maxrss, which includes building the random input tables) is its own.  The transcription
copies the panel once per staggered schedule and groups with pandas, so it gets a smaller panel;
ours is timed at that size too, and alone on the full panel.

    python bench/bench_portfolio.py                 # full: 2500 x 5000, transcription 250 x 500
    python bench/bench_portfolio.py --dates 500 --instruments 800 --small-dates 120 \
        --small-instruments 200                     # quick
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PERIODS = (1, 5, 20)


def make_panel(n, m, seed=0):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    index = pd.DatetimeIndex(pd.bdate_range("2010-01-04", periods=n), name="datetime")
    columns = pd.Index([f"{i:06d}.XSHE" for i in range(m)], name="order_book_id")
    factor = rng.standard_normal((n, m))
    factor[rng.random((n, m)) < 0.05] = np.nan
    returns = rng.normal(0.0, 0.02, (n, m))
    returns[rng.random((n, m)) < 0.02] = np.nan
    return (pd.DataFrame(factor, index=index, columns=columns),
            pd.DataFrame(returns, index=index, columns=columns))


class _Result:
    def __init__(self, **kwargs):
        self.__dict__.update(kwargs)


def worker(kind, impl, n, m):
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    from alvora.analysis import study_bench

    # Keep the measurement about the analysis: results are plain holders here.
    study_bench.QuantileReturnAnalysisResult = _Result
    study_bench.FactorReturnAnalysisResult = _Result
    factor, returns = make_panel(n, m)
    start = time.perf_counter()
    if impl == "ours":
        if kind == "quantile":
            study_bench.QuantileReturnAnalysis(quantile=10).analysis(factor, returns, PERIODS)
        else:
            study_bench.FactorReturnAnalysis().analysis(factor, returns, PERIODS)
    else:
        import _portfolio_helpers as transcription

        if kind == "quantile":
            transcription.oracle_quantile(factor, returns, PERIODS, quantile=10)
        else:
            transcription.oracle_factor_returns(factor, returns, PERIODS)
    seconds = time.perf_counter() - start
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "peak_mib": peak_kib / 1024}))


def measure(kind, impl, n, m):
    out = subprocess.run([sys.executable, __file__, "--worker", kind, impl, str(n), str(m)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--instruments", type=int, default=5000)
    parser.add_argument("--small-dates", type=int, default=250)
    parser.add_argument("--small-instruments", type=int, default=500)
    parser.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        kind, impl, n, m = args.worker
        worker(kind, impl, int(n), int(m))
        return

    small = (args.small_dates, args.small_instruments)
    full = (args.dates, args.instruments)
    header = f"{'analysis':<10} {'panel':>12} {'transcription s':>16} {'ours s':>9} " \
             f"{'speed-up':>9} {'ours peak MiB':>14}"
    print(f"periods {PERIODS}; quantile analysis with 10 groups")
    print(header)
    print("-" * len(header))
    for kind in ("quantile", "factor"):
        slow = measure(kind, "transcription", *small)
        fast = measure(kind, "ours", *small)
        print(f"{kind:<10} {small[0]:>5}x{small[1]:<6} {slow['seconds']:>16.3f} "
              f"{fast['seconds']:>9.3f} {slow['seconds'] / fast['seconds']:>8.1f}x "
              f"{fast['peak_mib']:>14.0f}")
        big = measure(kind, "ours", *full)
        print(f"{kind:<10} {full[0]:>5}x{full[1]:<6} {'-':>16} {big['seconds']:>9.3f} "
              f"{'-':>9} {big['peak_mib']:>14.0f}")


if __name__ == "__main__":
    main()
