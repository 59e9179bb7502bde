"""The operator registry: every operator of the expression language, declared once.

Each entry gives the operator's name, its parameters (name and kind), where it
comes from, a one-line meaning and how it builds its node. From this one table
come the Python functions of :mod:`alvora.operators`, the parser's namespace
(:func:`alvora.expression.parse_factor`), the catalogue
(:func:`catalogue`) and the operator list of the README (:func:`markdown`,
also printed by ``python -m alvora.operators``).

The rolling operators' rows are the rolling module's own binding table, served
by the private module ``alvora._operator_table``; every other row is declared
here.

Adding an operator: its kernel and one row -- a rolling kernel in the core and
the rolling module, its row in ``cpp/modules/rolling/operator_table.hpp``; any
other kernel in :mod:`alvora.operators.kernels` (or the core), its row in
``_TABLE`` below -- and its tests.

Parameter kinds: ``factor`` (a node), ``operand`` (a node or a number),
``window`` (a whole number from 1 to ``MAX_WINDOW``), ``lag`` (a whole number
from 0 to ``MAX_WINDOW``), ``number`` (a real number), ``source`` (an industry
source), ``instrument`` (an order_book_id) and ``name`` (a stored factor name).
"""
import importlib
import inspect
import math
import numbers
from collections import namedtuple

from ..interface import AbstractFactor
from . import group, kernels
from .nodes import OperatorFactor

__all__ = ["MAX_WINDOW", "Operator", "Param", "OPERATORS", "LEAVES", "operator",
           "check_argument", "catalogue", "markdown", "public_function"]

MAX_WINDOW = 5000  # about twenty years of trading days

Param = namedtuple("Param", ["name", "kind"])


class Operator(namedtuple("Operator", ["name", "params", "category", "summary", "build",
                                       "home", "example"])):
    """One operator: ``build(*checked arguments)`` returns its node."""

    @property
    def arity(self):
        return len(self.params)

    def signature(self):
        return "{}({})".format(self.name, ", ".join(p.name for p in self.params))


def _rolling(name):
    """The rolling module's operator ``name`` (the module is compiled and
    loaded on first use, so the parser still works when it cannot load)."""
    def build(*args):
        return getattr(importlib.import_module("alvora.rolling"), name)(*args)
    return build


def _attr(module, name):
    def build(*args):
        return getattr(importlib.import_module(module), name)(*args)
    return build


def _elementwise(label, kernel):
    def build(*args):
        if not any(isinstance(a, AbstractFactor) for a in args):
            raise TypeError("{} needs at least one factor argument".format(label))
        return OperatorFactor(label, kernel, args)
    return build


def _lagged(label, kernel):
    def build(factor, lag):
        return OperatorFactor(label, kernel, (factor,), params=(lag,), lookback=lag)
    return build


def _signed_power(factor, exponent):
    return OperatorFactor("SIGNED_POWER", kernels.signed_power, (factor,), params=(exponent,))


def _group(label, func):
    def build(factor, source):
        return group.GroupFactor(group.GroupFunction(func, source), factor, name=label)
    return build


def _returns():
    from ..leaf import close

    return OperatorFactor("RETURNS", kernels.returns, (close,), lookback=1, leaf=True)


def _vwap():
    from ..leaf import total_turnover, volume

    return OperatorFactor("VWAP", kernels.divide, (total_turnover, volume), leaf=True)


F, X, W, L, N, S = "factor", "operand", "window", "lag", "number", "source"


def _p(*pairs):
    return tuple(Param(n, k) for n, k in pairs)


# The time-series operators of alvora.rolling are declared in the rolling
# module's own table (cpp/modules/rolling/operator_table.hpp), read here through
# the private module alvora._operator_table; the rows below are the rest.
_TABLE = [
    # -- lags, over each instrument's valid rows -------------------------------
    ("DELAY", _p(("factor", F), ("d", L)), "time-series",
     "the value d valid rows back", _lagged("DELAY", kernels.delay), "DELAY(close, 5)"),
    ("DELTA", _p(("factor", F), ("d", L)), "time-series",
     "the value minus the value d valid rows back", _lagged("DELTA", kernels.delta),
     "DELTA(close, 1)"),
    # -- elementwise -----------------------------------------------------------
    ("ABS", _p(("x", F),), "elementwise", "absolute value",
     _elementwise("ABS", kernels.absolute), None),
    ("SIGN", _p(("x", F),), "elementwise", "-1, 0 or 1 (NaN stays NaN)",
     _elementwise("SIGN", kernels.sign), "SIGN(DELTA(close, 1))"),
    ("LOG", _p(("x", F),), "elementwise", "natural logarithm (-inf at 0, NaN below)",
     _elementwise("LOG", kernels.log), "LOG(volume)"),
    ("SIGNED_POWER", _p(("x", F), ("e", N)), "elementwise", "sign(x) * |x| ** e",
     _signed_power, "SIGNED_POWER(RETURNS, 2)"),
    ("IF", _p(("cond", F), ("a", X), ("b", X)), "elementwise",
     "a where cond is true, b where false, NaN where cond is NaN",
     _elementwise("IF", kernels.if_else), "IF(close > open, high, low)"),
    ("MIN", _p(("a", X), ("b", X)), "elementwise",
     "elementwise minimum, NaN if either is NaN (TS_MIN is the rolling one)",
     _elementwise("MIN", kernels.minimum), "MIN(open, close)"),
    ("MAX", _p(("a", X), ("b", X)), "elementwise",
     "elementwise maximum, NaN if either is NaN (TS_MAX is the rolling one)",
     _elementwise("MAX", kernels.maximum), None),
    ("abs", _p(("x", X),), "elementwise", "absolute value (also of a number)", abs, None),
    # -- across instruments, per date -------------------------------------------
    ("CS_RANK", _p(("factor", F),), "cross-sectional", "percentile rank across instruments",
     "alvora.cross_sectional", "CS_RANK(close)"),
    ("CS_ZSCORE", _p(("factor", F),), "cross-sectional", "z-score across instruments",
     "alvora.cross_sectional", None),
    ("CS_DEMEAN", _p(("factor", F),), "cross-sectional", "minus the mean across instruments",
     "alvora.cross_sectional", None),
    ("CS_SCALE", _p(("factor", F),), "cross-sectional", "scaled so |values| sum to 1",
     "alvora.cross_sectional", None),
    ("GROUP_DEMEAN", _p(("factor", F), ("source", S)), "cross-sectional",
     "minus the mean of the instrument's industry", _group("GROUP_DEMEAN", group.group_demean),
     "GROUP_DEMEAN(RETURNS, 'citics_2019')"),
    ("GROUP_RANK", _p(("factor", F), ("source", S)), "cross-sectional",
     "percentile rank within the instrument's industry", _group("GROUP_RANK", group.group_rank),
     "GROUP_RANK(volume, 'sws')"),
    # -- other nodes -------------------------------------------------------------
    ("FIX", _p(("factor", F), ("order_book_id", "instrument")), "fixed",
     "one instrument's values served to every instrument", "alvora.fix",
     "FIX(close, '000300.XSHG')"),
    ("Factor", _p(("name", "name"),), "leaf", "a stored factor by name", "alvora.leaf",
     "Factor('my_factor')"),
]

# Leaves written as plain names (the price fields are leaves too).
_LEAF_TABLE = [
    ("RETURNS", "close-to-close return over valid rows", _returns),
    ("VWAP", "total_turnover / volume", _vwap),
]


def _build_of(name, home):
    if callable(home):
        return home
    if home == "alvora.rolling":
        return _rolling(name)
    return _attr(home, name)


def _rolling_rows():
    from .. import _operator_table

    for name, params, meaning, example, _alias_of in _operator_table.rolling_operators():
        yield name, _p(*params), "time-series", meaning, "alvora.rolling", example


def _entries():
    out = {}
    for name, params, category, summary, home, example in [*_rolling_rows(), *_TABLE]:
        build = _build_of(name, home)
        where = home if isinstance(home, str) else "alvora.operators"
        out[name] = Operator(name, params, category, summary, build, where, example)
    return out


OPERATORS = _entries()
LEAVES = {name: Operator(name, (), "leaf", summary, build, "alvora.operators", name)
          for name, summary, build in _LEAF_TABLE}


def operator(name):
    """The registry entry called ``name`` (operators and named leaves)."""
    entry = OPERATORS.get(name) or LEAVES.get(name)
    if entry is None:
        raise KeyError("unknown operator {!r}".format(name))
    return entry


def _is_number(value):
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def check_argument(op, position, value):
    """``value`` checked against parameter ``position`` of ``op``; returns the
    value to pass on (numbers of a window or lag as ``int``)."""
    param = op.params[position]
    where = "{}: argument {} ({})".format(op.name, position + 1, param.name)
    kind = param.kind
    if kind == "factor":
        if not isinstance(value, AbstractFactor):
            raise TypeError("{} must be a factor, got {!r}".format(where, value))
        return value
    if kind == "operand":
        if not (isinstance(value, AbstractFactor) or _is_number(value)):
            raise TypeError("{} must be a factor or a number, got {!r}".format(where, value))
        return value
    if kind == "number":
        if not _is_number(value) or not math.isfinite(value):
            raise TypeError("{} must be a finite number, got {!r}".format(where, value))
        return value
    if kind in ("window", "lag"):
        low = 1 if kind == "window" else 0
        if not isinstance(value, numbers.Integral) or isinstance(value, bool):
            raise TypeError("{} must be a whole number, got {!r}".format(where, value))
        if not low <= value <= MAX_WINDOW:
            raise ValueError("{} must be between {} and {}, got {}".format(
                where, low, MAX_WINDOW, value))
        return int(value)
    if kind == "source":
        if value not in group.INDUSTRY_SOURCES:
            raise ValueError("{} must be one of {}, got {!r}".format(
                where, ", ".join(repr(s) for s in group.INDUSTRY_SOURCES), value))
        return value
    if kind in ("instrument", "name"):
        if not isinstance(value, str) or not value:
            raise TypeError("{} must be a non-empty string, got {!r}".format(where, value))
        return value
    raise AssertionError("unknown parameter kind {!r}".format(kind))


def public_function(op):
    """The Python function of ``op``: checks its arguments, builds the node."""
    signature = inspect.Signature([inspect.Parameter(p.name, inspect.Parameter.POSITIONAL_OR_KEYWORD)
                                   for p in op.params])

    def function(*args, **kwargs):
        try:
            bound = signature.bind(*args, **kwargs)
        except TypeError as exc:
            raise TypeError("{}: {}".format(op.signature(), exc)) from None
        values = [check_argument(op, k, v) for k, v in enumerate(bound.args)]
        return op.build(*values)

    function.__name__ = function.__qualname__ = op.name
    function.__module__ = "alvora.operators"
    function.__signature__ = signature
    function.__doc__ = "{}.\n\n{}\n\nExample: ``{}``".format(
        op.summary[0].upper() + op.summary[1:], _parameter_doc(op),
        op.example or op.signature())
    return function


_KIND_DOC = {
    "factor": "a factor node",
    "operand": "a factor node or a number",
    "window": "a whole number of valid rows, 1 to {}".format(MAX_WINDOW),
    "lag": "a whole number of valid rows, 0 to {}".format(MAX_WINDOW),
    "number": "a real number",
    "source": "industry source, one of {}".format(", ".join(group.INDUSTRY_SOURCES)),
    "instrument": "an order_book_id",
    "name": "a stored factor name",
}


def _parameter_doc(op):
    lines = ["Parameters", "----------"]
    for p in op.params:
        lines += ["{} : {}".format(p.name, _KIND_DOC[p.kind])]
    return "\n".join(lines)


def catalogue():
    """Every operator and named leaf, sorted: name -> (signature, category, meaning)."""
    rows = {op.name: (op.signature(), op.category, op.summary) for op in OPERATORS.values()}
    rows.update({op.name: (op.name, "leaf", op.summary) for op in LEAVES.values()})
    return dict(sorted(rows.items(), key=lambda kv: kv[0].lower()))


def markdown():
    """The operator list as a markdown table, in registry order."""
    lines = ["| operator | kind | meaning |", "|---|---|---|"]
    for op in list(OPERATORS.values()) + list(LEAVES.values()):
        shown = op.signature() if op.params else op.name
        lines.append("| `{}` | {} | {} |".format(shown, op.category, op.summary))
    return "\n".join(lines)
