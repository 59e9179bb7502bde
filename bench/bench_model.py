"""Side-by-side timings of the factor-model helpers.

    python bench/bench_model.py [--instruments 1000] [--days 500]

Rows:
- context build: loading 6 fields through the thread pool vs one thread;
- per-instrument serving: get_mask_for + get_factor_value over every
  instrument vs the obvious pandas transcription (column, boolean mask,
  to_numpy) on the same frames;
- structural dedup: set() of a tree's dependencies;
- expression parsing.
"""
import argparse
import os
import tempfile
import time

import numpy as np
import pandas as pd

import tessal
from alvora.engine_v2 import exec_context
from alvora.engine_v2.exec_context import ThreadingExecContext
from alvora.expression import parse_factor
from alvora.leaf import PRICE_FIELDS, Factor


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        began = time.perf_counter()
        fn()
        times.append(time.perf_counter() - began)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--instruments", type=int, default=1000)
    parser.add_argument("--days", type=int, default=500)
    args = parser.parse_args()
    folder = os.path.join(tempfile.gettempdir(), "alvora-bench-model-{}".format(args.instruments))
    if not os.path.isdir(folder):
        tessal.bundle.generate_market(folder, n_instruments=args.instruments,
                                      start="2021-01-04", end="2023-12-29", seed=5)
    tessal.init(folder)
    end = pd.Timestamp(tessal.get_latest_trading_date())
    dates = tessal.get_trading_dates("2000-01-01", end)
    start = dates[max(0, len(dates) - args.days)]
    ids = list(tessal.all_instruments(type="CS")["order_book_id"])
    leaves = [Factor(f) for f in PRICE_FIELDS]
    rows = []

    def build():
        return ThreadingExecContext(leaves, ids, start, end)

    threaded = best(build)
    saved = exec_context._MAX_LOADER_THREADS
    exec_context._MAX_LOADER_THREADS = 1
    single = best(build)
    exec_context._MAX_LOADER_THREADS = saved
    rows.append(("context build, 6 fields", threaded, single, "one thread"))

    ctx = build()
    close = Factor("close")

    def serve():
        for oid in ids:
            ctx.get_mask_for(oid)
            ctx.get_factor_value(close, oid)

    frames = {f: tessal.get_panel(f, ids, start, end) for f in ("close", "volume")}
    valid = frames["close"].notna() & (frames["volume"] > 0)

    def serve_pandas():
        for oid in ids:
            mask = valid[oid].to_numpy()
            frames["close"][oid].to_numpy()[mask]

    rows.append(("serve mask+values x {}".format(len(ids)), best(serve), best(serve_pandas),
                 "pandas columns"))

    tree = parse_factor("CS_RANK(close / open - 1) * (high - low) / (close + open) + volume")
    deps = tree.dependencies * 50
    rows.append(("set() of {} dependencies".format(len(deps)), best(lambda: set(deps)),
                 best(lambda: {id(d) for d in deps}), "identity set"))
    text = "CS_RANK(-(close / open - 1)) + FIX(close, '000300.XSHG') * (volume > 0)"
    rows.append(("parse expression x 100", best(lambda: [parse_factor(text) for _ in range(100)]),
                 float("nan"), "-"))

    print("{} instruments x {} dates".format(len(ids), ctx.ndays))
    print("{:<32} {:>12} {:>12} {:>8}  {}".format("case", "alvora [s]", "anchor [s]", "ratio",
                                                   "anchor"))
    for name, ours, anchor, label in rows:
        ratio = anchor / ours if np.isfinite(anchor) else float("nan")
        print("{:<32} {:>12.5f} {:>12.5f} {:>8.2f}  {}".format(name, ours, anchor, ratio, label))


if __name__ == "__main__":
    main()
