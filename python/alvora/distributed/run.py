"""Submits a factor library to a cluster and hands back each factor's
outcome as it completes."""
import uuid
from collections.abc import Mapping

from ..interface import AbstractFactor
from .bundle_check import check_workers
from .cluster import require_dask, worker_memory, worker_threads
from .errors import BundleUnavailableError, FactorError
from .partition import RESULT_MEMORY_SHARE, plan_tasks
from .tasks import InstrumentList, combine_slices, evaluate_task, pick, study_task
from .transfer import FrameSpool, received

__all__ = ["named_factors", "run_library"]


def named_factors(factors):
    """(ordered name -> node, whether the caller gave a list)."""
    if isinstance(factors, Mapping):
        named, as_list = dict(factors), False
    elif isinstance(factors, (list, tuple)):
        named, as_list = dict(enumerate(factors)), True
    else:
        raise TypeError("factors must be a dict of name -> factor or a list of factors, "
                        "got {}".format(type(factors).__name__))
    for name, node in named.items():
        if not isinstance(node, AbstractFactor):
            raise TypeError("factor {!r} is not a factor node: {}".format(
                name, type(node).__name__))
    return named, as_list


def _weekdays(start_date, end_date):
    """Weekdays from ``start_date`` to ``end_date``: at least the trading dates
    a result grid holds (None when the dates do not parse; the engine reports them)."""
    import pandas as pd
    from tessal.utils import to_timestamp
    try:
        return len(pd.bdate_range(to_timestamp(start_date), to_timestamp(end_date)))
    except (TypeError, ValueError):
        return None


def _key(kind):
    return "alvora-{}-{}".format(kind, uuid.uuid4().hex)


def _outcome(future):
    """(value, None) of a finished future, or (None, exception) when its task
    failed (a worker lost too often, a result that did not travel); a bundle
    problem concerns the whole run and is raised."""
    try:
        return future.result(), None
    except BundleUnavailableError:
        raise
    except Exception as exc:
        return None, exc


def run_library(client, factors, order_book_ids, start_date, end_date, universe, bundle,
                finish, study=None, group_size=None):
    """Evaluates ``factors`` (name -> node) on the cluster; with ``study``
    (a dict of ``study_task`` arguments: steps, returns, periods, ascending,
    keep_preprocess_result) analyses each too. Calls ``finish(name, outcome)``
    in completion order, the outcome being a frame, a dict of step results or
    a :class:`FactorError`."""
    distributed = require_dask()
    if not factors:
        return
    expected = check_workers(client, bundle)
    # frames for the client go through files; a study keeps them on the workers
    scheduler = getattr(getattr(client, "scheduler", None), "address", None)
    with FrameSpool(cluster=scheduler) as spool:
        tasks = plan_tasks(factors, order_book_ids, worker_threads(client), universe,
                           group_size, slices_travel=study is not None,
                           shared_leaves=spool.in_memory,
                           result_rows=_weekdays(start_date, end_date),
                           max_result_bytes=RESULT_MEMORY_SHARE * worker_memory(client))
        address = spool.address if study is None else None
        # groups over the whole instrument list load the same fields: once per
        # machine; and a lone group too where the files are recycled for later runs
        whole = [task for task in tasks if task.n_chunks == 1]
        market = spool.address if len(whole) > 1 or spool.recycle is not None else None
        submitted = []
        for task in tasks:
            future = client.submit(evaluate_task, task.names, [factors[n] for n in task.names],
                                   InstrumentList(task.ids), start_date, end_date, universe,
                                   bundle, expected, address,
                                   market if task.n_chunks == 1 else None, key=_key("evaluate"))
            submitted.append((task, future))
        if study is not None:
            submitted = _submit_studies(client, submitted, study, bundle, expected)
        pending = [future for _, future in submitted]
        try:
            collect = _collect_frames if study is None else _collect_studies
            collect(distributed, submitted, finish, spool.recycle)
        except BaseException:
            client.cancel(pending)
            raise


def _collect_frames(distributed, submitted, finish, recycle=None):
    owner = {future.key: task for task, future in submitted}
    pieces = {}
    for future in distributed.as_completed([f for _, f in submitted]):
        task = owner[future.key]
        group, failure = _outcome(future)
        future.release()
        for name in task.names:
            piece = received(group[name], unlink=True, recycle=recycle) if failure is None else \
                FactorError.from_exception(name, failure)
            pieces.setdefault(name, {})[task.chunk] = piece
            if len(pieces[name]) == task.n_chunks:
                done = pieces.pop(name)
                finish(name, combine_slices(name, [done[k] for k in sorted(done)]))


def _submit_studies(client, submitted, study, bundle, expected):
    """One study task per factor over its slices; returns (name, future) pairs.
    The evaluation futures are dropped here: the scheduler keeps their
    results while a study task still needs them, and no longer."""
    slices = {}
    for task, future in submitted:
        for name in task.names:
            slices.setdefault(name, []).append((task.chunk, future))
    studies = []
    for name, parts in slices.items():
        picked = [client.submit(pick, future, name, key=_key("pick"))
                  for _, future in sorted(parts, key=lambda p: p[0])]
        future = client.submit(study_task, name, picked, study["steps"], study["returns"],
                               study["periods"], study["ascending"],
                               study["keep_preprocess_result"], bundle, expected,
                               key=_key("study"), priority=1)
        studies.append((name, future))
    return studies


def _collect_studies(distributed, submitted, finish, recycle=None):
    owner = {future.key: name for name, future in submitted}
    for future in distributed.as_completed([f for _, f in submitted]):
        name = owner[future.key]
        results, failure = _outcome(future)
        future.release()
        finish(name, results if failure is None else FactorError.from_exception(name, failure))
