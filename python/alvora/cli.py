"""Command line of alvora.

    alvora check EXPR                 parse an expression and show the tree
    alvora eval EXPR... [options]     evaluate them and print a summary of each frame
    alvora study [EXPR...] [options]  evaluate, preprocess and analyse each, write a report

``eval`` and ``study`` take several expressions and/or ``--factors FILE`` (lines
``name = expression``); several factors are evaluated together in one call.

Expressions use the language of :mod:`alvora.expression`, for example
``"CS_RANK(-(close / MA(close, 5) - 1))"``. Data comes from the market-data
bundle (``--bundle``; by default the embedded synthetic market).
"""
import argparse
import importlib
import os
import sys
import time
import warnings

import numpy as np
import pandas as pd

import tessal

from .expression import ExpressionError, parse_factor
from .distributed.command import add_cluster_options, study_on_cluster, wants_cluster
from .factor_file import FactorFileError, read_factor_file
from .progress import progress_bar
from .report import write_html, write_report
from .utils import get_leaves, use_dma

__all__ = ["main", "build_parser", "DEFAULT_EXPRESSION"]

# five-day reversal: how far the close sits below its five-day mean
DEFAULT_EXPRESSION = "-(close / MA(close, 5) - 1)"
DEFAULT_DAYS = 250
DEFAULT_PERIODS = (1, 5, 10)


class CliError(Exception):
    """A failure to report as one line and exit status 1."""


class _Output:
    """Prints and keeps a copy of everything printed for summary.txt."""

    def __init__(self, stream):
        self.stream = stream
        self.lines = []

    def __call__(self, text=""):
        text = str(text)
        print(text, file=self.stream, flush=True)
        self.lines.append(text)

    def text(self):
        return "\n".join(self.lines) + "\n"


# -- argument parsing ----------------------------------------------------------

def _periods(text):
    try:
        values = [int(part) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError("periods must be whole numbers such as 1,5,10") from None
    if not values or any(v < 1 for v in values):
        raise argparse.ArgumentTypeError("periods must be positive, got {!r}".format(text))
    if len(set(values)) != len(values):
        raise argparse.ArgumentTypeError("periods must not repeat, got {!r}".format(text))
    return values


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a whole number, got {!r}".format(text)) from None
    if value < 1:
        raise argparse.ArgumentTypeError("expected a positive number, got {}".format(value))
    return value


def _date(text):
    try:
        return pd.Timestamp(text)
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError("not a date: {!r}".format(text)) from None


def _add_data_options(parser, instruments):
    parser.add_argument("--bundle", help="market-data bundle folder (default: embedded market)")
    parser.add_argument("--start", type=_date, help="first date (default: --days before --end)")
    parser.add_argument("--end", type=_date, help="last date (default: latest trading date)")
    parser.add_argument("--days", type=_positive, default=DEFAULT_DAYS,
                        help="trading days to cover when --start is not given (default %(default)s)")
    parser.add_argument("--instruments", type=_positive, default=instruments,
                        help="number of common stocks to use (default %(default)s)")
    parser.add_argument("--ids", help="comma-separated order_book_ids instead of --instruments")
    parser.add_argument("--universe",
                        help="keep only these instruments: an index id (approximated by "
                             "turnover size) or comma-separated order_book_ids")


def build_parser():
    parser = argparse.ArgumentParser(prog="alvora", description="Factor research on equity data.")
    parser.add_argument("--debug", action="store_true", help="show tracebacks of failures")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    check = sub.add_parser("check", help="parse an expression and show the factor tree")
    check.add_argument("expression")

    ev = sub.add_parser("eval", help="evaluate an expression and summarise the factor frame")
    ev.add_argument("expression", nargs="*", help="factor expression(s)")
    ev.add_argument("--factors", help="file of 'name = expression' lines")
    _add_data_options(ev, instruments=50)
    ev.add_argument("--out", help="also write the factor frame to this CSV file (several "
                                  "factors: a folder with one CSV per factor)")

    st = sub.add_parser("study", help="evaluate and analyse an expression, write a report")
    st.add_argument("expression", nargs="*",
                    help="factor expression(s) (default: {})".format(DEFAULT_EXPRESSION))
    st.add_argument("--factors", help="file of 'name = expression' lines")
    _add_data_options(st, instruments=200)
    st.add_argument("--periods", type=_periods, default=list(DEFAULT_PERIODS),
                    help="holding horizons in trading days, e.g. 1,5,10")
    st.add_argument("--quantiles", type=_positive, default=5, help="number of quantile groups")
    st.add_argument("--max-decay", type=_positive, default=5, help="IC decay lags")
    st.add_argument("--industry", default="citics_2019", help="industry classification source")
    st.add_argument("--benchmark", default="000300.XSHG", help="benchmark index id")
    st.add_argument("--winsorize-method", default="mad", choices=("mad", "std", "percentile"))
    st.add_argument("--no-winsorize", dest="winsorize", action="store_false")
    st.add_argument("--no-neutralize", dest="neutralize", action="store_false")
    st.add_argument("--no-normalize", dest="normalize", action="store_false")
    st.add_argument("--ascending", action="store_true",
                    help="rank smaller factor values first (default: larger first)")
    st.add_argument("--out", default="report", help="report folder (default %(default)s)")
    st.add_argument("--html", help="HTML report file (default: index.html in the report folder)")
    st.add_argument("--no-html", dest="write_html", action="store_false",
                    help="write no HTML report")
    st.add_argument("--quiet", action="store_true", help="show no progress bars")
    add_cluster_options(st, _positive)
    return parser


# -- data selection -------------------------------------------------------------

def _init_data(bundle):
    init = getattr(tessal, "init", None)
    if callable(init):
        init(bundle_path=bundle) if bundle else init()
    elif bundle:
        raise CliError("this market-data client cannot open a bundle folder")


def _date_range(args):
    latest = pd.Timestamp(tessal.get_latest_trading_date())
    end = min(args.end, latest) if args.end is not None else latest
    if args.start is not None:
        start = args.start
    else:
        dates = pd.DatetimeIndex(tessal.get_trading_dates("1900-01-01", end))
        if len(dates) == 0:
            raise CliError("no trading dates up to {}".format(end.date()))
        start = dates[max(0, len(dates) - args.days)]
    if start > end:
        raise CliError("start {} is after end {}".format(start.date(), end.date()))
    return start, end


def _instruments(args, start, end):
    if args.ids:
        ids = [part.strip() for part in args.ids.split(",") if part.strip()]
        if not ids:
            raise CliError("--ids holds no instrument")
        return list(dict.fromkeys(ids))
    table = tessal.all_instruments(type="CS")
    listed = pd.to_datetime(table["listed_date"], errors="coerce")
    raw = table["de_listed_date"]
    delisted = pd.to_datetime(raw.where(raw != "0000-00-00"), errors="coerce")  # never: NaT
    alive = (listed <= end) & (delisted.isna() | (delisted >= start))
    ids = sorted(table.loc[alive.to_numpy(), "order_book_id"])
    if not ids:
        raise CliError("no common stock is listed between {} and {}".format(
            start.date(), end.date()))
    return ids[:args.instruments]


def _execute(factor, ids, start, end, universe, say):
    try:
        eval_core = importlib.import_module("alvora.engine_v2.eval_core")
        execute_factor = getattr(eval_core, "execute_factor")
    except (ImportError, AttributeError) as exc:
        say("notice: compiled engine unavailable ({}); evaluating in Python".format(exc))
        from .expression_eval import evaluate_factor as execute_factor
    return execute_factor(factor, ids, start, end, universe=universe)


# -- printing ---------------------------------------------------------------------

def _fmt(value):
    return "nan" if value is None or not np.isfinite(value) else "{:.6g}".format(value)


def _describe_frame(frame, say):
    values = frame.to_numpy(dtype=np.float64)
    finite = values[np.isfinite(values)]
    say("frame: {} dates x {} instruments".format(*frame.shape))
    if len(frame.index):
        say("dates: {} .. {}".format(frame.index[0].date(), frame.index[-1].date()))
    coverage = finite.size / values.size if values.size else 0.0
    say("values: {} of {} cells ({:.1%})".format(finite.size, values.size, coverage))
    if finite.size:
        q = np.percentile(finite, [0, 25, 50, 75, 100])
        say("distribution: mean {} std {} min {} q25 {} median {} q75 {} max {}".format(
            _fmt(finite.mean()), _fmt(finite.std()), *[_fmt(v) for v in q]))
        per_date = np.sum(np.isfinite(values), axis=1)
        say("instruments with a value per date: min {} mean {:.1f} max {}".format(
            per_date.min(), per_date.mean(), per_date.max()))
        last = frame.iloc[-1].dropna().sort_values()
        if len(last):
            say("last date, highest: " + ", ".join(
                "{} {}".format(k, _fmt(v)) for k, v in last.iloc[::-1].iloc[:5].items()))
            say("last date, lowest:  " + ", ".join(
                "{} {}".format(k, _fmt(v)) for k, v in last.iloc[:5].items()))


def _show_result(name, result, say):
    say("")
    say("== {} ({})".format(name, type(result).__name__))
    summary = getattr(result, "summary", None)
    with pd.option_context("display.width", 160, "display.max_columns", 40):
        if callable(summary):
            table = summary()
            say(table.to_string(float_format=lambda v: "{:.4f}".format(v))
                if len(table) else "(no figures)")
        else:
            say(repr(result))
        extra = getattr(result, "extra_summaries", None)
        for title, table in (extra() if callable(extra) else {}).items():
            if table is not None and len(table):
                say("{}:".format(title))
                say(table.to_string(float_format=lambda v: "{:.4f}".format(v)))


# -- commands ---------------------------------------------------------------------

def _cmd_check(args, say):
    factor = parse_factor(args.expression)
    say("factor: {!r}".format(factor))
    say("look-back: {} rows{}".format(factor.shift, " + 126 warm-up" if use_dma(factor) else ""))
    say("leaves: {}".format(", ".join(repr(leaf) for leaf in get_leaves(factor))))
    return 0


def _parse_factors(args, default=None):
    """name -> node from the expressions on the command line and --factors."""
    factors = {}
    expressions = list(args.expression)
    if not expressions and not args.factors and default is not None:
        expressions = [default]
    for k, text in enumerate(expressions, start=1):
        factors["factor_{}".format(k) if len(expressions) > 1 or args.factors else text] = \
            parse_factor(text)
    if args.factors:
        try:
            from_file = read_factor_file(args.factors)
        except FactorFileError as exc:
            raise CliError(str(exc)) from None
        clash = sorted(set(from_file) & set(factors))
        if clash:
            raise CliError("factor names given twice: {}".format(", ".join(clash)))
        factors.update(from_file)
    if not factors:
        raise CliError("give a factor expression or --factors FILE")
    return factors


def _setup_many(args, factors, say):
    """(instruments, start, end) of a run of several factors, announced."""
    _init_data(args.bundle)
    start, end = _date_range(args)
    ids = _instruments(args, start, end)
    say("factors: {}".format(len(factors)))
    for name, factor in factors.items():
        say("  {} = {!r}".format(name, factor))
    say("instruments: {}, dates: {} .. {}".format(len(ids), start.date(), end.date()))
    return ids, start, end


def _prepare_many(args, factors, say):
    """name -> frame, all factors evaluated in one call."""
    from .evaluate import execute_factors

    ids, start, end = _setup_many(args, factors, say)
    began = time.perf_counter()
    frames = execute_factors(factors, ids, start, end, universe=_universe(args))
    say("evaluated in {:.2f}s".format(time.perf_counter() - began))
    return frames


def _universe(args):
    universe = args.universe
    if universe and "," in universe:
        universe = [part.strip() for part in universe.split(",") if part.strip()]
    return universe


def _prepare(args, say, factor=None):
    if factor is None:
        factor = parse_factor(args.expression)
    _init_data(args.bundle)
    start, end = _date_range(args)
    ids = _instruments(args, start, end)
    say("factor: {!r}".format(factor))
    say("instruments: {}, dates: {} .. {}".format(len(ids), start.date(), end.date()))
    began = time.perf_counter()
    frame = _execute(factor, ids, start, end, _universe(args), say)
    say("evaluated in {:.2f}s".format(time.perf_counter() - began))
    return factor, frame


def _cmd_eval(args, say):
    factors = _parse_factors(args)
    if len(factors) == 1 and not args.factors:
        _, frame = _prepare(args, say, factor=next(iter(factors.values())))
        _describe_frame(frame, say)
        if args.out:
            frame.to_csv(args.out)
            say("wrote {}".format(args.out))
        return 0
    from .evaluate import iter_factors

    ids, start, end = _setup_many(args, factors, say)
    if args.out:
        os.makedirs(args.out, exist_ok=True)
    # each frame described and written as it is finished, then dropped: a library
    # whose frames together would not fit in memory still runs
    frames = iter_factors(factors, ids, start, end, universe=_universe(args))
    evaluating = 0.0
    while True:
        began = time.perf_counter()
        name, frame = next(frames, (None, None))
        evaluating += time.perf_counter() - began
        if frame is None:
            break
        say("")
        say("== {}".format(name))
        _describe_frame(frame, say)
        if args.out:
            frame.to_csv(os.path.join(args.out, "{}.csv".format(name)))
        del frame
    say("")
    say("evaluated in {:.2f}s".format(evaluating))
    if args.out:
        say("wrote {} files in {}".format(len(factors), args.out))
    return 0


_STEPS = (
    # (step name, class name, switch, keyword arguments from args)
    ("winsorize", "Winzorization", "winsorize", lambda a: {"method": a.winsorize_method}),
    ("neutralize", "Neutralization", "neutralize", lambda a: {"industry": a.industry}),
    ("normalize", "Normalization", "normalize", lambda a: {}),
    ("ic", "ICAnalysis", None,
     lambda a: {"industry_classification": a.industry, "max_decay": a.max_decay}),
    ("quantile", "QuantileReturnAnalysis", None,
     lambda a: {"quantile": a.quantiles, "benchmark": a.benchmark}),
    ("factor_return", "FactorReturnAnalysis", None, lambda a: {}),
)


def _build_steps(module, args, say):
    steps = []
    for name, class_name, switch, kwargs in _STEPS:
        if switch is not None and not getattr(args, switch):
            continue
        cls = getattr(module, class_name, None)
        if cls is None:
            say("notice: {} is not available; skipping step {}".format(class_name, name))
            continue
        steps.append((name, cls(**kwargs(args))))
    return steps


def _counted(steps, bar):
    """Lets each step advance the progress bar when it finishes (the pipeline
    calls ``process``/``analysis`` on the step objects)."""
    for name, step in steps:
        for method in ("process", "analysis"):
            bound = getattr(step, method, None)
            if not callable(bound):
                continue

            def call(*a, _bound=bound, _name=name, **kw):
                bar.set_postfix_str(_name)
                try:
                    return _bound(*a, **kw)
                finally:
                    bar.update(1)
            try:
                setattr(step, method, call)
            except (AttributeError, TypeError):  # a step that keeps no attributes: no ticks
                pass


def _run_steps(module, steps, frame, args, say):
    """All steps in one pipeline; when it fails, step by step so one failing
    step does not hide the others' results."""
    bench = module.FactorStudyBench()
    for step in steps:
        bench.append(step)
    with progress_bar(len(steps), "analysis", quiet=args.quiet) as bar:
        _counted(steps, bar)
        try:
            return bench.analysis(frame, "daily", ascending=args.ascending,
                                  periods=args.periods, keep_preprocess_result=True) or {}
        except Exception as exc:  # reported, then narrowed down below
            say("notice: the pipeline failed ({}: {}); running the steps one by one".format(
                type(exc).__name__, exc))
    return _run_steps_singly(module, steps, frame, args, say)


def _run_steps_singly(module, steps, frame, args, say):
    preprocessors = [s for s in steps if isinstance(s[1], module.FactorPreprocessor)]
    analysers = [s for s in steps if s not in preprocessors]
    results = {}
    for name, step in preprocessors:
        try:
            frame = step.process(frame)
            results[name] = frame.copy()
        except Exception as exc:
            say("notice: step {} failed ({}: {}); skipped".format(name, type(exc).__name__, exc))
    for name, step in analysers:
        single = module.FactorStudyBench()
        single.append((name, step))
        try:
            results.update(single.analysis(frame, "daily", ascending=args.ascending,
                                           periods=args.periods) or {})
        except Exception as exc:
            say("notice: step {} failed ({}: {}); skipped".format(name, type(exc).__name__, exc))
    return results


def _cmd_study(args, say):
    try:
        module = importlib.import_module("alvora.analysis.study_bench")
    except ImportError as exc:
        raise CliError("the analysis module is not available: {}".format(exc)) from None
    if getattr(module, "FactorStudyBench", None) is None:
        raise CliError("the analysis module has no FactorStudyBench")
    factors = _parse_factors(args, default=DEFAULT_EXPRESSION)
    if wants_cluster(args):
        _init_data(args.bundle)
        start, end = _date_range(args)
        ids = _instruments(args, start, end)
        steps = _build_steps(module, args, say)
        return study_on_cluster(factors, ids, start, end, _universe(args), steps, args, say)
    if len(factors) == 1 and not args.factors:
        (name, factor), = factors.items()
        _, frame = _prepare(args, say, factor=factor)
        study = _study_one(module, frame, args, args.out, say)
        if args.write_html:
            _write_html_report(args, {**study, "expression": name}, say)
        return 0
    frames = _prepare_many(args, factors, say)
    shared = _study_many(module, frames, args, say)
    studies = {}
    with progress_bar(len(frames), "factors", quiet=args.quiet) as bar:
        for name, frame in frames.items():
            say("")
            say("######## {}".format(name))
            studies[name] = _study_one(module, frame, args, os.path.join(args.out, name), say,
                                       done=shared.get(name))
            studies[name]["expression"] = repr(factors[name])
            bar.update(1)
    from .evaluate.leaderboard import leaderboard

    say("")
    say("== leaderboard (first horizon)")
    analyses = {name: {k: v for k, v in study["results"].items()
                       if not isinstance(v, pd.DataFrame)} for name, study in studies.items()}
    say(leaderboard(analyses).to_string(float_format=lambda v: "{:.4f}".format(v)))
    if args.write_html:
        _write_html_report(args, studies, say)
    return 0


def _study_many(module, frames, args, say):
    """Every factor through study_factors (inputs fetched once): name -> (results,
    warnings); empty when that fails, and each factor is then studied on its own."""
    from .evaluate import study_factors

    steps = _build_steps(module, args, say)
    began = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            results = study_factors(frames, "daily", steps=steps, periods=args.periods,
                                    ascending=args.ascending, keep_preprocess_result=True)
        except Exception as exc:
            say("notice: the joint study failed ({}: {}); studying each factor on its own"
                .format(type(exc).__name__, exc))
            return {}
    say("analysed {} factors together in {:.2f}s".format(len(frames),
                                                         time.perf_counter() - began))
    notes = _distinct_warnings(caught)
    return {name: (result, notes) for name, result in results.items()}


def _study_one(module, frame, args, out, say, done=None):
    """Reports one factor's study (run here unless `done` holds its results and
    warnings) and returns its analysis results."""
    _describe_frame(frame, say)
    steps = _build_steps(module, args, say)
    say("steps: {}".format(", ".join(name for name, _ in steps) or "none"))
    if done is not None:
        results, notes = dict(done[0]), done[1]
    else:
        began = time.perf_counter()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            results = _run_steps(module, steps, frame, args, say)
        notes = _distinct_warnings(caught)
    for w in notes:
        say("warning: {}".format(w))
    if done is None:
        say("analysed in {:.2f}s".format(time.perf_counter() - began))
    preprocessed = [name for name, step in steps
                    if isinstance(step, module.FactorPreprocessor) and name in results]
    stages = [(name, results.pop(name)) for name in preprocessed]
    _describe_preprocessing(frame, stages, say)
    for name, result in results.items():
        _show_result(name, result, say)
    paths = write_report(out, say.text(), factor_frame=frame, results=results)
    say("")
    say("report: {} files in {}".format(len(paths), out))
    return {"results": {**dict(stages), **results}, "factor_frame": frame}


def _html_sections(results):
    """Sections the report draws: the preprocessing panel and each analysis."""
    frames = sum(isinstance(r, pd.DataFrame) for r in results.values())
    return len(results) - frames + (1 if frames else 0)


def _write_html_report(args, studies, say):
    """One HTML file: the study of one factor, or several factors behind a
    leaderboard (``studies``: one study dict, or factor name -> study dict)."""
    several = "results" not in studies
    path = args.html or os.path.join(args.out, "index.html")
    began = time.perf_counter()
    details = {"horizons": ", ".join(str(p) for p in args.periods),
               "quantile groups": args.quantiles, "benchmark": args.benchmark,
               "industry source": args.industry,
               "order": "ascending" if args.ascending else "descending"}
    for study in (studies.values() if several else [studies]):
        study["details"] = {"steps": ", ".join(study["results"]) or "none", **details}
    sections = sum(_html_sections(s["results"]) for s in (studies.values() if several
                                                          else [studies]))
    with progress_bar(sections, "report", quiet=args.quiet) as bar:
        if several:
            write_html(studies, path, title="Factor study: {} factors".format(len(studies)),
                       progress=bar.update)
        else:
            write_html(studies["results"], path,
                       title="Factor study: {}".format(studies["expression"]),
                       factor_frame=studies["factor_frame"], expression=studies["expression"],
                       details=studies["details"], progress=bar.update)
    say("html report: {} ({:.2f}s)".format(path, time.perf_counter() - began))


def _describe_preprocessing(frame, outputs, say):
    """One line per preprocessing step: how its output differs from its input."""
    if not outputs:
        return
    say("")
    say("== preprocessing")
    before = frame
    for name, after in outputs:
        old = before.to_numpy(dtype=float, na_value=np.nan)
        new = after.reindex(index=before.index, columns=before.columns).to_numpy(
            dtype=float, na_value=np.nan)
        both = ~np.isnan(old) & ~np.isnan(new)
        changed = int((both & ~np.isclose(old, new, rtol=1e-12, atol=0.0)).sum())
        lost = int((~np.isnan(old) & np.isnan(new)).sum())
        values = new[~np.isnan(new)]
        row_std = pd.DataFrame(new).std(axis=1).mean() if values.size else float("nan")
        say("{}: {} of {} values changed, {} became missing; now mean {} std {} "
            "(mean per-date std {})".format(
                name, changed, int((~np.isnan(old)).sum()), lost,
                _fmt(values.mean() if values.size else float("nan")),
                _fmt(values.std() if values.size else float("nan")), _fmt(row_std)))
        before = after


def _distinct_warnings(caught):
    seen = []
    for w in caught:
        text = str(w.message)
        if text not in seen:
            seen.append(text)
    return seen


def _leading_minus_as_text(parser, argv):
    """Let an expression start with a minus (``alvora check "-close"``): an
    argument that starts with "-" but is no option of the command is given a
    leading blank, which argparse reads as a positional (the parser strips it)."""
    options = set(parser._option_string_actions)
    for action in parser._subparsers._group_actions if parser._subparsers else ():
        for sub in action.choices.values():
            options.update(sub._option_string_actions)
    return [" " + arg if arg.startswith("-") and len(arg) > 1 and not arg.startswith("--")
            and arg.split("=")[0] not in options else arg for arg in argv]


_COMMANDS = {"check": _cmd_check, "eval": _cmd_eval, "study": _cmd_study}


def main(argv=None, stdout=None, stderr=None):
    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr
    parser = build_parser()
    args = parser.parse_args(_leading_minus_as_text(parser, sys.argv[1:] if argv is None
                                                    else list(argv)))
    if args.command is None:
        parser.print_help(stdout)
        return 2
    say = _Output(stdout)
    try:
        return _COMMANDS[args.command](args, say)
    except ExpressionError as exc:
        print("alvora: bad expression: {}".format(exc), file=stderr)
        return 2
    except CliError as exc:
        print("alvora: {}".format(exc), file=stderr)
        return 1
    except BrokenPipeError:  # output piped into head and the like
        return 0
    except Exception as exc:
        if args.debug:
            raise
        print("alvora: {}: {} (run with --debug for the traceback)".format(
            type(exc).__name__, exc), file=stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
