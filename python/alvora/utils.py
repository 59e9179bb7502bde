"""Tree utilities used by the execution engine, and the window matrix helper."""
import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from .cross_sectional import CrossSectionalFactor
from .fix import FixedFactor
from .interface import AbstractFactor, LeafFactor

__all__ = [
    "iter_nodes",
    "get_leaves",
    "use_dma",
    "is_cross_sectional",
    "get_fixed_order_book_ids",
    "rolling_window",
]


def _child_nodes(node):
    """The nodes a node refers to, found among its attributes (lists and
    tuples included), so node classes need no extra protocol to be walked."""
    stack = [value for key, value in getattr(node, "__dict__", {}).items()
             if not key.startswith("_derived_")]
    found = []
    while stack:
        value = stack.pop()
        if isinstance(value, AbstractFactor):
            found.append(value)
        elif isinstance(value, (list, tuple)):
            stack.extend(value)
        elif isinstance(value, dict):
            stack.extend(value.values())
    found.reverse()
    return found


def iter_nodes(factor):
    """Every distinct node of the tree (by identity), parents before children."""
    seen = set()
    stack = [factor]
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        yield node
        stack.extend(reversed(_child_nodes(node)))


def _distinct(nodes):
    out, seen = [], set()
    for node in nodes:
        if node not in seen:
            seen.add(node)
            out.append(node)
    return out


def get_leaves(factor):
    """The distinct leaf nodes the execution context must load, including
    those under cross-sectional sub-factors and fixed inner factors."""
    _check_node(factor)
    return _distinct(n for n in iter_nodes(factor) if isinstance(n, LeafFactor))


def use_dma(factor):
    """True when some node of the tree asks for the 126-row warm-up
    (a truthy ``use_dma`` attribute on the node or its class)."""
    _check_node(factor)
    return any(bool(getattr(n, "use_dma", False)) for n in iter_nodes(factor))


def is_cross_sectional(node):
    """True when the tree under ``node`` holds a cross-sectional node."""
    _check_node(node)
    return any(isinstance(n, CrossSectionalFactor) for n in iter_nodes(node))


def _contains_fixed(node):
    return any(isinstance(n, FixedFactor) for n in iter_nodes(node))


def get_fixed_order_book_ids(factor, order_book_ids):
    """The fixed instruments of the tree that ``order_book_ids`` lacks, in
    order of first appearance, each once."""
    _check_node(factor)
    have = set(order_book_ids)
    out = []
    for node in iter_nodes(factor):
        if isinstance(node, FixedFactor) and node.order_book_id not in have:
            have.add(node.order_book_id)
            out.append(node.order_book_id)
    return out


def _check_node(factor):
    if not isinstance(factor, AbstractFactor):
        raise TypeError("expect a factor node, got {}".format(type(factor).__name__))


def check_window(x, n):
    """Validate a value series and a window; returns the series as an array."""
    x = np.asarray(x)
    if x.ndim != 1:
        raise ValueError("expect a one-dimensional series, got {} dimensions".format(x.ndim))
    if isinstance(n, (bool, np.bool_)) or not isinstance(n, (int, np.integer)):
        raise TypeError("window must be an integer, got {}".format(type(n).__name__))
    if n < 1:
        raise ValueError("window must be at least 1, got {}".format(n))
    if n > len(x):
        raise ValueError("window {} is longer than the series ({} values)".format(n, len(x)))
    return x


def rolling_window(x, n):
    """The (L - n + 1) x n matrix of consecutive windows of a series of length
    L, oldest first: row i holds x[i:i + n]. A read-only view, no copy."""
    x = check_window(x, n)
    return sliding_window_view(x, int(n))
