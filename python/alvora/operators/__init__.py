"""Operators beyond the rolling catalogue, as Python functions.

Every function here is generated from the operator registry
(:mod:`alvora.operators.registry`), the same table the expression parser reads,
and builds a factor node; nothing is computed until the tree is executed.

Over each instrument's valid rows (suspension days skipped, like the windows
of :mod:`alvora.rolling`):

- ``DELAY(x, d)``: the value ``d`` valid rows back; ``DELTA(x, d)``: ``x`` minus
  it. ``d`` is a whole number >= 0 (anything else is an error).
- ``RETURNS``: the close-to-close return between consecutive valid rows.

Elementwise: ``VWAP`` (``total_turnover / volume``), ``ABS``, ``SIGN``, ``LOG``
(-inf at 0, NaN below 0), ``SIGNED_POWER(x, e)`` (``sign(x) * |x| ** e``),
``IF(cond, a, b)`` (``a`` where ``cond`` is true, ``b`` where false, NaN where
``cond`` is NaN; the branch not taken is never read, so its NaN does not
reach the result; comparisons with NaN are false, as in numpy), ``MIN(a, b)``
and ``MAX(a, b)`` (elementwise, NaN when either side is NaN; the rolling
extremes are ``TS_MIN``/``TS_MAX``).

Per date across instruments: ``GROUP_DEMEAN(x, source)`` and
``GROUP_RANK(x, source)`` demean or percentile-rank ``x`` within the
instrument's first-level industry of ``source`` ("citics_2019" or "sws").

``DECAY_LINEAR`` is the rolling module's weighted mean ``WMA`` (the same
function object).

In the expression language a fractional window or delay is floored (as the
formulas of the 101-alpha paper intend: ``TS_RANK(x, 3.82)`` is
``TS_RANK(x, 3)``); the Python functions take whole numbers only.
"""
from .registry import LEAVES, OPERATORS, public_function

__all__ = ["DELAY", "DELTA", "RETURNS", "VWAP", "ABS", "SIGN", "LOG", "SIGNED_POWER", "IF",
           "MIN", "MAX", "GROUP_DEMEAN", "GROUP_RANK", "DECAY_LINEAR"]


def _define():
    names = {}
    for name in __all__:
        if name in LEAVES:
            names[name] = LEAVES[name].build()
        elif OPERATORS[name].home == "alvora.operators":
            names[name] = public_function(OPERATORS[name])
    return names


globals().update(_define())


def __getattr__(name):
    # DECAY_LINEAR is the compiled rolling module's WMA, loaded on first use
    if name == "DECAY_LINEAR":
        from ..rolling import DECAY_LINEAR

        return DECAY_LINEAR
    raise AttributeError("module 'alvora.operators' has no attribute {!r}".format(name))
