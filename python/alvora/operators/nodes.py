"""The node built by the operators of :mod:`alvora.operators`."""
from ..interface import AbstractFactor, ShiftedFactor

__all__ = ["OperatorFactor"]


class OperatorFactor(AbstractFactor):
    """``kernel(*arguments, *params)`` evaluated per instrument on its valid rows.

    ``arguments`` are nodes or numbers; the nodes with a smaller look-back are
    aligned (their oldest values dropped) so the kernel receives series of
    equal length. ``params`` are constants passed after them (a delay, an
    exponent). ``lookback`` is how many valid rows the kernel itself consumes
    (a delay of d consumes d), added to the arguments' largest look-back.
    ``label`` names the node in its printed form.
    """

    def __init__(self, label, kernel, arguments, params=(), lookback=0, leaf=False):
        self._label = label
        self._kernel = kernel
        self._arguments = tuple(arguments)
        self._params = tuple(params)
        self._lookback = int(lookback)
        self._leaf = bool(leaf)

    def _nodes(self):
        return [a for a in self._arguments if isinstance(a, AbstractFactor)]

    def _argument_shift(self):
        return max((a.shift for a in self._nodes()), default=0)

    @property
    def shift(self):
        return self._argument_shift() + self._lookback

    @property
    def expr(self):
        target = self._argument_shift()
        exprs = []
        for a in self._arguments:
            if isinstance(a, AbstractFactor):
                gap = target - a.shift
                exprs.append(ShiftedFactor(a, gap).expr if gap > 0 else a.expr)
            else:
                exprs.append(a)
        return (self._kernel, tuple(exprs) + self._params)

    @property
    def dependencies(self):
        deps = []
        for a in self._nodes():
            deps.extend(a.dependencies)
        return deps

    def __repr__(self):
        if self._leaf:
            return self._label
        shown = [repr(a) for a in self._arguments] + [repr(p) for p in self._params]
        return "{}({})".format(self._label, ", ".join(shown))
