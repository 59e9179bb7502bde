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
import weakref

import numpy as np

__all__ = [
    "AbstractFactor",
    "ChainCombinedFactor",
    "ExpressionDepthError",
    "MAX_DEPTH",
    "LeafFactor",
    "ShiftedFactor",
    "BinaryCombinedFactor",
    "UnaryCombinedFactor",
    "drop_oldest",
]


# Deepest tree accepted. Some walks that follow the tree recurse (evaluation
# of nested cross-sections, pickling), so the depth is bounded where nodes are
# built: 210 levels keep them within the interpreter's default recursion limit
# (CS_RANK nested 200 deep fits). Long chains of one operator are flattened
# into a single node and do not count.
MAX_DEPTH = 210

# Attributes holding values derived from a node's children; not part of its structure.
_DERIVED_PREFIX = "_derived_"


# Derived values of nodes whose classes keep only their own attributes (leaves,
# rolling nodes, users' classes): id -> {name: value}, dropped with the node.
_remembered = {}


def _recall(node, name):
    state = getattr(node, "__dict__", None)
    if state is not None and _DERIVED_PREFIX + name in state:
        return state[_DERIVED_PREFIX + name]
    entry = _remembered.get(id(node))
    return None if entry is None or entry[0]() is not node else entry[1].get(name)


def _remember(node, name, value):
    state = getattr(node, "__dict__", None)
    if state is not None and any(k.startswith(_DERIVED_PREFIX) for k in state):
        state[_DERIVED_PREFIX + name] = value
        return
    entry = _remembered.get(id(node))
    if entry is None or entry[0]() is not node:
        try:
            ref = weakref.ref(node, lambda _, key=id(node): _remembered.pop(key, None))
        except TypeError:
            return  # cannot know when it goes away: do not cache
        entry = _remembered[id(node)] = (ref, {})
    entry[1][name] = value


class ExpressionDepthError(RecursionError):
    """A factor tree nested deeper than :data:`MAX_DEPTH`."""


def _depth_of(node):
    """Nesting depth of a node, computed once per node without recursion."""
    cached = _recall(node, "depth")
    if cached is not None:
        return cached
    from .utils import _child_nodes

    order, stack, seen = [], [node], set()
    while stack:  # post-order over the nodes whose depth is not known yet
        current = stack.pop()
        if id(current) in seen:
            continue
        seen.add(id(current))
        order.append(current)
        for child in _child_nodes(current):
            if _recall(child, "depth") is None:
                stack.append(child)
    known = {}
    for current in reversed(order):
        children = _child_nodes(current)
        depth = 1 + max((known.get(id(c)) or _cached_depth(c) for c in children), default=0)
        known[id(current)] = depth
        _remember(current, "depth", depth)
    return known[id(node)]


def _cached_depth(node):
    return _recall(node, "depth") or 1


def check_depth(node):
    """The node's depth; raises :class:`ExpressionDepthError` past :data:`MAX_DEPTH`."""
    depth = _depth_of(node)
    _refuse_depth(depth)
    return depth


def _refuse_depth(depth):
    if depth > MAX_DEPTH:
        raise ExpressionDepthError(
            "expression nested too deeply: {} levels, at most {} are supported (chains of "
            "one operator such as a + b + c count as one level)".format(depth, MAX_DEPTH))


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


class _NodeType(type):
    """Checks the depth of every node once it is built, whatever its class
    (classes made elsewhere included), so no later walk can recurse past
    MAX_DEPTH; and makes every class's repr build bottom-up (see _bottom_up_repr)."""

    def __new__(mcs, name, bases, namespace, **kwargs):
        if "__repr__" in namespace:
            namespace["__repr__"] = _bottom_up_repr(namespace["__repr__"])
        return super().__new__(mcs, name, bases, namespace, **kwargs)

    def __setattr__(cls, name, value):
        if name == "__repr__":
            value = _bottom_up_repr(value)
        super().__setattr__(name, value)

    def __call__(cls, *args, **kwargs):
        node = super().__call__(*args, **kwargs)
        check_depth(node)
        return node


def _bottom_up_repr(method):
    """A node's repr nests its children's: computed children first and kept,
    each level costs one call instead of recursing through the whole tree."""
    if getattr(method, "_bottom_up", False):
        return method

    def __repr__(self):
        text = _recall(self, "repr")
        if text is None:
            _warm(self, "repr", repr)
            text = method(self)
            _remember(self, "repr", text)
        return text

    __repr__._bottom_up = True
    __repr__.__doc__ = getattr(method, "__doc__", None)
    return __repr__


class AbstractFactor(metaclass=_NodeType):
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
        return tuple((k, _freeze(state[k])) for k in sorted(state)
                     if not k.startswith(_DERIVED_PREFIX))

    def __eq__(self, other):
        if self is other:
            return True
        if not isinstance(other, AbstractFactor) or type(self) is not type(other):
            return NotImplemented
        return _structurally_equal(self, other)

    def __ne__(self, other):
        result = self.__eq__(other)
        if result is NotImplemented:
            return result
        return not result

    def __getstate__(self):
        # hashes of strings differ between processes: recomputed after loading
        state = getattr(self, "__dict__", None)
        if state is None:
            return None
        return {k: v for k, v in state.items()
                if k not in (_DERIVED_PREFIX + "hash", _DERIVED_PREFIX + "repr")}

    def _derive(self, **values):
        """Store values computed from the children once, when the node is built;
        refuses trees deeper than MAX_DEPTH."""
        for name, value in values.items():
            self.__dict__[_DERIVED_PREFIX + name] = value
        if _DERIVED_PREFIX + "depth" not in self.__dict__:
            check_depth(self)

    def __hash__(self):
        cached = _recall(self, "hash")
        if cached is None:
            _warm_hashes(self)
            cached = hash((type(self), self._structure_key()))
            _remember(self, "hash", cached)
        return cached

    # -- node builders -------------------------------------------------------

    def _binary(self, op, other, reflected=False):
        if not _is_operand(other):
            return NotImplemented
        if reflected:
            return BinaryCombinedFactor(op, other, self)
        return chain(op, self, other)

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


def _warm(node, name, compute):
    """Compute ``name`` of the sub-nodes bottom-up first (each caches it), so
    that computing it for a deep tree never recurses through the tree."""
    from .utils import _child_nodes

    pending = [c for c in _child_nodes(node) if _recall(c, name) is None]
    if not pending:
        return
    order, seen = [], set()
    while pending:
        current = pending.pop()
        if id(current) in seen:
            continue
        seen.add(id(current))
        order.append(current)
        pending.extend(c for c in _child_nodes(current) if _recall(c, name) is None)
    for current in reversed(order):
        compute(current)


def _warm_hashes(node):
    _warm(node, "hash", hash)


def _split_key(node):
    """The node's structure with every sub-node replaced by a marker, and the
    sub-nodes in order: equality compares the first and walks the second."""
    children = []

    def strip(value):
        if isinstance(value, AbstractFactor):
            children.append(value)
            return ("__node__",)
        if isinstance(value, tuple) and value and value[0] in ("list", "tuple", "dict"):
            return tuple(strip(v) for v in value)
        return value

    return tuple((name, strip(value)) for name, value in node._structure_key()), children


def _structurally_equal(a, b):
    """Structural equality without recursion (trees may be deep)."""
    stack, seen = [(a, b)], set()
    while stack:
        x, y = stack.pop()
        if x is y or (id(x), id(y)) in seen:
            continue
        seen.add((id(x), id(y)))
        if type(x) is not type(y):
            return False
        if type(x).__eq__ is not AbstractFactor.__eq__:
            if not x == y:
                return False
            continue
        if hash(x) != hash(y):
            return False
        key_x, children_x = _split_key(x)
        key_y, children_y = _split_key(y)
        if key_x != key_y or len(children_x) != len(children_y):
            return False
        stack.extend(zip(children_x, children_y))
    return True


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
        self._derive(shift=factor.shift + self._n, expr=(drop_oldest, (factor.expr, self._n)))

    @property
    def expr(self):
        return self._derived_expr

    @property
    def shift(self):
        return self._derived_shift

    @property
    def dependencies(self):
        return self._factor.dependencies

    def __repr__(self):
        return "ShiftedFactor({!r}, {})".format(self._factor, self._n)


def _aligned_expr(operand, target):
    """The operand's expression with its oldest values dropped so that it is as
    long as a series whose windows consumed ``target`` rows."""
    if not isinstance(operand, AbstractFactor):
        return operand
    gap = target - operand.shift
    if gap > 0:
        return (drop_oldest, (operand.expr, gap))  # what ShiftedFactor(operand, gap) gives
    return operand.expr


def _distinct_nodes(groups):
    out, seen = [], set()
    for group in groups:
        for node in group:
            if node not in seen:
                seen.add(node)
                out.append(node)
    return tuple(out)


def _combine_operands(operands, distinct=True):
    """Shift, aligned expressions and dependencies of elementwise operands
    (each dependency once when ``distinct``, else every operand's in turn)."""
    nodes = [x for x in operands if isinstance(x, AbstractFactor)]
    shift = max((f.shift for f in nodes), default=0)
    exprs = tuple(_aligned_expr(x, shift) for x in operands)
    if distinct:
        return shift, exprs, _distinct_nodes(f.dependencies for f in nodes)
    return shift, exprs, tuple(d for f in nodes for d in f.dependencies)


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
        shift, exprs, deps = _combine_operands((left, right), distinct=False)
        self._derive(shift=shift, expr=(op, exprs), dependencies=deps)

    def _nodes(self):
        return [x for x in (self._left, self._right) if isinstance(x, AbstractFactor)]

    @property
    def shift(self):
        return self._derived_shift

    @property
    def expr(self):
        return self._derived_expr

    @property
    def dependencies(self):
        return list(self._derived_dependencies)

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
        self._derive(shift=factor.shift, expr=(op, (factor.expr,)))

    @property
    def expr(self):
        return self._derived_expr

    @property
    def shift(self):
        return self._derived_shift

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


# Operators whose left-nested chains ``((a op1 b) op2 c) ...`` are kept as one node.
FOLDABLE = (np.add, np.subtract, np.multiply, np.true_divide, np.logical_and, np.logical_or)


class _LeftFold:
    """Kernel of a chain: ``ops[0]`` on the first two values, then each next op
    on the running result and the next value, as the nested form would."""

    def __init__(self, ops):
        self.ops = tuple(ops)

    def __call__(self, first, *rest):
        result = first
        for op, value in zip(self.ops, rest):
            result = op(result, value)
        return result

    def __eq__(self, other):
        return type(other) is _LeftFold and other.ops == self.ops

    def __hash__(self):
        return hash((_LeftFold, self.ops))

    def __repr__(self):
        return "fold({})".format(", ".join(_op_name(op) for op in self.ops))


class ChainCombinedFactor(AbstractFactor):
    """``((x0 op1 x1) op2 x2) ... opN xN`` as one node.

    Long sums, products and logic chains (``a + b - c + ...``) written out or
    built in a loop would otherwise nest one node per operator; as one node
    the tree stays shallow whatever the chain's length. Values are those of
    the nested form: the same operations in the same order.
    """

    def __init__(self, ops, operands):
        ops, operands = tuple(ops), tuple(operands)
        if len(operands) != len(ops) + 1 or not ops:
            raise ValueError("a chain needs one more operand than operators, got {} and {}"
                             .format(len(operands), len(ops)))
        for op in ops:
            if op not in FOLDABLE:
                raise ValueError("{} cannot be chained".format(_op_name(op)))
        for operand in operands:
            if not _is_operand(operand):
                raise TypeError("operands must be factors or real numbers, got {}".format(
                    type(operand).__name__))
        self._ops = ops
        self._operands = operands
        shift, exprs, deps = _combine_operands(operands)
        self._derive(shift=shift, expr=(_LeftFold(ops), exprs), dependencies=deps)

    @property
    def ops(self):
        return self._ops

    @property
    def operands(self):
        return self._operands

    @property
    def shift(self):
        return self._derived_shift

    @property
    def expr(self):
        return self._derived_expr

    @property
    def dependencies(self):
        return list(self._derived_dependencies)

    def extended(self, op, operand):
        """This chain with ``op operand`` appended; reuses the aligned
        expressions, so a chain built in a loop costs no Python work per
        earlier operand."""
        if op not in FOLDABLE:
            raise ValueError("{} cannot be chained".format(_op_name(op)))
        if not _is_operand(operand):
            raise TypeError("operands must be factors or real numbers, got {}".format(
                type(operand).__name__))
        node = object.__new__(ChainCombinedFactor)
        node._ops = self._ops + (op,)
        node._operands = self._operands + (operand,)
        old_shift = self._derived_shift
        deps = self._derived_dependencies
        if isinstance(operand, AbstractFactor):
            if operand.shift > old_shift:
                shift, exprs, deps = _combine_operands(node._operands)
            else:
                shift = old_shift
                exprs = self._derived_expr[1] + (_aligned_expr(operand, shift),)
                known = set(deps)
                deps = deps + tuple(d for d in _distinct_nodes([operand.dependencies])
                                    if d not in known)
        else:
            shift, exprs = old_shift, self._derived_expr[1] + (operand,)
        depth = self._derived_depth
        if isinstance(operand, AbstractFactor):
            depth = max(depth, 1 + _depth_of(operand))
        _refuse_depth(depth)
        node.__dict__[_DERIVED_PREFIX + "depth"] = depth
        node._derive(shift=shift, expr=(_LeftFold(node._ops), exprs), dependencies=deps)
        return node

    def __repr__(self):
        tail = "".join(" {} {})".format(_INFIX[op], _show(operand))
                       for op, operand in zip(self._ops, self._operands[1:]))
        return "(" * len(self._ops) + _show(self._operands[0]) + tail


def chain(op, left, right):
    """``op(left, right)`` as a node, extending ``left`` when it is a chain of
    foldable operators (so loops of ``+`` stay one level deep)."""
    if op in FOLDABLE:
        if type(left) is ChainCombinedFactor:
            return left.extended(op, right)
        if type(left) is BinaryCombinedFactor and left._op in FOLDABLE:
            return ChainCombinedFactor((left._op, op), (left._left, left._right, right))
    return BinaryCombinedFactor(op, left, right)
