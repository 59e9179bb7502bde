"""Cross-sectional ranks carried from one look-back group to a later one.

Factors with different look-backs are evaluated on views of one loaded context
whose valid rows start on different dates. A percentile rank of the same
sub-tree in a later view (valid rows from row k2) differs from the earlier
view's (from row k1 < k2) only where an instrument has too few valid rows since
k2 for the sub-tree's windows: there the later view has no value, so the date
ranks fewer instruments. Elsewhere the sub-tree's value is the same in both
views (its windows see the same valid rows), so:

* rows where no instrument loses its value are the earlier ranks as they are;
* rows where some do are ranked again over the instruments left, from the
  earlier ranks: ranks keep the order and the ties of the values they rank,
  so ranking them gives what ranking the values gives.

This holds for sub-trees of windows over valid rows and elementwise steps
alone: no cross-sectional or fixed node (their values differ between the
views), no warm-up, no universe, and the same valid rows in both views from
k2 on. Anything else is computed afresh.
"""
import numpy as np

from .. import _cross_section as _native
from ..cross_sectional import CrossSectionalFactor, cs_rank
from ..fix import FixedFactor
from ..utils import iter_nodes, use_dma

__all__ = ["SharedRanks", "carried_ranks", "rank_of_ranks"]


def carried_ranks(node):
    """True for a percentile rank whose sub-tree the carrying above suits."""
    if not _is_rank(node):
        return False
    (sub,) = node.sub_factors
    return not use_dma(sub) and not any(
        isinstance(n, (CrossSectionalFactor, FixedFactor)) for n in iter_nodes(sub))


def rank_of_ranks(node):
    """The inner rank of a percentile rank of a percentile rank, else None.

    Ranks keep the order and the ties of the values they rank, and NaN where
    those are NaN, so ranking them again over the same instruments gives them
    back to the bit: the outer node's frame is the inner one's.
    """
    if not _is_rank(node) or len(node.sub_factors) != 1:
        return None  # a malformed node fails where it runs, with its own message
    (sub,) = node.sub_factors
    return sub if _is_rank(sub) else None


def _is_rank(node):
    return type(node) is CrossSectionalFactor and node._func is cs_rank


class SharedRanks:
    """Ranks of one group kept for the later groups that use the same node.

    ``uses`` maps each node worth keeping to the index of the last group
    using it; groups are evaluated in order of their first row. ``columns``:
    the context columns of the frames' instruments, in order.
    """

    def __init__(self, uses, columns):
        self._uses = uses
        self._columns = np.asarray(columns, dtype=np.intp)
        self._kept = {}  # node -> (grid, valid-row grid, first row) of an earlier view
        self.carried = 0  # ranks carried, and dates ranked again among them
        self.reranked_dates = 0

    def offer(self, node, frame, view, group):
        if self._uses.get(node, -1) > group and node not in self._kept:
            self._kept[node] = (frame.to_numpy(dtype=np.float64), view._traded,
                                view._first_row)

    def done(self, group):
        """Forgets what no group after ``group`` uses."""
        for node in [n for n in self._kept if self._uses[n] <= group]:
            del self._kept[node]

    def rank(self, node, view):
        """The node's ranks in ``view`` from an earlier view's, or None."""
        entry = self._kept.get(node)
        if entry is None:
            return None
        grid, traded, k1 = entry
        k2 = view._first_row
        if k2 < k1 or grid.shape != (len(view._traded), len(self._columns)):
            return None
        columns = self._columns
        if len(columns) == view._traded.shape[1] and (
                columns == np.arange(len(columns))).all():
            columns = slice(None)  # every column in order: views, not 14 MB copies
        valid = view._traded[:, columns]
        if not np.array_equal(valid[k2:], traded[k2:, columns]):
            return None
        out, reranked = _native.rank_kept(grid, valid, k2, int(node.shift))
        self.carried += 1
        self.reranked_dates += reranked
        return out
