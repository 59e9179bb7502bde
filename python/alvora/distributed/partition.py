"""How a factor library is cut into tasks.

By factor: factors are evaluated in groups, so a group shares one data load
(and its shared sub-trees). By instrument: a tree without cross-sectional or
fixed nodes computes each instrument from that instrument's data alone, so it
can be evaluated over slices of the instrument list, each slice loading its
own look-back, and the slices put side by side equal one whole evaluation.

Every task loads its own data, so the factors that need whole instruments
lists go into few groups, one per worker, of equal estimated cost (see
costs.py), a factor going where it adds least given the sub-trees and leaves
the group already holds. The factors that may be sliced go, all together,
into several slices per worker queued behind the groups: Dask hands each to
the worker that frees up first, which evens out what the estimate got wrong.
Without enough such factors to even the groups out, the groups are more (two
per worker) and run largest first. One worker gets one group and the slices:
a slice's grids are small and reuse the memory the group's grids freed, where
one pass over all instruments writes every grid into fresh pages (on the
large market, the alpha library's 9 sliced factors cost 1.8 s of CPU in 4
slices after the group against about 4.5 s in the group's pass).
"""
from ..cross_sectional import CrossSectionalFactor
from ..engine_v2.exec_context import PRICING_FACTORS
from ..fix import FixedFactor
from ..leaf import _Factor
from ..utils import iter_nodes
from .costs import WEIGHTS, factor_nodes, nodes_cost

__all__ = ["splits_by_instrument", "instrument_chunks", "balanced_groups", "estimated_cost",
           "EvalTask", "plan_tasks"]

# Below this many instruments per slice, the fixed cost of a task outweighs the gain.
MIN_CHUNK = 64
# Groups per worker when there is little to slice: each loads its market data again.
TASKS_PER_WORKER = 2
# Slices per worker of the factors that may be sliced.
SLICES_PER_WORKER = 4
# The sliced factors even out the groups when they hold at least this share of
# the estimated work (about what the estimate gets wrong on a group).
MIN_SLICED_SHARE = 0.08


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


class _Group:
    def __init__(self):
        self.names = []
        self.nodes = set()
        self.cost = 0.0

    def added_cost(self, nodes):
        return WEIGHTS["output"] + nodes_cost(nodes - self.nodes)

    def add(self, name, nodes):
        self.cost += self.added_cost(nodes)
        self.nodes |= nodes
        self.names.append(name)


def balanced_groups(factors, n_groups):
    """The names of ``factors`` in at most ``n_groups`` groups of about equal
    estimated cost, largest group first; each group keeps the caller's order.

    Factors are placed most costly first, each into the group it leaves
    smallest: the group's cost grows by what the factor adds to it (its nodes
    the group does not hold yet), so factors sharing sub-trees or leaves come
    together where that does not unbalance the groups.
    """
    names = list(factors)
    n_groups = max(1, min(n_groups, len(names)))
    nodes = {name: factor_nodes(factors[name]) for name in names}
    alone = {name: nodes_cost(nodes[name]) for name in names}
    groups = [_Group() for _ in range(n_groups)]
    for name in sorted(names, key=lambda n: -alone[n]):  # largest first (stable)
        best = min(groups, key=lambda g: g.cost + g.added_cost(nodes[name]))
        best.add(name, nodes[name])
    position = {name: i for i, name in enumerate(names)}
    used = sorted((g for g in groups if g.names), key=lambda g: (-g.cost, position[g.names[0]]))
    return [sorted(g.names, key=position.get) for g in used]


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


def estimated_cost(factors, names):
    """The estimated cost of evaluating the factors ``names`` together."""
    group = _Group()
    for name in names:
        group.add(name, factor_nodes(factors[name]))
    return group.cost


def plan_tasks(factors, order_book_ids, n_workers, universe=None, group_size=None,
               slices_travel=False):
    """The tasks for ``factors`` (an ordered name -> node mapping), in the
    order to submit them: groups of whole instrument lists, largest first,
    then the slices.

    ``slices_travel``: a factor's slices would be sent between workers to be
    put together (a study runs on a worker); then only a library too small to
    keep every worker busy otherwise is sliced.

    Every factor appears in exactly one task per slice, slices of one factor
    in instrument order.
    """
    names = list(factors)
    ids = list(order_book_ids)
    n_workers = max(1, n_workers)
    if group_size is not None:
        return [EvalTask(names[i:i + group_size], ids)
                for i in range(0, len(names), group_size)]
    sliced = []
    few = len(names) < TASKS_PER_WORKER * n_workers
    if len(ids) >= 2 * MIN_CHUNK and (few or not slices_travel):
        sliced = [n for n in names if splits_by_instrument(factors[n], universe)]
    in_slices = set(sliced)
    whole = [n for n in names if n not in in_slices]
    n_chunks = SLICES_PER_WORKER * n_workers
    if n_workers == 1:  # nothing to balance: the whole factors share one task
        n_groups = 1 if sliced else TASKS_PER_WORKER
    else:
        evens_out = bool(sliced) and estimated_cost(factors, sliced) >= MIN_SLICED_SHARE * (
            estimated_cost(factors, sliced) + estimated_cost(factors, whole))
        n_groups = n_workers if evens_out else TASKS_PER_WORKER * n_workers
    tasks = [EvalTask(group, ids)
             for group in balanced_groups({n: factors[n] for n in whole}, n_groups)]
    if sliced:
        n_chunks = max(1, min(n_chunks, len(ids) // MIN_CHUNK))
        for k, chunk in enumerate(instrument_chunks(ids, n_chunks)):
            tasks.append(EvalTask(sliced, chunk, k, n_chunks))
    return tasks
