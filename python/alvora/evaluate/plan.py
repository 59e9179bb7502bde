"""Expressions of several nodes merged into one list of steps.

Identical sub-expressions (same kernel, same arguments) become one step, so a
sub-tree shared by several factors is computed once per instrument. Steps are
listed children first, so running them in order computes every argument
before it is used.
"""
import numbers

from ..cross_sectional import CrossSectionalFactor
from ..fix import FixedFactor
from ..interface import LeafFactor

__all__ = ["Plan", "TERMINALS"]

TERMINALS = (LeafFactor, CrossSectionalFactor, FixedFactor)

CONST, TERM, STEP = 0, 1, 2


def _const_key(value):
    try:
        hash(value)
    except TypeError:
        return ("id", id(value))
    return ("const", type(value), value)


class Plan:
    """``add(expr)`` returns a reference to the expression's value; ``steps``
    holds (kernel, argument references) in evaluation order."""

    def __init__(self):
        self.steps = []
        self.terms = []
        self._keys = {}
        self._term_index = {}

    def add(self, expr):
        # iterative post-order walk: deep trees must not exhaust the stack
        stack = [(expr, False)]
        done = []
        while stack:
            item, expanded = stack.pop()
            if isinstance(item, numbers.Real) or isinstance(item, TERMINALS) \
                    or not isinstance(item, tuple):
                done.append(self._leaf(item))
                continue
            func, args = item  # any other length raises the interpreter's error
            if not expanded:
                stack.append((item, True))
                for arg in reversed(tuple(args)):
                    stack.append((arg, False))
                continue
            n = len(tuple(args))
            refs = tuple(done[len(done) - n:]) if n else ()
            del done[len(done) - n:]
            done.append(self._step(func, refs))
        (ref,) = done
        return ref

    def _leaf(self, item):
        if isinstance(item, TERMINALS):
            index = self._term_index.get(item)
            if index is None:
                index = len(self.terms)
                self.terms.append(item)
                self._term_index[item] = index
            return (TERM, index)
        return (CONST, item)

    def _step(self, func, refs):
        key = (_const_key(func),) + tuple(
            ("s", r[1]) if r[0] == STEP else (_const_key(r[1]) if r[0] == CONST else ("t", r[1]))
            for r in refs)
        index = self._keys.get(key)
        if index is None:
            index = len(self.steps)
            self.steps.append((func, refs))
            self._keys[key] = index
        return (STEP, index)

    def needed(self, ref):
        """Indices of the steps ``ref`` depends on (itself included), in order."""
        if ref[0] != STEP:
            return []
        seen = set()
        stack = [ref[1]]
        while stack:
            k = stack.pop()
            if k in seen:
                continue
            seen.add(k)
            stack.extend(r[1] for r in self.steps[k][1] if r[0] == STEP)
        return sorted(seen)

    def run(self, order, roots, order_book_id, ctx):
        """Run the steps ``order`` for one instrument; the values of ``roots``."""
        values = {}
        terms = {}

        def value(ref):
            kind, payload = ref
            if kind == STEP:
                return values[payload]
            if kind == TERM:
                got = terms.get(payload)
                if got is None:
                    got = terms[payload] = ctx.get_factor_value(self.terms[payload],
                                                                order_book_id)
                return got
            return payload

        for k in order:
            func, refs = self.steps[k]
            values[k] = func(*[value(r) for r in refs])
        return [value(r) for r in roots]
