"""``alvora study --workers N`` / ``--scheduler ADDR``: a factor library
studied on a cluster, one folder per factor in ``--out``."""
import time

from .entries import study_factors
from .errors import FactorError

__all__ = ["add_cluster_options", "wants_cluster", "study_on_cluster"]


def add_cluster_options(parser, positive):
    parser.add_argument("--workers", type=positive,
                        help="study on a local Dask cluster of N worker processes")
    parser.add_argument("--scheduler",
                        help="study on the Dask cluster at this address, e.g. tcp://host:8786")
    parser.add_argument("--resume", action="store_true",
                        help="on a cluster: skip factors whose folder in --out is complete")


def wants_cluster(args):
    return bool(getattr(args, "workers", None) or getattr(args, "scheduler", None)
                or getattr(args, "resume", False))


def study_on_cluster(factors, ids, start, end, universe, steps, args, say):
    """Runs the study; returns the exit status (1 when some factor failed)."""
    if args.workers and args.scheduler:
        raise ValueError("give --workers or --scheduler, not both")
    where = "the cluster at {}".format(args.scheduler) if args.scheduler else \
        "a local cluster of {} workers".format(args.workers or "one-per-core")
    say("factors: {}, instruments: {}, dates: {} .. {}".format(
        len(factors), len(ids), start.date(), end.date()))
    say("steps: {}".format(", ".join(name for name, _ in steps) or "none"))
    say("running on {}; results in {}".format(where, args.out))
    began = time.perf_counter()

    def progress(done, total, name, outcome):
        text = outcome if isinstance(outcome, str) else "FAILED ({}: {})".format(
            outcome.kind, outcome.message)
        say("[{}/{}] {}: {}".format(done, total, name, text))

    outcomes = study_factors(factors, ids, start, end, steps, universe=universe,
                             periods=args.periods, ascending=args.ascending,
                             client=args.scheduler, workers=args.workers, out=args.out,
                             resume=args.resume, progress=progress, errors="return",
                             tear_sheet=getattr(args, "write_html", True))
    failed = [name for name, value in outcomes.items() if isinstance(value, FactorError)]
    say("")
    say("{} of {} factors complete in {} ({:.1f}s)".format(
        len(outcomes) - len(failed), len(outcomes), args.out, time.perf_counter() - began))
    if failed:
        say("failed: {} (see <name>.error.txt in {})".format(", ".join(failed), args.out))
        return 1
    return 0
