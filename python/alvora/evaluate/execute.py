"""``execute_factors``: many factors over one load of the market data."""
import time
import weakref
from contextlib import contextmanager

import numpy as np
import pandas as pd

import tessal

from ..engine_v2 import exec_context
from ..interface import AbstractFactor
from ..leaf import _Factor
from ..utils import get_fixed_order_book_ids, get_leaves, iter_nodes, use_dma
from .context import rows_from
from .evaluator import Evaluator
from .shared_ranks import SharedRanks, carried_ranks

__all__ = ["execute_factors", "iter_factors", "WARM_UP_ROWS", "SHARE_RANKS"]

WARM_UP_ROWS = 126

# Percentile ranks of a sub-tree used by factors of several look-backs are
# computed once and carried to the later look-backs (see shared_ranks.py);
# False computes them again for each.
SHARE_RANKS = True


def _eval_core():
    from ..engine_v2 import eval_core

    return eval_core


def _normalise(factors):
    """(keys, nodes, as_dict) from a dict name -> node or a sequence of nodes."""
    if isinstance(factors, AbstractFactor):
        raise TypeError("factors must be a dict of name -> factor or a list of factors; "
                        "for one factor use execute_factor")
    if isinstance(factors, dict):
        keys, nodes, as_dict = list(factors), list(factors.values()), True
    elif isinstance(factors, (list, tuple)):
        keys, nodes, as_dict = list(range(len(factors))), list(factors), False
    else:
        raise TypeError("factors must be a dict of name -> factor or a list of factors, got "
                        "{}".format(type(factors).__name__))
    for key, node in zip(keys, nodes):
        if not isinstance(node, AbstractFactor):
            raise TypeError("factor {!r} is not a factor node but {}".format(
                key, type(node).__name__))
    return keys, nodes, as_dict


def _is_stored(node):
    return isinstance(node, _Factor) and node not in exec_context.PRICING_FACTORS


def execute_factors(factors, order_book_ids, start_date, end_date, universe=None,
                    timings=None):
    """Evaluate many factors at once; one factor frame per factor.

    ``factors`` is a dict name -> factor node (the result is a dict with the
    same keys, in the same order) or a list of nodes (the result is a list).
    Each frame equals what ``execute_factor(factor, order_book_ids, start_date,
    end_date, universe)`` returns for that factor alone: trading dates from
    ``start_date`` through the clamped end date, one column per instrument of
    ``order_book_ids`` in order, masked by the universe.

    The market data is loaded once, for the union of the factors' leaves and
    from the earliest date any factor's look-back needs; each factor is still
    evaluated from its own first date, so its windows see exactly the rows they
    would see alone. Cross-sectional and fixed nodes and sub-expressions common
    to several factors are computed once.

    ``timings``, a dict, receives where the time went: "load" (the market
    data), "evaluate" and "frames" (masking and cutting the result frames),
    each as (wall seconds, CPU seconds of this process).

    Every frame is held until the call returns; :func:`iter_factors` hands
    them over one by one instead.
    """
    keys, nodes, as_dict = _normalise(factors)
    _check_ids(order_book_ids)
    results = [None] * len(nodes)
    for k, frame in _evaluated(nodes, order_book_ids, start_date, end_date, universe, timings):
        results[k] = frame
    _own_memory(results)
    return dict(zip(keys, results)) if as_dict else results


def iter_factors(factors, order_book_ids, start_date, end_date, universe=None,
                 timings=None):
    """Evaluate many factors at once, handing over each frame as soon as it is done.

    Yields ``(key, frame)`` pairs: ``key`` is the factor's name (``factors`` a
    dict) or its position (a list), and ``frame`` equals what
    :func:`execute_factors` gives for it. The arguments are those of
    :func:`execute_factors`, and so is the work shared between factors; what
    differs is memory. Factors come in the order they are finished (grouped by
    look-back, then in batches), not in the given order, and none is kept here
    once handed over: a frame the caller drops gives its memory to the next
    ones. A library over thousands of instruments and years of dates, whose
    frames together would not fit in memory, can be analysed factor by factor:

    >>> for name, frame in iter_factors(library, ids, "2014-01-02", "2023-12-29"):
    ...     ic[name] = my_ic(frame)          # doctest: +SKIP

    Stopping early (``break``) leaves the remaining factors unevaluated.
    """
    keys, nodes, _ = _normalise(factors)  # bad input fails here, not at the first factor
    _check_ids(order_book_ids)
    return _handed_over(keys, nodes, order_book_ids, start_date, end_date, universe, timings)


def _check_ids(order_book_ids):
    if isinstance(order_book_ids, str):
        raise TypeError("order_book_ids must be a list of ids, not a single string")


def _handed_over(keys, nodes, order_book_ids, start_date, end_date, universe, timings):
    live = []  # weak references to the frames handed over (see _apart_from)
    for k, frame in _evaluated(nodes, order_book_ids, start_date, end_date, universe, timings):
        frame = _apart_from(frame, live)
        yield keys[k], frame
        del frame  # not held while the next batch is evaluated


def _evaluated(nodes, order_book_ids, start_date, end_date, universe, timings):
    """(index in ``nodes``, frame) pairs as the factors are finished."""
    ids = list(order_book_ids)
    general = []
    for k, node in enumerate(nodes):
        if _is_stored(node):
            yield k, _eval_core().execute_factor(node, ids, start_date, end_date,
                                                 universe=universe)
        else:
            general.append(k)
    if not general:
        return
    frames = _execute_general([nodes[k] for k in general], ids, start_date, end_date,
                              universe, {} if timings is None else timings)
    while True:
        try:
            j, frame = next(frames)
        except StopIteration:
            return
        except RecursionError:
            raise ValueError("a factor tree is nested too deeply to evaluate (more levels "
                             "than the interpreter's recursion limit)") from None
        yield general[j], frame
        del frame


def _copy_on_write():
    if int(pd.__version__.split(".")[0]) >= 3:
        return True
    try:
        return pd.get_option("mode.copy_on_write") is True
    except (KeyError, pd.errors.OptionError):
        return False


def _own_memory(results):
    """Factors computed by one node (the same tree twice, a rank of ranks) share
    its grid. Where pandas writes into a frame's values in place, a change to
    one would show in the others: each such frame after the first gets a copy."""
    live = []
    for k, frame in enumerate(results):
        if isinstance(frame, pd.DataFrame):
            results[k] = _apart_from(frame, live)


def _apart_from(frame, live):
    """``frame``, copied if it shares memory with a frame handed over earlier that
    is still alive (weak references in ``live``, pruned here): see _own_memory."""
    if _copy_on_write():
        return frame
    earlier = [f for f in (ref() for ref in live) if f is not None]
    live[:] = [weakref.ref(f) for f in earlier]
    values = frame.to_numpy()
    if any(np.may_share_memory(values, f.to_numpy()) for f in earlier):
        frame = frame.copy()
    live.append(weakref.ref(frame))
    return frame


def _first_date(factor, start_date):
    shift = factor.shift
    if shift > 0:
        back = -shift - (WARM_UP_ROWS if use_dma(factor) else 0)
        return pd.Timestamp(tessal.trading_date_offset(start_date, back))
    return start_date


@contextmanager
def _timed(timings, phase):
    wall, cpu = time.perf_counter(), time.process_time()
    try:
        yield
    finally:
        before = timings.get(phase, (0.0, 0.0))
        timings[phase] = (before[0] + time.perf_counter() - wall,
                          before[1] + time.process_time() - cpu)


def _execute_general(nodes, ids, start_date, end_date, universe, timings):
    start_date, end_date = pd.Timestamp(start_date), pd.Timestamp(end_date)
    firsts = [_first_date(node, start_date) for node in nodes]
    requested_end = end_date
    end_date = _eval_core().ensure_end_date(end_date)
    if start_date > pd.Timestamp(end_date):
        if start_date <= requested_end:
            raise ValueError("start_date {} is after the last trading date with data ({}): "
                             "nothing to evaluate".format(start_date.date(),
                                                          pd.Timestamp(end_date).date()))
        raise ValueError("start_date {} is after end_date {}".format(
            start_date.date(), requested_end.date()))

    leaves, fixed = [], []
    for node in nodes:
        leaves.extend(get_leaves(node))
        fixed.extend(get_fixed_order_book_ids(node, ids))
    leaves = list(dict.fromkeys(leaves))
    fixed = list(dict.fromkeys(fixed))
    with _timed(timings, "load"):
        ctx = exec_context.ThreadingExecContext(leaves, ids + fixed, min(firsts), end_date,
                                                universe=universe)

    groups = [[k for k, f in enumerate(firsts) if f == first] for first in sorted(set(firsts))]
    shared = _shared_ranks(groups, nodes, ids, ctx) if universe is None else None
    for group, members in enumerate(groups):
        first = firsts[members[0]]
        with _timed(timings, "evaluate"):
            view = rows_from(ctx, first)
            mask = exec_context.get_universe_mask(ids, first, end_date, universe)
            if mask is not None:  # the view's grid starts at the loaded dates: no valid row before
                mask = mask.reindex(index=view.index, fill_value=False)
            view.universe_mask = mask
            evaluator = Evaluator(view, ids)
            evaluator.shared, evaluator.group = shared, group
            batches = evaluator.batches([nodes[k] for k in members])
        while True:
            with _timed(timings, "evaluate"):
                batch = next(batches, None)
                if batch is None and shared is not None:
                    shared.done(group)
            if batch is None:
                break
            with _timed(timings, "frames"):
                cut = []
                for j, frame in batch:
                    if mask is not None:
                        frame = frame.where(mask)
                    cut.append((members[j], frame.loc[start_date:end_date]))
            del batch
            yield from cut
            del cut


def _shared_ranks(groups, nodes, ids, ctx):
    """The ranks worth carrying between the look-back groups: those used by
    more than one group (node -> the last group using it)."""
    if not SHARE_RANKS:
        return None
    first_use, last_use = {}, {}
    for group, members in enumerate(groups):
        for k in members:
            for node in iter_nodes(nodes[k]):
                if carried_ranks(node):
                    first_use.setdefault(node, group)
                    last_use[node] = group
    uses = {n: g for n, g in last_use.items() if g > first_use[n]}
    if not uses:
        return None
    return SharedRanks(uses, [ctx._instrument(oid)[0] for oid in ids])
