"""Time of the HTML report beside the CSV report folder of the same results.

Two cases, each timed in one run, wall clock and CPU seconds of this process:

- ``main``: the default main job (``alvora study`` with its defaults on the
  embedded market: 200 stocks x 250 dates, horizons 1, 5, 10).  The factor is
  evaluated and analysed once, untimed; then ``write_report`` (the CSV
  folder, anchor) and ``write_html`` (the tear sheet) write the same results.
- ``large``: result objects the size of a 2500 dates x 5000 instruments study
  (horizons 1, 5, 20; 5 groups; decay lags 10; 30 industries; three
  preprocessing frames of 2500 x 5000), synthesised directly; the anchor
  writes the same analysis tables as CSV (no factor frames, as the HTML
  report keeps only their histograms).

    python bench/bench_report.py               # both
    python bench/bench_report.py --case main
"""
import argparse
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))


def timed(label, fn):
    wall, cpu = time.perf_counter(), time.process_time()
    out = fn()
    print("  {:<34} {:7.2f} s wall  {:7.2f} s CPU".format(
        label, time.perf_counter() - wall, time.process_time() - cpu), flush=True)
    return out


def main_job_results():
    import contextlib
    import io
    from alvora import cli

    captured = {}
    real = cli._write_html_report

    def keep(args, study, say):
        captured.update(study)
    cli._write_html_report = keep
    try:
        with tempfile.TemporaryDirectory() as folder, contextlib.redirect_stdout(io.StringIO()):
            code = cli.main(["study", "--quiet", "--out", folder], stdout=io.StringIO())
    finally:
        cli._write_html_report = real
    if code != 0:
        raise SystemExit("the main job failed (exit {})".format(code))
    return captured


def large_results(n_dates=2500, n_ids=5000, periods=(1, 5, 20), groups=5, lags=10, seed=0):
    import numpy as np
    import pandas as pd
    from alvora.analysis.analysis_result import (FactorReturnAnalysisResult, ICAnalysisResult,
                                                 QuantileReturnAnalysisResult)
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2014-01-02", periods=n_dates, name="datetime")
    ids = ["{:06d}.XSHE".format(k) for k in range(n_ids)]
    cols = ["P_{}".format(p) for p in periods]
    ic = pd.DataFrame(rng.normal(0.03, 0.1, (n_dates, len(periods))), index=dates, columns=cols)
    decay_index = pd.MultiIndex.from_product([dates, range(lags)], names=["datetime", "decay"])
    decay = pd.DataFrame(rng.normal(0.02, 0.1, (n_dates * lags, len(periods))),
                         index=decay_index, columns=cols)
    industries = pd.DataFrame(rng.normal(0.02, 0.03, (30, len(periods))), columns=cols,
                              index=["industry_{:02d}".format(k) for k in range(30)])
    tags = ["q{}".format(k + 1) for k in range(groups)]
    index = pd.MultiIndex.from_product([tags, dates], names=["tag", "datetime"])
    daily = rng.normal(0.0003, 0.012, (groups, n_dates, len(periods)))
    daily[:, 0] = 0.0
    returns = pd.DataFrame((np.cumprod(1 + daily, axis=1) - 1).reshape(-1, len(periods)),
                           index=index, columns=cols)
    turnover = pd.DataFrame(rng.uniform(0.05, 0.6, (groups * n_dates, len(periods))),
                            index=index, columns=cols)
    spread = np.cumprod(1 + daily[0] - daily[-1], axis=0) - 1
    tmb = pd.DataFrame(spread, index=dates, columns=cols)
    bench = pd.Series(np.cumprod(1 + rng.normal(0.0003, 0.012, n_dates)) - 1, index=dates,
                      name="000300.XSHG")
    factor = pd.DataFrame(np.cumprod(1 + rng.normal(0.0002, 0.004, (n_dates, len(periods))),
                                     axis=0) - 1, index=dates, columns=cols)
    raw = pd.DataFrame(rng.standard_normal((n_dates, n_ids)), index=dates, columns=ids)
    clipped = raw.clip(-3, 3)
    centred = clipped.sub(clipped.mean(axis=1), axis=0)
    normal = centred.div(centred.std(axis=1), axis=0)
    results = {
        "winsorize": clipped, "neutralize": centred, "normalize": normal,
        "ic": ICAnalysisResult(ic=ic, ic_p_value=ic.abs(), ic_decay=decay,
                               ic_industry_distribute=industries, name="ic"),
        "quantile": QuantileReturnAnalysisResult(
            quantile_turnover=turnover, quantile_returns=returns, quantile_detail=None,
            benchmark_return=bench, top_minus_bottom_returns=tmb, name="quantile"),
        "factor_return": FactorReturnAnalysisResult(factor_returns=factor,
                                                    name="factor_return"),
    }
    return raw, results


def run_main():
    from alvora.report import write_html, write_report
    print("main job: 200 instruments x 250 dates, horizons 1, 5, 10")
    got = timed("evaluate + analyse (untimed setup)", main_job_results)
    results = got["results"]
    analyses = {k: v for k, v in results.items() if not hasattr(v, "to_numpy")}
    with tempfile.TemporaryDirectory() as folder:
        timed("anchor: CSV report folder", lambda: write_report(
            folder, "", factor_frame=got["factor_frame"], results=analyses))
        timed("HTML report", lambda: write_html(
            results, os.path.join(folder, "index.html"), factor_frame=got["factor_frame"],
            expression=got["expression"]))
        print("  HTML size {:.2f} MB".format(
            os.path.getsize(os.path.join(folder, "index.html")) / 1e6))


def run_large():
    from alvora.report import write_html, write_report
    print("large study: 2500 dates x 5000 instruments, horizons 1, 5, 20")
    raw, results = timed("synthesise results (setup)", large_results)
    analyses = {k: v for k, v in results.items() if not hasattr(v, "to_numpy")}
    with tempfile.TemporaryDirectory() as folder:
        timed("anchor: CSV tables of the analyses", lambda: write_report(
            folder, "", results=analyses))
        timed("HTML report", lambda: write_html(
            results, os.path.join(folder, "index.html"), factor_frame=raw))
        print("  HTML size {:.2f} MB".format(
            os.path.getsize(os.path.join(folder, "index.html")) / 1e6))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", choices=("main", "large", "both"), default="both")
    args = parser.parse_args()
    print("load average at start: {:.1f} {:.1f} {:.1f} on {} cores".format(
        *os.getloadavg(), os.cpu_count()))
    import alvora.report  # noqa: F401  (both sides: numpy, pandas, scipy)

    def import_plotting():
        import alvora.report.plots  # noqa: F401
        from matplotlib.figure import Figure  # noqa: F401
    # the HTML side alone needs matplotlib: its import is its own line, paid once a process
    timed("import matplotlib (HTML side, once)", import_plotting)
    if args.case in ("main", "both"):
        run_main()
    if args.case in ("large", "both"):
        run_large()


if __name__ == "__main__":
    main()
