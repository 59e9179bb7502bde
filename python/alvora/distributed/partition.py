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
The slices shorten towards the end, so that the workers finish about
together. Since the slices even the groups out, the groups need not be
equal: the factors sharing a costly sub-tree (a rank of the volume, say) go
into one group, which computes it once, as far as half the sliced work can
make up the difference (the other half is left for the estimate's errors).
Where the groups of a machine read each field once between them (see
shared_fields.py), a field costs nothing twice and draws no factor to a
group.
Without enough such factors to even the groups out, the groups are more (two
per worker) and run largest first. One worker gets one group and the slices:
a slice's grids are small and reuse the memory the group's grids freed, where
one pass over all instruments writes every grid into fresh pages (on the
large market, the alpha library's 9 sliced factors cost 1.8 s of CPU in 4
slices after the group against about 4.5 s in the group's pass).
"""
from collections import Counter

from ..cross_sectional import CrossSectionalFactor
from ..engine_v2.exec_context import PRICING_FACTORS
from ..fix import FixedFactor
from ..leaf import _Factor
from ..utils import iter_nodes
from .costs import WEIGHTS, factor_nodes, node_kind, nodes_cost

__all__ = ["splits_by_instrument", "instrument_chunks", "tapered_chunks", "balanced_groups",
           "estimated_cost", "EvalTask", "plan_tasks", "within_memory", "RESULT_MEMORY_SHARE"]

# Below this many instruments per slice, the fixed cost of a task outweighs the gain.
MIN_CHUNK = 64
# Groups per worker when there is little to slice: each loads its market data again.
TASKS_PER_WORKER = 2
# Slices per worker of the factors that may be sliced.
SLICES_PER_WORKER = 4
# Share of the sliced work the plan counts on to even out the groups.
SPARE_SHARE = 0.5
# The sliced factors even out the groups when they hold at least this share of
# the estimated work (about what the estimate gets wrong on a group).
MIN_SLICED_SHARE = 0.08
# A task's result grids take at most this share of a worker's memory limit
# (the rest is for its market data and intermediate grids): a group of hundreds
# of factors over a whole market would hold more than the worker has, and Dask
# would kill it on every retry.
RESULT_MEMORY_SHARE = 0.25


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


def tapered_chunks(order_book_ids, n_chunks):
    """``n_chunks`` contiguous slices in order, their lengths falling
    linearly from 3/2 to 1/2 of the mean: workers take them as they free up,
    and the last ones, being short, end the run about together."""
    ids = list(order_book_ids)
    if n_chunks < 2 or len(ids) < 2 * MIN_CHUNK * n_chunks:  # the shortest would be too short
        return instrument_chunks(ids, n_chunks)
    weights = [1.5 - k / (n_chunks - 1) for k in range(n_chunks)]
    ends = [0.0]
    for w in weights:
        ends.append(ends[-1] + w)
    bounds = [round(e * len(ids) / ends[-1]) for e in ends]
    return [ids[bounds[i]:bounds[i + 1]] for i in range(n_chunks)]


class _Groups:
    """Factors (by number) placed in groups, each group's estimated cost kept
    up to date as factors come and go. A node costs its weight in every group
    holding it, but a leaf whose field the groups share (read once per
    machine, see shared_fields.py) costs its weight once, split between the
    groups holding it."""

    def __init__(self, node_sets, weights, split, n_groups):
        self.node_sets = node_sets  # factor -> its node numbers
        self.weights = weights  # node number -> weight
        self.split = split  # node number -> whether the groups share it
        self.members = [[] for _ in range(n_groups)]
        self.counts = [Counter() for _ in range(n_groups)]  # node -> factors needing it
        self.own = [0.0] * n_groups  # outputs and the nodes not shared between groups
        self.holders = Counter()  # shared node -> groups holding it

    def add(self, factor, g):
        self.members[g].append(factor)
        self.own[g] += WEIGHTS["output"]
        for node in self.node_sets[factor]:
            self.counts[g][node] += 1
            if self.counts[g][node] == 1:
                if self.split[node]:
                    self.holders[node] += 1
                else:
                    self.own[g] += self.weights[node]

    def remove(self, factor, g):
        self.members[g].remove(factor)
        self.own[g] -= WEIGHTS["output"]
        for node in self.node_sets[factor]:
            self.counts[g][node] -= 1
            if self.counts[g][node] == 0:
                del self.counts[g][node]
                if self.split[node]:
                    self.holders[node] -= 1
                else:
                    self.own[g] -= self.weights[node]

    def move(self, factors, g, h):
        for factor in factors:
            self.remove(factor, g)
            self.add(factor, h)

    def total_change(self, factors, g, h):
        """How moving ``factors`` from group g to h changes the total cost
        (shared leaves count once however they are spread)."""
        leaving = Counter()
        for factor in factors:
            leaving.update(self.node_sets[factor])
        change = 0.0
        for node, n in leaving.items():
            if self.split[node]:
                continue
            if self.counts[g][node] == n:
                change -= self.weights[node]
            if node not in self.counts[h]:
                change += self.weights[node]
        return change

    def costs(self):
        out = list(self.own)
        for node, n in self.holders.items():
            if n:
                for g, counts in enumerate(self.counts):
                    if node in counts:
                        out[g] += self.weights[node] / n
        return out

    def score(self, spare):
        """What a plan makes small: the longest group or, when the work
        queued behind the groups can even them out, the work per group;
        then the total (work done twice counted twice)."""
        costs = self.costs()
        total = sum(costs)
        return max(max(costs), (total + spare) / len(costs)), total


# The local search stops after this many passes over its moves, or this many
# moves looked at (a second or two for hundreds of factors on many workers).
MAX_PASSES = 20
MAX_TRIES = 50000
# A move must lower the score by more than this (rounding apart).
_GAIN = 1e-9


def _better(score, best):
    return score[0] < best[0] - _GAIN or (score[0] <= best[0] + _GAIN and
                                          score[1] < best[1] - _GAIN)


def _moves(groups):
    """(factors, from group): each factor alone, and for every node two
    groups hold, the factors needing it in each (a sub-tree computed twice
    goes away only when all of them move)."""
    n_groups = len(groups.members)
    moves = [([f], g) for g in range(n_groups) for f in groups.members[g]]
    held = Counter(node for counts in groups.counts for node in counts)
    for node in sorted(n for n, k in held.items() if k > 1 and not groups.split[n]):
        for g in range(n_groups):
            if node in groups.counts[g]:
                needing = [f for f in groups.members[g] if node in groups.node_sets[f]]
                if 1 < len(needing) <= len(groups.members[g]) // 2:  # else hardly a gain
                    moves.append((needing, g))
    return moves


def _improve(groups, spare):
    """Moves factors between groups while that lowers the score, looking at
    ``MAX_TRIES`` moves at most. A move from a group other than the longest
    must lower the total to help, which is cheap to tell: only such moves
    are tried in full."""
    best = groups.score(spare)
    tries = 0
    for _ in range(MAX_PASSES):
        improved = False
        costs = groups.costs()
        for factors, g in _moves(groups):
            if any(f not in groups.members[g] for f in factors):
                continue  # an earlier move of this pass took them elsewhere
            longest = costs[g] >= max(costs) - _GAIN
            for h in range(len(groups.members)):
                if h == g:
                    continue
                tries += 1
                if not longest and groups.total_change(factors, g, h) >= -_GAIN:
                    continue
                groups.move(factors, g, h)
                score = groups.score(spare)
                if _better(score, best):
                    best, improved, costs = score, True, groups.costs()
                    break
                groups.move(factors, h, g)
            if tries >= MAX_TRIES:
                return
        if not improved:
            return


def balanced_groups(factors, n_groups, spare=0.0, shared_leaves=False):
    """The names of ``factors`` in at most ``n_groups`` groups of about equal
    estimated cost, largest group first; each group keeps the caller's order.

    Factors are placed most costly first, each into the group it leaves
    smallest: the group's cost grows by what the factor adds to it (its nodes
    the group does not hold yet). Then factors move between groups while the
    longest group gets shorter or, at no greater length, less work is done
    twice: the factors sharing a sub-tree come together where the balance
    allows. ``spare``: estimated work queued behind the groups for whichever
    worker frees up first, by which the groups may differ. ``shared_leaves``:
    the groups read each field once between them.
    """
    names = list(factors)
    n_groups = max(1, min(n_groups, len(names)))
    numbers, weights, split, node_sets = {}, [], [], []
    for name in names:
        ids = set()
        for node in iter_nodes(factors[name]):  # numbered in tree order: the same plan every run
            if node not in numbers:
                numbers[node] = len(weights)
                kind = node_kind(node)
                weights.append(WEIGHTS[kind])
                split.append(shared_leaves and kind == "leaf")
            ids.add(numbers[node])
        node_sets.append(frozenset(ids))
    groups = _Groups(node_sets, weights, split, n_groups)
    alone = [sum(weights[n] for n in ids) for ids in node_sets]
    for f in sorted(range(len(names)), key=lambda f: -alone[f]):  # largest first (stable)
        after = []
        for g in range(n_groups):
            groups.add(f, g)
            after.append(groups.costs()[g])
            groups.remove(f, g)
        groups.add(f, after.index(min(after)))
    _improve(groups, spare)
    costs = groups.costs()
    used = sorted((g for g in range(n_groups) if groups.members[g]),
                  key=lambda g: (-costs[g], min(groups.members[g])))
    return [[names[f] for f in sorted(groups.members[g])] for g in used]


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
    nodes = set()
    for name in names:
        nodes |= factor_nodes(factors[name])
    return WEIGHTS["output"] * len(names) + nodes_cost(nodes)


def within_memory(tasks, result_rows, max_result_bytes):
    """``tasks`` with each one whose result grids (float64, ``result_rows``
    dates by its instruments, one per factor) would pass ``max_result_bytes``
    cut into consecutive runs of its factors that stay within it (one factor
    a task at the least); the pieces take the task's place."""
    out = []
    for task in tasks:
        per_factor = 8 * max(1, result_rows) * max(1, len(task.ids))
        most = max(1, int(max_result_bytes // per_factor))
        for i in range(0, len(task.names), most):
            out.append(EvalTask(task.names[i:i + most], task.ids, task.chunk, task.n_chunks))
    return out


def plan_tasks(factors, order_book_ids, n_workers, universe=None, group_size=None,
               slices_travel=False, shared_leaves=False, result_rows=None,
               max_result_bytes=None):
    """The tasks for ``factors`` (an ordered name -> node mapping), in the
    order to submit them: groups of whole instrument lists, largest first,
    then the slices.

    ``slices_travel``: a factor's slices would be sent between workers to be
    put together (a study runs on a worker); then only a library too small to
    keep every worker busy otherwise is sliced. ``shared_leaves``: the
    groups of a machine read each field once between them.

    ``result_rows`` and ``max_result_bytes``: the dates a result grid holds
    and the most bytes of result grids one task may hold (see
    :func:`within_memory`); either None: no bound.

    Every factor appears in exactly one task per slice, slices of one factor
    in instrument order.
    """
    tasks = _planned(factors, order_book_ids, n_workers, universe, group_size, slices_travel,
                     shared_leaves)
    if result_rows is None or not max_result_bytes:
        return tasks
    return within_memory(tasks, result_rows, max_result_bytes)


def _planned(factors, order_book_ids, n_workers, universe, group_size, slices_travel,
             shared_leaves):
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
    spare = 0.0
    if n_workers == 1:  # nothing to balance: the whole factors share one task
        n_groups = 1 if sliced else TASKS_PER_WORKER
    else:
        in_slices_cost = estimated_cost(factors, sliced) if sliced else 0.0
        evens_out = bool(sliced) and in_slices_cost >= MIN_SLICED_SHARE * (
            in_slices_cost + estimated_cost(factors, whole))
        n_groups = n_workers if evens_out else TASKS_PER_WORKER * n_workers
        # half the sliced work may even out the groups by design, the other
        # half is left for what the estimate gets wrong
        spare = SPARE_SHARE * in_slices_cost if evens_out else 0.0
    groups = balanced_groups({n: factors[n] for n in whole}, n_groups, spare, shared_leaves)
    tasks = [EvalTask(group, ids) for group in groups]
    if sliced:
        n_chunks = max(1, min(n_chunks, len(ids) // MIN_CHUNK))
        for k, chunk in enumerate(tapered_chunks(ids, n_chunks)):
            tasks.append(EvalTask(sliced, chunk, k, n_chunks))
    return tasks
