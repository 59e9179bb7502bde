"""Factor expression nodes.

A factor is a tree of nodes. The execution engine reads three things from
every node:

- ``expr``: a number, a terminal node (whose values the execution context
  serves), or a pair ``(kernel, argument expressions)``;
- ``shift``: how many valid rows the node's windows consume before its first
  value, so its value series is that much shorter than the leaf data;
- ``dependencies``: the nodes that must be computed (or loaded) before the
  node's expression can be evaluated per instrument.

Nodes compare and hash by structure (same class, same attributes), so equal
trees deduplicate in sets and ``leaf in PRICING_FACTORS`` works. Because of
that ``==`` and ``!=`` are *not* elementwise node builders; use
:meth:`AbstractFactor.equal` / :meth:`AbstractFactor.not_equal` for those.
"""
import math
import numbers

import numpy as np

__all__ = [
    "AbstractFactor",
    "LeafFactor",
    "ShiftedFactor",
    "BinaryCombinedFactor",
    "UnaryCombinedFactor",
    "drop_oldest",
]


def drop_oldest(values, n):
    """Drop the oldest ``n`` entries of a value series (alignment, not a lag).

    Numbers (a constant sub-expression) have no length and pass through.
    """
    if isinstance(values, numbers.Number) or np.ndim(values) == 0:
        return values
    return np.asarray(values)[n:]


def _freeze(value):
    """A hashable, comparable stand-in for one attribute value of a node."""
    if isinstance(value, AbstractFactor):
        return value
    if isinstance(value, float) and math.isnan(value):
        # NaN != NaN and its hash is per object: give all NaNs one key
        return ("__nan__",)
    if isinstance(value, (list, tuple)):
        return (type(value).__name__,) + tuple(_freeze(v) for v in value)
    if isinstance(value, dict):
        return ("dict",) + tuple(sorted(((repr(k), _freeze(v)) for k, v in value.items()),
                                       key=lambda kv: kv[0]))
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, value.tobytes())
    try:
        hash(value)
    except TypeError:
        # unhashable and unknown: only the very same object is equal
        return ("id", id(value))
    if isinstance(value, np.floating) and np.isnan(value):
        return ("__nan__",)
    return value


class AbstractFactor:
    """Base class of every factor node.

    Subclasses provide ``expr``, ``shift`` and ``dependencies``. Arithmetic
    (``+ - * / **``, unary ``-``, ``abs()``), comparisons (``< <= > >=``) and
    logic (``& | ~``) build new nodes; plain numbers are accepted on either
    side. A subclass may set ``use_dma = True`` to request the extra 126-row
    warm-up for every tree it appears in.
    """

    # numpy must not try to broadcast a node as an object array: with this
    # set, ``np.float64(2) * node`` defers to ``node.__rmul__``.
    __array_ufunc__ = None

    use_dma = False

    @property
    def expr(self):
        raise NotImplementedError

    @property
    def shift(self):
        raise NotImplementedError

    @property
    def dependencies(self):
        raise NotImplementedError

    # -- structural identity -------------------------------------------------

    def _structure_key(self):
        state = getattr(self, "__dict__", {})
        return tuple((k, _freeze(state[k])) for k in sorted(state))

    def __eq__(self, other):
        if self is other:
            return True
        if not isinstance(other, AbstractFactor) or type(self) is not type(other):
            return NotImplemented
        return self._structure_key() == other._structure_key()

    def __ne__(self, other):
        result = self.__eq__(other)
        if result is NotImplemented:
            return result
        return not result

    def __hash__(self):
        return hash((type(self), self._structure_key()))

    # -- node builders -------------------------------------------------------

    def _binary(self, op, other, reflected=False):
        if not _is_operand(other):
            return NotImplemented
        if reflected:
            return BinaryCombinedFactor(op, other, self)
        return BinaryCombinedFactor(op, self, other)

    def __add__(self, other):
        return self._binary(np.add, other)

    def __radd__(self, other):
        return self._binary(np.add, other, reflected=True)

    def __sub__(self, other):
        return self._binary(np.subtract, other)

    def __rsub__(self, other):
        return self._binary(np.subtract, other, reflected=True)

    def __mul__(self, other):
        return self._binary(np.multiply, other)

    def __rmul__(self, other):
        return self._binary(np.multiply, other, reflected=True)

    def __truediv__(self, other):
        return self._binary(np.true_divide, other)

    def __rtruediv__(self, other):
        return self._binary(np.true_divide, other, reflected=True)

    def __pow__(self, other):
        return self._binary(np.power, other)

    def __rpow__(self, other):
        return self._binary(np.power, other, reflected=True)

    def __lt__(self, other):
        return self._binary(np.less, other)

    def __le__(self, other):
        return self._binary(np.less_equal, other)

    def __gt__(self, other):
        return self._binary(np.greater, other)

    def __ge__(self, other):
        return self._binary(np.greater_equal, other)

    def __and__(self, other):
        return self._binary(np.logical_and, other)

    def __rand__(self, other):
        return self._binary(np.logical_and, other, reflected=True)

    def __or__(self, other):
        return self._binary(np.logical_or, other)

    def __ror__(self, other):
        return self._binary(np.logical_or, other, reflected=True)

    def __neg__(self):
        return UnaryCombinedFactor(np.negative, self)

    def __pos__(self):
        return self

    def __abs__(self):
        return UnaryCombinedFactor(np.absolute, self)

    def __invert__(self):
        return UnaryCombinedFactor(np.logical_not, self)

    def equal(self, other):
        """Elementwise ``self == other`` as a node (``==`` compares structure)."""
        return self._checked_binary(np.equal, other)

    def not_equal(self, other):
        """Elementwise ``self != other`` as a node (``!=`` compares structure)."""
        return self._checked_binary(np.not_equal, other)

    def _checked_binary(self, op, other):
        node = self._binary(op, other)
        if node is NotImplemented:
            raise TypeError("cannot combine a factor with {}".format(type(other).__name__))
        return node

    def __bool__(self):
        raise TypeError(
            "a factor has no truth value; combine conditions with & | ~, "
            "compare nodes by structure with == only"
        )


def _is_operand(value):
    """Nodes and real numbers (bools included) can be combined into nodes."""
    return isinstance(value, (AbstractFactor, numbers.Real)) and not isinstance(value, str)


class TerminalFactor(AbstractFactor):
    """A node the execution context serves whole: its expression is the node
    itself, it consumes no look-back and depends on nothing but itself."""

    @property
    def expr(self):
        return self

    @property
    def shift(self):
        return 0

    @property
    def dependencies(self):
        return [self]


class LeafFactor(TerminalFactor):
    """A terminal node whose values the execution context loads."""


class ShiftedFactor(AbstractFactor):
    """``factor`` with its oldest ``n`` values dropped.

    This aligns a series with one whose windows consumed ``n`` more rows: both
    end on the instrument's last valid row and have equal length. It is not a
    lag: the newest value stays the newest.
    """

    def __init__(self, factor, n):
        if not isinstance(factor, AbstractFactor):
            raise TypeError("ShiftedFactor expects a factor node, got {}".format(
                type(factor).__name__))
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
            raise TypeError("shift must be an integer, got {}".format(type(n).__name__))
        if n < 1:
            raise ValueError("shift must be at least 1, got {}".format(n))
        self._factor = factor
        self._n = int(n)

    @property
    def expr(self):
        return (drop_oldest, (self._factor.expr, self._n))

    @property
    def shift(self):
        return self._factor.shift + self._n

    @property
    def dependencies(self):
        return self._factor.dependencies

    def __repr__(self):
        return "ShiftedFactor({!r}, {})".format(self._factor, self._n)


_INFIX = {
    np.add: "+",
    np.subtract: "-",
    np.multiply: "*",
    np.true_divide: "/",
    np.power: "**",
    np.less: "<",
    np.less_equal: "<=",
    np.greater: ">",
    np.greater_equal: ">=",
    np.equal: "==",
    np.not_equal: "!=",
    np.logical_and: "&",
    np.logical_or: "|",
}

_PREFIX = {np.negative: "-", np.logical_not: "~"}


def _show(operand):
    if isinstance(operand, np.generic):
        operand = operand.item()  # 2.0, not np.float64(2.0)
    return repr(operand)


def _op_name(op):
    return getattr(op, "__name__", repr(op))


class BinaryCombinedFactor(AbstractFactor):
    """``op(left, right)`` applied elementwise.

    ``op`` is an elementwise callable such as ``np.add`` or ``np.equal``;
    ``left`` and ``right`` are nodes or real numbers. The operand with the
    smaller look-back is aligned with :class:`ShiftedFactor` when the
    expression is built, so the kernel receives series of equal length.
    """

    def __init__(self, op, left, right):
        if not callable(op):
            raise TypeError("op must be callable, got {}".format(type(op).__name__))
        for operand in (left, right):
            if not _is_operand(operand):
                raise TypeError("operands must be factors or real numbers, got {}".format(
                    type(operand).__name__))
        self._op = op
        self._left = left
        self._right = right

    def _nodes(self):
        return [x for x in (self._left, self._right) if isinstance(x, AbstractFactor)]

    @property
    def shift(self):
        return max((f.shift for f in self._nodes()), default=0)

    def _aligned_expr(self, operand, target):
        if not isinstance(operand, AbstractFactor):
            return operand
        gap = target - operand.shift
        if gap > 0:
            return ShiftedFactor(operand, gap).expr
        return operand.expr

    @property
    def expr(self):
        target = self.shift
        return (self._op, (self._aligned_expr(self._left, target),
                           self._aligned_expr(self._right, target)))

    @property
    def dependencies(self):
        deps = []
        for f in self._nodes():
            deps.extend(f.dependencies)
        return deps

    def __repr__(self):
        symbol = _INFIX.get(self._op)
        if symbol is not None:
            return "({} {} {})".format(_show(self._left), symbol, _show(self._right))
        return "{}({}, {})".format(_op_name(self._op), _show(self._left), _show(self._right))


class UnaryCombinedFactor(AbstractFactor):
    """``op(factor)`` applied elementwise (negation, absolute value, not, ...)."""

    def __init__(self, op, factor):
        if not callable(op):
            raise TypeError("op must be callable, got {}".format(type(op).__name__))
        if not isinstance(factor, AbstractFactor):
            raise TypeError("UnaryCombinedFactor expects a factor node, got {}".format(
                type(factor).__name__))
        self._op = op
        self._factor = factor

    @property
    def expr(self):
        return (self._op, (self._factor.expr,))

    @property
    def shift(self):
        return self._factor.shift

    @property
    def dependencies(self):
        return self._factor.dependencies

    def __repr__(self):
        symbol = _PREFIX.get(self._op)
        if symbol is not None:
            return "{}{!r}".format(symbol, self._factor)
        if self._op is np.absolute:
            return "abs({!r})".format(self._factor)
        return "{}({!r})".format(_op_name(self._op), self._factor)
