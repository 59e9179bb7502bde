"""A full factor study, and a library of factors through study_factors.

1. One factor, full study: winsorize (mad) -> neutralize (industry + 10 styles) ->
   normalize -> rank IC (decay 10, industry) -> quantile returns (10 groups) ->
   factor returns, periods (1, 5, 20), on random dates x instruments panels with
   the market data served from memory. Runs in a subprocess per build: this
   checkout, and the reference build given by --reference-stage/--reference-python
   (a build of an earlier commit: "before"); both results are compared.
2. A library: N factors over dates x instruments of a market-data bundle (the
   large synthetic bundle when it exists, else the in-memory market), N separate
   FactorStudyBench.analysis calls against one study_factors call, results compared.

Each measurement runs in its own subprocess on one core (BLAS threads pinned);
"peak MiB" is the subprocess's peak resident size, "extra MiB" its growth after the
inputs were built (peak reset where the kernel allows it).

    python bench/bench_study.py --reference-stage build/base/stage \\
        --reference-python build/base/src/python
    python bench/bench_study.py --dates 300 --instruments 400 --library-factors 5 \\
        --library-dates 200 --library-instruments 150          # quick
    python bench/bench_study.py --steps --skip-one --skip-library   # each step alone
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PERIODS = (1, 5, 20)
N_STYLES = 10
N_INDUSTRIES = 30


def _pin_threads():
    for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ.setdefault(var, "1")


def _status_mib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return float("nan")


def _reset_peak():
    import gc

    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
    except OSError:
        pass
    return _status_mib("VmRSS")


class _Result:
    def __init__(self, **kwargs):
        self.__dict__.update(kwargs)


def memory_market(n, m, seed=0):
    """Factor, returns, style exposures, industry records and listings, all random."""
    import numpy as np
    import pandas as pd

    sys.path.insert(0, HERE)
    from bench_ic import make_inputs

    factor, returns, records, listing = make_inputs(n, m, seed=seed)
    rng = np.random.default_rng(seed + 1)
    index = pd.MultiIndex.from_product([factor.columns, factor.index],
                                       names=["order_book_id", "date"])
    styles = pd.DataFrame(rng.standard_normal((len(index), N_STYLES)), index=index,
                          columns=[f"style_{k}" for k in range(N_STYLES)])
    return factor, returns, styles, records, listing


def memory_client(returns, styles, records, listing):
    """A client answering the calls of the analysis from the tables above."""
    import pandas as pd

    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    from _study_helpers import FakeTessal

    class Client(FakeTessal):
        def get_style_factor_exposure(self, order_book_ids, start_date, end_date, factors):
            return styles if factors is None else styles[list(factors)]

    calendar = pd.bdate_range(returns.index[0], periods=len(returns) + 40)
    return Client(instruments=listing, zx_records=records, change_rate=returns,
                  calendar=calendar)


def full_steps(sb):
    return [("winsorize", sb.Winzorization("mad")),
            ("neutralize", sb.Neutralization(industry="citics_2019", style_factors="all")),
            ("normalize", sb.Normalization()),
            ("ic", sb.ICAnalysis(rank_ic=True, industry_classification="citics_2019",
                                 max_decay=10)),
            ("quantile", sb.QuantileReturnAnalysis(quantile=10)),
            ("factor_return", sb.FactorReturnAnalysis())]


def _plain(results):
    """Every table of every result as float arrays, for comparing builds."""
    import numpy as np
    import pandas as pd

    out = {}
    for step, result in results.items():
        for name, value in vars(result).items():
            if isinstance(value, (pd.DataFrame, pd.Series)):
                if name == "quantile_detail":  # labels "q1".. as their numbers
                    value = value.apply(lambda c: c.str[1:].astype(float))
                out[f"{step}.{name}"] = np.asarray(value.to_numpy(dtype=float, na_value=np.nan))
    return out


def one_study_worker(n, m, dump):
    _pin_threads()
    import numpy as np
    from alvora.analysis import study_bench as sb

    factor, returns, styles, records, listing = memory_market(n, m)
    client = memory_client(returns, styles, records, listing)
    for name in ("ICAnalysisResult", "QuantileReturnAnalysisResult",
                 "FactorReturnAnalysisResult"):
        setattr(sb, name, _Result)
    sb.tessal = client
    bench = sb.FactorStudyBench()
    for step in full_steps(sb):
        bench.append(step)
    base = _reset_peak()
    start, cpu = time.perf_counter(), time.process_time()
    results = bench.analysis(factor, returns, periods=PERIODS)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    peak = _status_mib("VmHWM")
    np.savez(dump, **_plain(results))
    print(json.dumps({"seconds": seconds, "cpu": cpu, "peak_mib": peak,
                      "extra_mib": peak - base}))


def steps_worker(n, m):
    """CPU seconds of each step alone (a one-step pipeline, best of two) and of the IC
    step's parts, on the in-memory market."""
    _pin_threads()
    from alvora.analysis import study_bench as sb

    factor, returns, styles, records, listing = memory_market(n, m)
    sb.tessal = memory_client(returns, styles, records, listing)
    for name in ("ICAnalysisResult", "QuantileReturnAnalysisResult",
                 "FactorReturnAnalysisResult"):
        setattr(sb, name, _Result)
    sb._cache_industry_data(source="citics_2019")

    def best(run):
        times = []
        for _ in range(2):
            cpu = time.process_time()
            run()
            times.append(time.process_time() - cpu)
        return min(times)

    out = {}
    for name, step in full_steps(sb):
        bench = sb.FactorStudyBench()
        bench.append((name, step))
        out[name] = best(lambda: bench.analysis(factor, returns, periods=PERIODS))
    ic = dict(full_steps(sb))["ic"]
    table = sb._format_factor_data(factor, returns, PERIODS)
    industry = ic._get_industry_data(table)
    ic_plain = sb.ICAnalysis(rank_ic=True, max_decay=10)
    out["ic: per-date IC + decay"] = best(
        lambda: ic_plain.analysis(factor, returns, PERIODS, ascending=False))
    out["ic: industry data"] = best(lambda: ic._get_industry_data(table))
    ic._get_industry_data = lambda _: industry
    out["ic: industry IC"] = best(lambda: ic._calc_ic_industry_distribute(table))
    print(json.dumps(out))


def library_factors(sb, tessal, n_factors, n, m, seed=3):
    """Random factor frames over the last dates and first instruments of the bundle."""
    import numpy as np
    import pandas as pd

    ids = list(tessal.all_instruments("CS").order_book_id)[:m]
    probe = tessal.get_price_change_rate(order_book_ids=ids[:1], start_date="2000-01-01",
                                         end_date="2100-01-01")
    dates = pd.DatetimeIndex(probe.index[-(n + 30):-30])
    rng = np.random.default_rng(seed)
    factors = {}
    for k in range(n_factors):
        values = rng.standard_normal((len(dates), len(ids)))
        values[rng.random(values.shape) < 0.05] = np.nan
        factors[f"factor_{k:02d}"] = pd.DataFrame(values, index=dates, columns=ids)
    return factors


def library_worker(mode, n_factors, n, m, source, dump):
    _pin_threads()
    import numpy as np
    import tessal
    from alvora.analysis import study_bench as sb
    from alvora.evaluate import study_factors

    if source == "bundle":
        from tessal.bundle import large_bundle_path

        tessal.init(large_bundle_path())
    else:
        factor, returns, styles, records, listing = memory_market(n + 40, m, seed=5)
        sb.tessal = memory_client(returns, styles, records, listing)
        tessal = sb.tessal
    for name in ("ICAnalysisResult", "QuantileReturnAnalysisResult",
                 "FactorReturnAnalysisResult"):
        setattr(sb, name, _Result)
    factors = library_factors(sb, tessal, n_factors, n, m)
    sb._cache_industry_data.cache_clear()
    sb._cache_industry_data(source="citics_2019")  # both sides start with the history cached
    start, cpu = time.perf_counter(), time.process_time()
    if mode == "separate":
        results = {}
        for name, frame in factors.items():
            bench = sb.FactorStudyBench()
            for step in full_steps(sb):
                bench.append(step)
            results[name] = bench.analysis(frame, "daily", periods=PERIODS)
    else:
        results = study_factors(factors, "daily", steps=full_steps(sb), periods=PERIODS)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    np.savez(dump, **{f"{name}.{key}": value for name, r in results.items()
                      for key, value in _plain(r).items()})
    print(json.dumps({"seconds": seconds, "cpu": cpu, "peak_mib": _status_mib("VmHWM")}))


def run(args, env=None):
    out = subprocess.run([sys.executable, __file__, *map(str, args)], check=True,
                         capture_output=True, text=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])


def _reference_env(args):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.abspath(args.reference_stage),
         os.path.abspath(args.reference_python or os.path.join(HERE, "..", "python"))])
    return env


def compare(path_a, path_b):
    """Largest absolute difference over all tables, and whether NaN positions agree."""
    import numpy as np

    a, b = np.load(path_a), np.load(path_b)
    if sorted(a.files) != sorted(b.files):
        return float("inf"), False
    worst, same_nan = 0.0, True
    for key in a.files:
        x, y = a[key], b[key]
        if x.shape != y.shape:
            return float("inf"), False
        nan_x, nan_y = np.isnan(x), np.isnan(y)
        same_nan &= bool(np.array_equal(nan_x, nan_y))
        both = ~nan_x & ~nan_y
        if both.any():
            worst = max(worst, float(np.max(np.abs(x[both] - y[both]))))
    return worst, same_nan


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--instruments", type=int, default=5000)
    parser.add_argument("--reference-stage", help="extension modules of the reference build")
    parser.add_argument("--reference-python", help="python/ folder of the reference build")
    parser.add_argument("--library-factors", type=int, default=50)
    parser.add_argument("--library-dates", type=int, default=1250)
    parser.add_argument("--library-instruments", type=int, default=1000)
    parser.add_argument("--library-source", choices=("bundle", "memory"), default=None,
                        help="default: the large bundle when it exists")
    parser.add_argument("--steps", action="store_true",
                        help="also time each step alone at the library's dates x instruments")
    parser.add_argument("--skip-one", action="store_true")
    parser.add_argument("--skip-library", action="store_true")
    parser.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        kind, *rest = args.worker
        if kind == "one":
            one_study_worker(int(rest[0]), int(rest[1]), rest[2])
        elif kind == "steps":
            steps_worker(int(rest[0]), int(rest[1]))
        else:
            library_worker(rest[0], int(rest[1]), int(rest[2]), int(rest[3]), rest[4], rest[5])
        return

    with tempfile.TemporaryDirectory() as tmp:
        if args.steps:
            n, m = args.library_dates, args.library_instruments
            rows = [("now", run(["--worker", "steps", n, m]))]
            if args.reference_stage:
                rows.insert(0, ("before", run(["--worker", "steps", n, m],
                                              env=_reference_env(args))))
            print(f"each step alone, {n} dates x {m} instruments, in-memory market, cpu s "
                  "(best of two)")
            print(f"{'step':<28}" + "".join(f"{label:>10}" for label, _ in rows))
            for step in rows[0][1]:
                print(f"{step:<28}" + "".join(f"{r[step]:>10.3f}" for _, r in rows))
            print()
        if not args.skip_one:
            n, m = args.dates, args.instruments
            ours = run(["--worker", "one", n, m, os.path.join(tmp, "ours.npz")])
            print(f"one factor, full study, {n} dates x {m} instruments, periods {PERIODS}")
            print(f"{'build':<10} {'wall s':>8} {'cpu s':>8} {'peak MiB':>9} {'extra MiB':>10}")
            rows = [("now", ours)]
            if args.reference_stage:
                before = run(["--worker", "one", n, m, os.path.join(tmp, "before.npz")],
                             env=_reference_env(args))
                rows.insert(0, ("before", before))
            for label, r in rows:
                print(f"{label:<10} {r['seconds']:>8.2f} {r['cpu']:>8.2f} {r['peak_mib']:>9.0f} "
                      f"{r['extra_mib']:>10.0f}")
            if args.reference_stage:
                diff, same_nan = compare(os.path.join(tmp, "before.npz"),
                                         os.path.join(tmp, "ours.npz"))
                print(f"speed-up {rows[0][1]['cpu'] / ours['cpu']:.2f}x cpu; results: max |diff| "
                      f"{diff:.1e}, NaN positions {'same' if same_nan else 'DIFFER'}")
            print()
        if not args.skip_library:
            source = args.library_source
            if source is None:
                from tessal.bundle import large_bundle_path

                source = "bundle" if os.path.exists(large_bundle_path()) else "memory"
            job = [args.library_factors, args.library_dates, args.library_instruments, source]
            separate = run(["--worker", "library", "separate", *job,
                            os.path.join(tmp, "separate.npz")])
            shared = run(["--worker", "library", "shared", *job,
                          os.path.join(tmp, "shared.npz")])
            diff, same_nan = compare(os.path.join(tmp, "separate.npz"),
                                     os.path.join(tmp, "shared.npz"))
            print(f"library of {job[0]} factors, {job[1]} dates x {job[2]} instruments, "
                  f"market data from the {source}, same steps and periods")
            print(f"{'run':<34} {'wall s':>8} {'cpu s':>8} {'peak MiB':>9}")
            for label, r in ((f"{job[0]} x FactorStudyBench.analysis", separate),
                             ("study_factors", shared)):
                print(f"{label:<34} {r['seconds']:>8.2f} {r['cpu']:>8.2f} {r['peak_mib']:>9.0f}")
            print(f"speed-up {separate['cpu'] / shared['cpu']:.2f}x cpu, "
                  f"{separate['seconds'] / shared['seconds']:.2f}x wall; results: max |diff| "
                  f"{diff:.1e}, NaN positions {'same' if same_nan else 'DIFFER'}")


if __name__ == "__main__":
    main()
