"""How a factor library is cut into tasks.

By factor: factors are evaluated in groups, so a group shares one data load
(and its shared sub-trees). By instrument: a tree without cross-sectional or
fixed nodes computes each instrument from that instrument's data alone, so it
can be evaluated over slices of the instrument list, each slice loading its
own look-back, and the slices put side by side equal one whole evaluation.
Slicing is used when there are too few factors to keep every worker busy.

Every task loads its own data, so a worker gets few tasks: two each, of
about equal cost, so that one slow group does not leave the other workers
idle at the end and progress is reported more than once per worker.
"""
import heapq

from ..cross_sectional import CrossSectionalFactor
from ..engine_v2.exec_context import PRICING_FACTORS
from ..fix import FixedFactor
from ..leaf import _Factor
from ..utils import iter_nodes

__all__ = ["splits_by_instrument", "instrument_chunks", "balanced_groups", "EvalTask",
           "plan_tasks"]

# Below this many instruments per slice, the fixed cost of a task outweighs the gain.
MIN_CHUNK = 64
# Tasks wanted per worker: each loads the market data for its factors again.
TASKS_PER_WORKER = 2


def splits_by_instrument(factor, universe=None):
    """True when ``factor`` may be evaluated over slices of the instruments.

    Not for cross-sectional or fixed nodes (they need other instruments),
    stored factors (fetched whole) or index universes (membership is ranked
    across all the caller's instruments).
    """
    if isinstance(universe, str):
        return False
    if isinstance(factor, _Factor) and factor not in PRICING_FACTORS:
        return False
    return not any(isinstance(n, (CrossSectionalFactor, FixedFactor))
                   for n in iter_nodes(factor))


def instrument_chunks(order_book_ids, n_chunks):
    """``n_chunks`` contiguous slices of nearly equal length, in order."""
    ids = list(order_book_ids)
    n_chunks = max(1, min(n_chunks, len(ids)))
    bounds = [round(i * len(ids) / n_chunks) for i in range(n_chunks + 1)]
    return [ids[bounds[i]:bounds[i + 1]] for i in range(n_chunks)]


def balanced_groups(factors, n_groups):
    """The names of ``factors`` in at most ``n_groups`` groups of about equal
    cost, a factor's cost taken as the number of nodes of its tree (each one
    pass over the whole grid); each group keeps the caller's order."""
    names = list(factors)
    n_groups = max(1, min(n_groups, len(names)))
    cost = {name: sum(1 for _ in iter_nodes(factors[name])) for name in names}
    heap = [(0, k) for k in range(n_groups)]
    members = [[] for _ in range(n_groups)]
    for name in sorted(names, key=lambda n: -cost[n]):  # largest first (stable)
        load, k = heapq.heappop(heap)
        members[k].append(name)
        heapq.heappush(heap, (load + cost[name], k))
    position = {name: i for i, name in enumerate(names)}
    groups = [sorted(group, key=position.get) for group in members if group]
    return sorted(groups, key=lambda g: position[g[0]])


class EvalTask:
    """One unit of work: some factors over some instruments.

    ``chunk`` is the slice number (0 when the factors are not sliced) and
    ``n_chunks`` the number of slices of each of these factors.
    """

    def __init__(self, names, ids, chunk=0, n_chunks=1):
        self.names = list(names)
        self.ids = ids
        self.chunk = chunk
        self.n_chunks = n_chunks

    def __repr__(self):
        return "EvalTask({} factors, {} instruments, slice {}/{})".format(
            len(self.names), len(self.ids), self.chunk + 1, self.n_chunks)


def plan_tasks(factors, order_book_ids, n_workers, universe=None, group_size=None):
    """The tasks for ``factors`` (an ordered name -> node mapping).

    Returns a list of :class:`EvalTask`; every factor appears in exactly one
    task per slice, slices of one factor in instrument order.
    """
    names = list(factors)
    ids = list(order_book_ids)
    target = max(1, n_workers) * TASKS_PER_WORKER
    if group_size is not None:
        return [EvalTask(names[i:i + group_size], ids)
                for i in range(0, len(names), group_size)]
    if len(names) >= target or len(ids) < 2 * MIN_CHUNK:
        return [EvalTask(group, ids) for group in balanced_groups(factors, target)]
    n_chunks = min(target, len(ids) // MIN_CHUNK)
    tasks = []
    whole = [n for n in names if not splits_by_instrument(factors[n], universe)]
    sliced = [n for n in names if n not in whole]
    for name in whole:
        tasks.append(EvalTask([name], ids))
    if sliced:
        for k, chunk in enumerate(instrument_chunks(ids, n_chunks)):
            tasks.append(EvalTask(sliced, chunk, k, n_chunks))
    return tasks
