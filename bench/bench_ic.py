"""ICAnalysis against a plain pandas/scipy transcription of its algorithm.

Runs ICAnalysis(rank_ic=True, industry_classification="citics_2019", max_decay=10) with periods
(1, 5, 20) on random factor and return panels, industries served by an in-memory fake client.
Each measurement runs in its own subprocess; memory is the growth of the peak resident size
(VmHWM, reset after the inputs were built) over the resident size at that moment, compared with the inputs' size.
The transcription takes minutes on the full panel, so both run on a smaller panel and ours
alone on the full one.

    python bench/bench_ic.py                       # full: 2500 x 5000, both at 1250 x 1000
    python bench/bench_ic.py --dates 500 --instruments 800 --small-dates 200 \
        --small-instruments 300                    # quick
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
MAX_DECAY = 10
N_INDUSTRIES = 30


def make_inputs(n, m, seed=0):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2012-01-04", periods=n)
    ids = [f"{i:06d}.XSHE" for i in range(m)]
    factor = rng.standard_normal((n, m))
    factor[rng.random((n, m)) < 0.05] = np.nan
    returns = rng.normal(0.0, 0.02, (n, m)) + 0.002 * np.tanh(factor)
    returns[rng.random((n, m)) < 0.02] = np.nan
    # Every instrument classified from 2005; a tenth change industry halfway through.
    records = [(f"industry_{rng.integers(N_INDUSTRIES):02d}", i, pd.Timestamp("2005-01-04"))
               for i in ids]
    middle = dates[n // 2]
    records += [(f"industry_{rng.integers(N_INDUSTRIES):02d}", i, middle) for i in ids[::10]]
    listing = pd.DataFrame({"order_book_id": ids, "listed_date": "2000-01-04",
                            "de_listed_date": "0000-00-00"})
    return (pd.DataFrame(factor, index=dates, columns=ids),
            pd.DataFrame(returns, index=dates, columns=ids), records, listing)


class _Result:
    def __init__(self, **kwargs):
        self.__dict__.update(kwargs)


def transcription(factor, returns, periods, history, listing):
    """The IC step written directly in pandas and scipy, step by step."""
    import numpy as np
    import pandas as pd

    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    import _study_helpers as ref

    table = ref.reference_format(factor, returns, periods)
    table["factor"] *= -1  # rank IC with ascending order
    ic, p_value = ref.reference_ic(table, rank_ic=True)
    decay = ref.reference_decay(table, ic, MAX_DECAY, rank_ic=True)
    # Industry lookup: one bisection over the sorted history, listing mask by instrument.
    ids = table.index.unique(level="order_book_id")
    dates = table.index.unique(level="datetime")
    request = pd.MultiIndex.from_product([ids, dates], names=["order_book_id", "datetime"])
    positions = history.index.searchsorted(request, side="right") - 1
    industry = pd.Series(history.values[positions], index=request.swaplevel()).sort_index()
    listed = listing.set_index("order_book_id")
    texts = np.array([d.strftime("%Y-%m-%d") for d in dates])
    mask = pd.DataFrame({i: (listed.at[i, "listed_date"] <= texts)
                         & (texts < listed.at[i, "de_listed_date"].replace("0000-00-00", "2999-12-31"))
                         for i in ids}, index=pd.to_datetime(texts)).stack()
    industry = industry[mask.values]
    distribute = ref.reference_industry_ic(table, industry, rank_ic=True)
    return ic, p_value, decay, distribute


def _status_mib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return None


def reset_peak_and_read_rss():
    """Current resident size; the peak is reset first where the kernel allows it, so the
    temporaries of building the inputs do not hide the analysis's own peak."""
    import gc

    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return _status_mib("VmRSS")
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def read_peak():
    peak = _status_mib("VmHWM")
    return peak if peak is not None else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def worker(impl, n, m):
    import pandas as pd

    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    from alvora.analysis import study_bench
    from _study_helpers import FakeTessal

    factor, returns, records, listing = make_inputs(n, m)
    input_mib = (factor.memory_usage(deep=True).sum() + returns.memory_usage(deep=True).sum()) / 2**20
    baseline_mib = reset_peak_and_read_rss()
    study_bench.ICAnalysisResult = _Result
    study_bench.tessal = FakeTessal(instruments=listing, zx_records=records)
    study_bench._cache_industry_data.cache_clear()
    start, cpu_start = time.perf_counter(), time.process_time()
    if impl == "ours":
        step = study_bench.ICAnalysis(rank_ic=True, industry_classification="citics_2019",
                                      max_decay=MAX_DECAY)
        result = step.analysis(factor, returns, list(PERIODS), ascending=True)
        shape = result.ic_decay.shape
    else:
        history = (pd.DataFrame(records, columns=["first_industry_name", "order_book_id",
                                                  "start_date"])
                   .set_index(["order_book_id", "start_date"])["first_industry_name"].sort_index())
        shape = transcription(factor, returns, list(PERIODS), history, listing)[2].shape
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu_start
    peak_mib = read_peak()
    print(json.dumps({"seconds": seconds, "cpu": cpu, "input_mib": input_mib,
                      "extra_mib": peak_mib - baseline_mib, "decay_shape": list(shape)}))


def measure(impl, n, m):
    out = subprocess.run([sys.executable, __file__, "--worker", impl, str(n), str(m)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def row(label, n, m, r):
    return (f"{label:<16} {n:>6} x {m:<6} {r['seconds']:>10.2f} {r['cpu']:>8.2f} {r['input_mib']:>10.0f} "
            f"{r['extra_mib']:>10.0f} {r['extra_mib'] / r['input_mib']:>8.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--instruments", type=int, default=5000)
    parser.add_argument("--small-dates", type=int, default=1250)
    parser.add_argument("--small-instruments", type=int, default=1000)
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        impl, n, m = args.worker
        worker(impl, int(n), int(m))
        return

    small = (args.small_dates, args.small_instruments)
    full = (args.dates, args.instruments)
    ours_small = measure("ours", *small)
    theirs_small = measure("transcription", *small)
    ours_full = measure("ours", *full)
    assert ours_small["decay_shape"] == theirs_small["decay_shape"], (ours_small, theirs_small)
    print("ICAnalysis(rank_ic=True, industry_classification='citics_2019', max_decay=10), "
          "periods (1, 5, 20)")
    print(f"{'run':<16} {'panel':>15} {'seconds':>10} {'cpu s':>8} {'input MiB':>10} {'extra MiB':>10} "
          f"{'extra/in':>8}")
    print(row("transcription", *small, theirs_small))
    print(row("ours", *small, ours_small))
    print(row("ours", *full, ours_full))
    print(f"speed-up at {small[0]} x {small[1]}: "
          f"{theirs_small['seconds'] / ours_small['seconds']:.1f}x wall, "
          f"{theirs_small['cpu'] / ours_small['cpu']:.1f}x cpu")


if __name__ == "__main__":
    main()
