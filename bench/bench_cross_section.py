"""Cross-sectional ranks per row, side by side with pandas' rank and with a demean.

    python bench/bench_cross_section.py                  # 1250 dates x 4900 instruments
    python bench/bench_cross_section.py --dates 500 --instruments 3000 --repeats 5

Each kind of row fills a column-major panel (the layout factor grids have) and
is ranked whole: ours (`_cross_section.rank`, percentile ranks, ties averaged)
against pandas' `DataFrame.rank(axis=1, pct=True)` (the same numbers), and
`_cross_section.demean` as the floor of our side (the same copies between the
grid and row buffers, a trivial statistic). CPU seconds, least of the repeats,
in microseconds per row; the machine's load is printed with them.
"""
import argparse
import os
import time

import numpy as np
import pandas as pd

from alvora import _cross_section


def panels(dates, instruments, seed=11):
    rng = np.random.default_rng(seed)
    normal = rng.standard_normal((dates, instruments))
    with_nan = normal.copy()
    with_nan[rng.random(with_nan.shape) < 0.05] = np.nan
    return {
        "returns-like (normal, 5% NaN)": with_nan,
        "long tail (lognormal, sigma 3)": np.exp(3 * normal),
        "few values (window ranks k/10)": np.floor(rng.random((dates, instruments)) * 10) / 10,
        "ranks (ties of 1e-4)": np.round(rng.random((dates, instruments)), 4),
    }


def least_cpu(call, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.process_time()
        call()
        best = min(best, time.process_time() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dates", type=int, default=1250)
    parser.add_argument("--instruments", type=int, default=4900)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    if args.dates < 1 or args.instruments < 1 or args.repeats < 1:
        parser.error("--dates, --instruments and --repeats must be positive")
    print("panel {} dates x {} instruments, column-major; load average {:.1f} {:.1f} {:.1f}"
          .format(args.dates, args.instruments, *os.getloadavg()))
    print("{:32s} {:>12s} {:>12s} {:>14s} {:>8s}".format(
        "rows", "ours us/row", "demean", "pandas us/row", "ratio"))
    for name, values in panels(args.dates, args.instruments).items():
        grid = np.asfortranarray(values)
        frame = pd.DataFrame(grid)
        ours = least_cpu(lambda: _cross_section.rank(grid), args.repeats)
        floor = least_cpu(lambda: _cross_section.demean(grid), args.repeats)
        theirs = least_cpu(lambda: frame.rank(axis=1, pct=True), max(2, args.repeats // 2))
        got = _cross_section.rank(grid)
        want = frame.rank(axis=1, pct=True).to_numpy()
        if not np.allclose(got, want, rtol=1e-12, atol=0, equal_nan=True):
            raise SystemExit("ranks differ from pandas' on " + name)
        per_row = 1e6 / args.dates
        print("{:32s} {:12.1f} {:12.1f} {:14.1f} {:7.1f}x".format(
            name, ours * per_row, floor * per_row, theirs * per_row, theirs / ours))
    print("load average at the end {:.1f} {:.1f} {:.1f}".format(*os.getloadavg()))


if __name__ == "__main__":
    main()
