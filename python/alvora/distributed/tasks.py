"""The functions workers run. Module-level so tasks pickle by reference.

Every task first points the worker's ``tessal`` at the run's bundle (checked
once per worker process). A factor that fails becomes a :class:`FactorError`
value, so the rest of its group and of the run goes on; a bundle problem is
raised, since it concerns every factor.
"""
import traceback

import pandas as pd

from .bundle_check import use_bundle
from .errors import FactorError
from .shared_fields import fields_shared_in
from .transfer import grids_in_spool, spool_frames
from .worker_memory import release_unused_memory, worker_memory_limit

__all__ = ["InstrumentList", "evaluate_group", "evaluate_task", "pick", "combine_slices", "study_frame",
           "study_task", "worker_address"]


class InstrumentList:
    """A task's instruments, passed as one argument: Dask looks through a
    list argument item by item for futures, which for thousands of codes in
    every task takes the client more CPU than the rest of the submit."""

    __slots__ = ("ids",)

    def __init__(self, ids):
        self.ids = list(ids)

    def __iter__(self):
        return iter(self.ids)

    def __len__(self):
        return len(self.ids)

    def __reduce__(self):
        return type(self), (self.ids,)


def worker_address():
    try:
        from distributed import get_worker
        return get_worker().address
    except (ImportError, ValueError):
        return None


def evaluate_group(names, nodes, order_book_ids, start_date, end_date, universe=None,
                   worker=None):
    """name -> factor frame (or FactorError) for factors evaluated together:
    one data load and shared sub-trees for the group; when that fails, each
    factor alone, so only the failing ones report an error."""
    from ..engine_v2.eval_core import execute_factor
    from ..evaluate import execute_factors

    ids = list(order_book_ids)
    if len(nodes) > 1:
        try:
            return dict(zip(names, execute_factors(list(nodes), ids, start_date, end_date,
                                                   universe=universe)))
        except Exception:
            pass  # narrowed down factor by factor below
    out = {}
    for name, node in zip(names, nodes):
        try:
            out[name] = execute_factor(node, ids, start_date, end_date, universe=universe)
        except Exception as exc:
            out[name] = FactorError.from_exception(name, exc, traceback.format_exc(), worker)
    return out


def evaluate_task(names, nodes, order_book_ids, start_date, end_date, universe, bundle,
                  expected, spool=None, market=None):
    """The group's frames; with a ``spool`` this worker sees, written there
    and returned as small references (see :mod:`.transfer`). With a
    ``market`` spool, the fields loaded are shared with the other tasks of
    the machine (see :mod:`.shared_fields`)."""
    worker = worker_address()
    use_bundle(bundle, expected, worker)
    with grids_in_spool(spool), fields_shared_in(market):
        group = evaluate_group(names, nodes, order_book_ids, start_date, end_date, universe,
                               worker)
    result = spool_frames(group, spool)
    del group  # spooled frames are freed here: what the worker keeps is now known
    release_unused_memory(worker_memory_limit())
    return result


def pick(group_result, name):
    """One factor's entry of a group's result (runs where the group lives)."""
    return group_result[name]


def combine_slices(name, pieces):
    """One factor's frame from its slices (instrument order), or the first
    FactorError among them."""
    for piece in pieces:
        if isinstance(piece, FactorError):
            return piece
    if len(pieces) == 1:
        return pieces[0]
    index = pieces[0].index
    for piece in pieces[1:]:
        if not piece.index.equals(index):
            return FactorError(name, "RuntimeError",
                               "slices of one factor came back over different dates")
    frame = pd.concat(pieces, axis=1)
    frame.index = index
    frame.columns.name = pieces[0].columns.name
    return frame


def study_frame(name, frame, steps, returns="daily", periods=1, ascending=False,
                keep_preprocess_result=False, worker=None):
    """The analysis pipeline over one factor frame: step name -> result."""
    if isinstance(frame, FactorError):
        return frame
    try:
        from ..analysis.study_bench import FactorStudyBench
        bench = FactorStudyBench()
        for step in steps:
            bench.append(step)
        return bench.analysis(frame, returns, ascending=ascending, periods=periods,
                              keep_preprocess_result=keep_preprocess_result) or {}
    except Exception as exc:
        return FactorError.from_exception(name, exc, traceback.format_exc(), worker)


def study_task(name, pieces, steps, returns, periods, ascending, keep_preprocess_result,
               bundle, expected):
    worker = worker_address()
    use_bundle(bundle, expected, worker)
    frame = combine_slices(name, pieces)
    result = study_frame(name, frame, steps, returns, periods, ascending,
                         keep_preprocess_result, worker)
    del frame
    release_unused_memory(worker_memory_limit())
    return result
