"""Preprocessing steps of study_bench against plain pandas/statsmodels
transcriptions of the same algorithms, measured side by side.

    python bench/bench_preprocess.py                  # default sizes
    python bench/bench_preprocess.py --full-transcription   # also the slow side at full size

Neutralization runs with a fake market-data client (random style exposures)
and a fixed industry series, so both sides time the step itself. The
transcription at full size takes minutes and several GB; it is off by default.
Both sides run single-threaded: BLAS threads are pinned to one (the native
side uses one thread; a threaded BLAS on a busy machine only adds contention).
"""
import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import gc  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from _preprocess_helpers import (FakeIndustryLoader, factor_frame, industry_series,  # noqa: E402
                                 style_table, transcribe_exposures, transcribe_neutralize,
                                 transcribe_normalize)
from alvora.analysis import study_bench as sb  # noqa: E402


class ServedStyles:
    """A client stub that hands back a prepared exposure table."""

    def __init__(self, table):
        self.table = table

    def get_style_factor_exposure(self, order_book_ids, start_date, end_date, factors):
        return self.table


class Timing:
    """Best CPU time and best wall time of a few runs. CPU time is the figure
    compared: on a shared machine the wall clock mostly measures the others."""

    def __init__(self, cpu, wall, first_cpu):
        self.cpu, self.wall, self.first_cpu = cpu, wall, first_cpu


def timed(fn, repeat=1):
    cpus, walls = [], []
    result = None
    for _ in range(repeat):
        gc.collect()
        c0, w0 = time.process_time(), time.perf_counter()
        result = fn()
        cpus.append(time.process_time() - c0)
        walls.append(time.perf_counter() - w0)
    return Timing(min(cpus), min(walls), cpus[0]), result


def market(n_dates, n_ids, n_styles, n_industries, seed):
    ids = [f"{i:06d}.XSHE" for i in range(n_ids)]
    factor = factor_frame(n_dates, ids, seed=seed, start="2012-01-04", nan_fraction=0.03)
    styles = style_table(factor.index, ids, [f"style_{k}" for k in range(n_styles)],
                         seed=seed + 1)
    industry = industry_series(factor.index, ids, [f"ind_{k:02d}" for k in range(n_industries)],
                               seed=seed + 2, missing_fraction=0.01)
    # the module's own industry lookup hands out categorical names
    return factor, styles, industry.astype("category")


def bench_neutralization(n_dates, n_ids, args, with_transcription):
    factor, styles, industry = market(n_dates, n_ids, args.styles, args.industries, seed=7)
    sb.tessal = ServedStyles(styles)
    sb._load_industry_data = FakeIndustryLoader(industry)
    step = sb.Neutralization(industry="citics_2019", style_factors="all")
    # best of a few runs: the first one also pays for page faults and lazy imports
    t_native, out = timed(lambda: step.process(factor), repeat=3 if with_transcription else 2)
    if not with_transcription:
        return t_native, None, None

    def transcription():
        exposure = transcribe_exposures(factor, style=styles, industry=industry)
        return transcribe_neutralize(factor, exposure)

    t_plain, expected = timed(transcription)
    diff = np.nanmax(np.abs(out.to_numpy() - expected.to_numpy()))
    same_nan = np.array_equal(out.isna().to_numpy(), expected.isna().to_numpy())
    return t_native, t_plain, f"max |diff| {diff:.1e}, NaN {'same' if same_nan else 'DIFFER'}"


def bench_scaling(n_dates, n_ids, methods):
    ids = [f"{i:06d}.XSHE" for i in range(n_ids)]
    factor = factor_frame(n_dates, ids, seed=3, nan_fraction=0.03)
    rows = []
    t_native, out = timed(lambda: sb.Normalization().process(factor), repeat=3)
    t_plain, expected = timed(lambda: transcribe_normalize(factor), repeat=3)
    diff = np.nanmax(np.abs(out.to_numpy() - expected.to_numpy()))
    rows.append(("Normalization", t_native, t_plain, f"max |diff| {diff:.1e}"))

    # Best of three on both sides: the first call also pays for fresh pages, which
    # later calls of either side find kept by their allocator.
    for method in methods:
        routine = sb.WINSORIZE_METHODS[method]
        t_native, out = timed(lambda: sb.Winzorization(method).process(factor), repeat=3)
        t_plain, expected = timed(lambda: factor.apply(routine, axis=1), repeat=3)
        diff = np.nanmax(np.abs(out.to_numpy() - expected.to_numpy()))
        same_nan = np.array_equal(out.isna().to_numpy(), expected.isna().to_numpy())
        rows.append((f"Winzorization({method})", t_native, t_plain,
                     f"max |diff| {diff:.1e}, NaN {'same' if same_nan else 'DIFFER'}; "
                     f"first calls {t_native.first_cpu:.3f} / {t_plain.first_cpu:.3f} s"))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--ids", type=int, default=5000)
    parser.add_argument("--small-dates", type=int, default=1250)
    parser.add_argument("--small-ids", type=int, default=1000)
    parser.add_argument("--styles", type=int, default=10)
    parser.add_argument("--industries", type=int, default=30)
    parser.add_argument("--full-transcription", action="store_true",
                        help="also time the pandas/statsmodels side at full size (minutes)")
    parser.add_argument("--methods", default="mad",
                        help="winsorizing methods to time, comma-separated (default: mad)")
    parser.add_argument("--no-neutralization", action="store_true",
                        help="time only Normalization and Winzorization")
    args = parser.parse_args()
    methods = [m.strip() for m in args.methods.split(",") if m.strip()]
    unknown = sorted(set(methods) - set(sb.WINSORIZE_METHODS))
    if unknown:
        parser.error(f"--methods: unknown {', '.join(unknown)}; "
                     f"expect some of {', '.join(sb.WINSORIZE_METHODS)}")

    table = []
    small = (args.small_dates, args.small_ids)
    full = (args.dates, args.ids)
    for size, with_plain in (() if args.no_neutralization else
                             ((small, True), (full, args.full_transcription))):
        t_native, t_plain, note = bench_neutralization(*size, args, with_plain)
        table.append((f"Neutralization ({args.styles} styles, {args.industries} industries)",
                      size, t_native, t_plain,
                      note or "transcription not run (--full-transcription)"))
    for name, t_native, t_plain, note in bench_scaling(*full, methods):
        table.append((name, full, t_native, t_plain, note))

    header = (f"{'step':<44} {'dates x ids':>12} {'alvora cpu s':>13} {'pandas cpu s':>13} "
              f"{'ratio':>8} {'alvora wall s':>14} {'pandas wall s':>14}  check")
    print(header)
    print("-" * len(header))
    for name, (d, n), t_native, t_plain, note in table:
        if t_plain is None:
            plain, ratio, plain_wall = f"{'-':>13}", f"{'-':>8}", f"{'-':>14}"
        else:
            plain = f"{t_plain.cpu:13.3f}"
            ratio = f"{t_plain.cpu / max(t_native.cpu, 1e-9):7.1f}x"
            plain_wall = f"{t_plain.wall:14.3f}"
        print(f"{name:<44} {f'{d}x{n}':>12} {t_native.cpu:13.3f} {plain} {ratio} "
              f"{t_native.wall:14.3f} {plain_wall}  {note}")


if __name__ == "__main__":
    main()
