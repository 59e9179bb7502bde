"""Fixed-instrument factors: one instrument's values served to every instrument."""
from .interface import AbstractFactor, TerminalFactor

__all__ = ["FixedFactor", "FIX"]


def _identity(frame):
    return frame


class FixedFactor(TerminalFactor):
    """``factor`` evaluated for ``order_book_id`` (an index, a benchmark stock, ...)
    and handed to every instrument on its own valid rows.

    The node is terminal: the engine computes it once per evaluation, stores it
    in the execution context and reads it back per instrument. When the inner
    tree holds nodes that must themselves be computed across instruments
    (cross-sectional or other fixed nodes) it is wrapped in a pass-through
    cross-sectional node, so it is evaluated as a whole frame (with those nodes
    computed first) and the fixed instrument's column is taken; the fixed
    instrument must then be among the instruments evaluated.
    """

    def __init__(self, factor, order_book_id):
        if not isinstance(factor, AbstractFactor):
            raise TypeError("FixedFactor expects a factor node, got {}".format(
                type(factor).__name__))
        if not isinstance(order_book_id, str) or not order_book_id:
            raise TypeError("order_book_id must be a non-empty string, got {!r}".format(
                order_book_id))
        from .cross_sectional import CrossSectionalFactor
        from .utils import is_cross_sectional, _contains_fixed

        self._inner = factor
        if not isinstance(factor, CrossSectionalFactor) and (
                is_cross_sectional(factor) or _contains_fixed(factor)):
            factor = CrossSectionalFactor(_identity, factor)
        self.factor = factor
        self.order_book_id = order_book_id
        self._derive(shift=factor.shift)

    @property
    def shift(self):
        """The inner factor's look-back, so a tree over this node loads the
        history its windows need; served without those first valid rows."""
        return self._derived_shift

    def __repr__(self):
        return "FIX({!r}, {!r})".format(self._inner, self.order_book_id)


def FIX(factor, order_book_id):
    """The values of ``factor`` for ``order_book_id``, given to every instrument."""
    return FixedFactor(factor, order_book_id)
