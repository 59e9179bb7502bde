"""What evaluating factors costs, relative to one another: the planner's
estimate for cutting a library into groups of equal work.

A group is evaluated over one load of its leaves, and a sub-tree common to
several of its factors is computed once, so a group's cost is that of its
distinct nodes (nodes compare by structure), each weighted by its kind, plus
one output grid per factor. The weights are CPU seconds per 1000 instruments
x 2500 dates, fitted to single-factor timings of the alpha library
(bench/alphas101.py, bench/calibrate_costs.py: the table's median error on
one factor is about 10 %, a node count's 25 %). Only their ratios matter.
The plan does not rely on them alone: it queues tasks whose cost is easy to
split behind the groups, for the workers that free up first (partition.py).
"""
from collections import Counter

from ..cross_sectional import CrossSectionalFactor
from ..fix import FixedFactor
from ..interface import LeafFactor
from ..utils import iter_nodes

__all__ = ["WEIGHTS", "node_kind", "factor_nodes", "nodes_cost", "factor_cost"]

WEIGHTS = {
    "output": 0.047,         # a factor's result grid and its pass over the instruments
    "leaf": 0.033,           # one field loaded from the market data
    "cross_section": 0.062,  # the argument's whole grid, then one sort per date
    "group": 0.041,          # the same, by industry
    "fixed": 0.020,          # not in the alpha library: a guess
    "correlation": 0.024,    # two-series windows (correlation, covariance)
    "rank_window": 0.002,    # ts_rank, ts_argmax, ts_argmin, ts_min, ts_max
    "window": 0.0015,        # running sums: mean, sum, std, weighted mean, product
    "operator": 0.0013,
    "elementwise": 0.0076,
}

_PAIRED = {"correlation", "covariance"}
_RANKED = {"ts_rank", "ts_argmax", "ts_argmin", "ts_min", "ts_max"}


def node_kind(node):
    """The key of ``node``'s weight in :data:`WEIGHTS`."""
    if isinstance(node, LeafFactor):
        return "leaf"
    if isinstance(node, FixedFactor):
        return "fixed"
    if isinstance(node, CrossSectionalFactor):
        return "group" if type(node).__name__ == "GroupFactor" else "cross_section"
    func = getattr(node, "_func", None)
    if hasattr(node, "_window") and func is not None:
        name = getattr(func, "__name__", "")
        if name in _PAIRED:
            return "correlation"
        return "rank_window" if name in _RANKED else "window"
    if type(node).__name__ == "OperatorFactor":
        return "operator"
    return "elementwise"


def factor_nodes(factor):
    """The distinct nodes of ``factor``'s tree, by structure."""
    return frozenset(iter_nodes(factor))


def nodes_cost(nodes):
    """The cost of evaluating ``nodes`` once each (outputs not included);
    summed kind by kind, so the same nodes in any order cost exactly the same
    and a plan does not depend on the order of a set."""
    counts = Counter(node_kind(node) for node in nodes)
    return sum(WEIGHTS[kind] * counts[kind] for kind in WEIGHTS)


def factor_cost(factor):
    """The cost of evaluating ``factor`` alone."""
    return WEIGHTS["output"] + nodes_cost(factor_nodes(factor))
