"""Builds the large synthetic market (5000 stocks x ~2500 dates) and times panel loads.

    python bench/make_large_market.py [--path P] [--rebuild]

Prints one table: the time of each way of loading a dates x instruments panel
of closing prices, and its ratio to the memory-mapped `tessal.get_panel`.
Anchors: reading the whole .npy file into memory, and the long table of
`tessal.get_price` pivoted with pandas.
"""
import argparse
import os
import time

import numpy as np

import tessal
from tessal.bundle import build_large_bundle, large_bundle_path


def _best(func, repeat=3):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        func()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", default=large_bundle_path())
    parser.add_argument("--rebuild", action="store_true")
    args = parser.parse_args()

    t0 = time.perf_counter()
    existed = os.path.exists(args.path) and not args.rebuild
    path = build_large_bundle(args.path, overwrite=args.rebuild)
    build = time.perf_counter() - t0
    tessal.init(path)
    ids = list(tessal.all_instruments("CS").order_book_id)
    dates = tessal.get_trading_dates("1900-01-01", tessal.get_latest_trading_date())
    start, end = "2014-01-02", tessal.get_latest_trading_date()
    rng = np.random.default_rng(0)
    half = list(rng.permutation(ids)[: len(ids) // 2])
    print("bundle {} ({}): {} stocks, {} calendar dates up to {}".format(
        path, "reused" if existed else "built in {:.1f} s".format(build), len(ids), len(dates),
        end.date()))

    npy = os.path.join(path, "fields", "close.npy")
    cases = [
        ("get_panel close, all stocks, 10 years", lambda: tessal.get_panel("close", ids, start, end)),
        ("get_panel close, half the stocks shuffled", lambda: tessal.get_panel("close", half, start,
                                                                                end)),
        ("get_style_panel size, all stocks", lambda: tessal.get_style_panel("size", ids, start,
                                                                            end)),
        ("anchor: np.load whole close.npy", lambda: np.load(npy)),
        ("anchor: get_price long table + unstack", lambda: tessal.get_price(
            ids, start, end, fields="close")["close"].unstack("order_book_id")),
    ]
    rows = []
    for label, func in cases:
        rows.append((label, _best(func, repeat=1 if "unstack" in label else 3)))
    base = rows[0][1]
    print("{:<45} {:>10} {:>8}".format("operation", "seconds", "ratio"))
    for label, seconds in rows:
        print("{:<45} {:>10.3f} {:>8.2f}".format(label, seconds, seconds / base))


if __name__ == "__main__":
    main()
