"""Where a full factor study spends its time: every step timed alone.

The steps of bench_study.py's full study (winsorize mad -> neutralize industry + 10
styles -> normalize -> rank IC decay 10 + industry -> quantile 10 -> factor returns,
periods 1, 5, 20), each run on its own input, plus the input fetches the steps make
(industry data, style exposures). CPU seconds (time.process_time) per step, on one
core (BLAS threads pinned), market data served from memory.

    python bench/bench_study_steps.py --dates 1250 --instruments 1000
    python bench/bench_study_steps.py --dates 2500 --instruments 5000 --repeat 1
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def _cpu(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        began = time.process_time()
        out = fn()
        best = min(best, time.process_time() - began)
    return best, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dates", type=int, default=1250)
    parser.add_argument("--instruments", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    args = parser.parse_args()
    from bench_study import PERIODS, _pin_threads, full_steps, memory_client, memory_market

    _pin_threads()
    from alvora.analysis import study_bench as sb
    from bench_native import instruction_set

    factor, returns, styles, records, listing = memory_market(args.dates, args.instruments)
    sb.tessal = memory_client(returns, styles, records, listing)
    steps = dict(full_steps(sb))
    periods = list(PERIODS)
    rows = []

    def step(name, fn):
        seconds, out = _cpu(fn, args.repeat)
        rows.append((name, seconds))
        return out

    ids, dates = list(factor.columns), list(factor.index)
    step("industry data (one load)",
         lambda: sb._load_industry_data(ids, dates, source="citics_2019"))
    step("style exposures (one fetch)",
         lambda: sb.tessal.get_style_factor_exposure(ids, dates[0], dates[-1], None))
    w = step("winsorize", lambda: steps["winsorize"].process(factor))
    nt = step("neutralize", lambda: steps["neutralize"].process(w))
    z = step("normalize", lambda: steps["normalize"].process(nt))
    step("forward returns (_format_factor_data)",
         lambda: sb._format_factor_data(z, returns, periods))
    step("ic (with decay, industry)",
         lambda: steps["ic"].analysis(z, returns, periods, ascending=False))
    step("quantile", lambda: steps["quantile"].analysis(z, returns, periods, ascending=False))
    step("factor_return",
         lambda: steps["factor_return"].analysis(z, returns, periods, ascending=False))
    total = sum(s for name, s in rows if "(one" not in name)
    print(f"steps of one study, {args.dates} dates x {args.instruments} instruments, periods "
          f"{PERIODS}, cpu s (best of {args.repeat})")
    print(f"instruction set {instruction_set()}; load average {os.getloadavg()[0]:.1f} "
          f"(2 cores shared)")
    for name, seconds in rows:
        print(f"  {name:<40} {seconds:>8.3f}")
    print(f"  {'sum of the steps':<40} {total:>8.3f}")


if __name__ == "__main__":
    main()
