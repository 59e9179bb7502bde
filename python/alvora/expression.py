"""A safe parser for factor expressions written as text.

The text is parsed with Python's ``ast`` and only a small whitelist is turned
into factor nodes; nothing is ever evaluated as Python code. Accepted:

- numbers;
- field names (``open``, ``high``, ``low``, ``close``, ``volume``,
  ``total_turnover``), the named leaves ``RETURNS`` and ``VWAP``, and stored
  factors written ``Factor("name")``;
- the operators of the operator registry (:mod:`alvora.operators.registry`):
  the rolling ones (``OP(factor, ..., window)``), ``DELAY``/``DELTA``, the
  elementwise ``ABS``, ``SIGN``, ``LOG``, ``SIGNED_POWER``, ``IF``, ``MIN``,
  ``MAX``, the cross-sectional ``CS_*`` and ``GROUP_*`` and
  ``FIX(factor, "order_book_id")``;
- ``+ - * / **``, unary ``-``/``+``, ``abs(x)``, comparisons ``< <= > >= == !=``
  (elementwise), logic ``& | ~`` (or ``and or not``) and parentheses.

A fractional window or delay is floored, as the formulas of the 101-alpha
paper intend (``TS_RANK(x, 3.82)`` is ``TS_RANK(x, 3)``).

Example: ``CS_RANK(-(close / MA(close, 5) - 1))``.
"""
import ast
import importlib
import math
import numbers
import re
import sys
import threading

import numpy as np

from .interface import (MAX_DEPTH, AbstractFactor, BinaryCombinedFactor, ExpressionDepthError,
                        UnaryCombinedFactor, chain)
from .leaf import PRICE_FIELDS, _Factor
from .operators.registry import LEAVES, MAX_WINDOW, OPERATORS, check_argument

__all__ = ["ExpressionError", "parse_factor", "available_operators", "MAX_LENGTH", "MAX_WINDOW",
           "MAX_DEPTH"]

MAX_LENGTH = 50000  # room for programs' factor libraries: over 10^4 nodes
MAX_DIGITS = 300  # whole numbers longer than this are refused, never printed

# The interpreter's parser nests one level per operator of a chain such as
# ``a + b + c``; a chain filling MAX_LENGTH needs a deeper stack than a
# thread's default, so parsing runs on a thread of its own with this stack.
_PARSE_STACK_BYTES = 256 * 1024 * 1024
_PARSE_RECURSION_LIMIT = MAX_LENGTH + 1000
_parse_lock = threading.Lock()

# Binary operators whose left-nested chains are built as one node.
_CHAINED = (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.BitAnd, ast.BitOr)

_BINARY = {
    ast.Add: np.add,
    ast.Sub: np.subtract,
    ast.Mult: np.multiply,
    ast.Div: np.true_divide,
    ast.Pow: np.power,
    ast.BitAnd: np.logical_and,
    ast.BitOr: np.logical_or,
}

_COMPARE = {
    ast.Lt: np.less,
    ast.LtE: np.less_equal,
    ast.Gt: np.greater,
    ast.GtE: np.greater_equal,
    ast.Eq: np.equal,
    ast.NotEq: np.not_equal,
}

_BOOL = {ast.And: np.logical_and, ast.Or: np.logical_or}

_DESCRIBE = {
    ast.Attribute: "attribute access",
    ast.Subscript: "indexing",
    ast.Lambda: "lambda",
    ast.ListComp: "comprehensions",
    ast.GeneratorExp: "comprehensions",
    ast.List: "lists",
    ast.Tuple: "tuples",
    ast.Dict: "dicts",
    ast.IfExp: "conditional expressions",
    ast.JoinedStr: "f-strings",
    ast.Starred: "star arguments",
}


class ExpressionError(ValueError):
    """A factor expression that cannot be parsed or is not allowed."""


def _rolling_operators():
    """Name -> operator for the rolling module, or ({}, reason) when it cannot load."""
    try:
        rolling = importlib.import_module("alvora.rolling")
    except ImportError as exc:
        return {}, str(exc)
    names = getattr(rolling, "__all__", ())
    return {name: getattr(rolling, name) for name in names if hasattr(rolling, name)}, None


def available_operators():
    """Every function name the expression language accepts, sorted."""
    return sorted(OPERATORS)


def parse_factor(text, fields=PRICE_FIELDS):
    """Turn ``text`` into a factor node; raises :class:`ExpressionError`."""
    if not isinstance(text, str):
        raise TypeError("expression must be a string, got {}".format(type(text).__name__))
    text = text.strip()
    if not text:
        raise ExpressionError("empty expression")
    if len(text) > MAX_LENGTH:
        raise ExpressionError("expression is longer than {} characters".format(MAX_LENGTH))
    rolling, reason = _rolling_operators()
    builder = _Builder(tuple(fields), rolling, reason)
    result = _on_parse_thread(lambda: builder.build(_syntax_tree(text).body))
    if not isinstance(result, AbstractFactor):
        raise ExpressionError("the expression has no factor in it (it is the constant {})"
                              .format(_show_number(result)))
    return result


def _syntax_tree(text):
    try:
        return ast.parse(text, mode="eval")
    except SyntaxError as exc:
        if "too many nested parentheses" in str(exc.msg):
            raise ExpressionError(_too_deep()) from None
        if "integer string conversion" in str(exc.msg):
            raise ExpressionError(_too_long_number()) from None
        raise ExpressionError("invalid expression: {} (column {})".format(
            exc.msg, exc.offset)) from None
    except (RecursionError, MemoryError):
        raise ExpressionError(_too_deep()) from None
    except ValueError as exc:
        if "integer string conversion" in str(exc):  # a literal of thousands of digits
            raise ExpressionError(_too_long_number()) from None
        raise ExpressionError("invalid expression: {}".format(exc)) from None


def _too_long_number():
    return "number too large (more than {} digits)".format(MAX_DIGITS)


def _too_deep():
    return ("expression nested too deeply: at most {} levels are supported (chains of one "
            "operator such as a + b + c count as one level)".format(MAX_DEPTH))


def _on_parse_thread(work):
    """Run ``work`` on a thread with a large stack and a raised recursion limit,
    so that long chains parse; what it raises is raised here."""
    outcome = {}

    def run():
        try:
            outcome["value"] = work()
        except ExpressionDepthError as exc:
            outcome["error"] = ExpressionError(str(exc))
        except RecursionError:
            outcome["error"] = ExpressionError(_too_deep())
        except BaseException as exc:  # handed to the caller's thread below
            outcome["error"] = exc

    with _parse_lock:
        previous_limit = sys.getrecursionlimit()
        try:
            previous_stack = threading.stack_size(_PARSE_STACK_BYTES)
            try:
                thread = threading.Thread(target=run, name="alvora-parse", daemon=True)
                sys.setrecursionlimit(max(previous_limit, _PARSE_RECURSION_LIMIT))
                thread.start()
            finally:
                threading.stack_size(previous_stack)
            thread.join()
        except (RuntimeError, ValueError, MemoryError):
            # no thread with a large stack here: parse on this one at the usual
            # limit (long chains are then refused as nested too deeply)
            sys.setrecursionlimit(previous_limit)
            outcome.clear()
            run()
        finally:
            sys.setrecursionlimit(previous_limit)
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def _show_number(value):
    if isinstance(value, int) and not isinstance(value, bool) and abs(value) >= 10 ** MAX_DIGITS:
        return "a number of more than {} digits".format(MAX_DIGITS)
    return repr(value)


class _Builder:
    def __init__(self, fields, rolling, rolling_unavailable):
        self.fields = fields
        self.rolling = rolling
        self.rolling_unavailable = rolling_unavailable
        self.depth = 0

    def fail(self, node, message):
        col = getattr(node, "col_offset", None)
        where = " (column {})".format(col + 1) if col is not None else ""
        raise ExpressionError(message + where)

    def build(self, node):
        method = getattr(self, "visit_" + type(node).__name__, None)
        if method is None:
            what = _DESCRIBE.get(type(node), type(node).__name__)
            self.fail(node, "not allowed in a factor expression: {}".format(what))
        self.depth += 1
        try:
            if self.depth > MAX_DEPTH:
                raise ExpressionError(_too_deep())
            return method(node)
        finally:
            self.depth -= 1

    # -- leaves ---------------------------------------------------------------

    def visit_Constant(self, node):
        value = node.value
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            self.fail(node, "only numbers are allowed as constants, got {!r}".format(value))
        return self.checked_number(node, value)

    def checked_number(self, node, value):
        if isinstance(value, int) and abs(value) >= 10 ** MAX_DIGITS:
            self.fail(node, _too_long_number())
        return value

    def visit_Name(self, node):
        name = node.id
        if name in self.fields:
            return _Factor(name)
        if name in LEAVES:
            return LEAVES[name].build()
        if name in OPERATORS:
            self.fail(node, "{} is an operator: call it, e.g. {}(close, 5)".format(name, name))
        self.fail(node, "unknown name {!r}; fields are {}; write stored factors as "
                        "Factor(\"name\")".format(name, ", ".join(self.fields)))

    # -- operators ------------------------------------------------------------

    def visit_BinOp(self, node):
        # ``a + b - c * d ...`` nests leftwards one level per operator: walk that
        # spine in a loop so its length costs no depth
        spine = []
        while isinstance(node, ast.BinOp) and isinstance(node.op, _CHAINED):
            spine.append(node)
            node = node.left
        if spine:
            value = self.build(node)
        else:
            spine.append(node)
            value = self.build(node.left)
        for binop in reversed(spine):
            op = _BINARY.get(type(binop.op))
            if op is None:
                self.fail(binop, "operator {} is not allowed".format(type(binop.op).__name__))
            value = self.combine(binop, op, value, self.build(binop.right))
        return value

    def visit_UnaryOp(self, node):
        spine = []
        while isinstance(node, ast.UnaryOp):
            spine.append(node)
            node = node.operand
        value = self.build(node)
        for unary in reversed(spine):
            value = self.unary(unary, value)
        return value

    def unary(self, node, operand):
        if isinstance(node.op, ast.UAdd):
            return operand
        if isinstance(node.op, ast.USub):
            if isinstance(operand, AbstractFactor):
                return UnaryCombinedFactor(np.negative, operand)
            return -operand
        if isinstance(node.op, (ast.Invert, ast.Not)):
            if isinstance(operand, AbstractFactor):
                return UnaryCombinedFactor(np.logical_not, operand)
            return not operand
        self.fail(node, "operator {} is not allowed".format(type(node.op).__name__))

    def visit_Compare(self, node):
        if len(node.ops) != 1:
            self.fail(node, "chained comparisons are not supported; combine them with &")
        op = _COMPARE.get(type(node.ops[0]))
        if op is None:
            self.fail(node, "comparison {} is not allowed".format(type(node.ops[0]).__name__))
        return self.combine(node, op, self.build(node.left), self.build(node.comparators[0]))

    def visit_BoolOp(self, node):
        op = _BOOL[type(node.op)]
        values = [self.build(v) for v in node.values]
        result = values[0]
        for value in values[1:]:
            result = self.combine(node, op, result, value)
        return result

    def combine(self, node, op, left, right):
        if isinstance(left, AbstractFactor):
            return chain(op, left, right)
        if isinstance(right, AbstractFactor):
            return BinaryCombinedFactor(op, left, right)
        return self.checked_number(node, self.fold(node, op, left, right))

    def fold(self, node, op, left, right):
        """Constant arithmetic, done in Python so integers stay integers."""
        try:
            if op is np.power:
                if isinstance(left, int) and isinstance(right, int) and 0 <= right <= 64 \
                        and abs(left) <= 10 ** 6:
                    return left ** right
                result = float(left) ** float(right)
                if isinstance(result, complex):
                    self.fail(node, "{} ** {} is not a real number".format(left, right))
                return result
            if op is np.true_divide:
                return left / right
            py = {np.add: lambda a, b: a + b, np.subtract: lambda a, b: a - b,
                  np.multiply: lambda a, b: a * b}.get(op)
            if py is not None:
                return py(left, right)
            return bool(op(left, right))
        except ZeroDivisionError:
            self.fail(node, "division by zero")
        except OverflowError:
            self.fail(node, "number too large")

    # -- calls ----------------------------------------------------------------

    def visit_Call(self, node):
        if not isinstance(node.func, ast.Name):
            self.fail(node, "only operators can be called, e.g. MA(close, 5)")
        name = node.func.id
        if node.keywords:
            self.fail(node, "{}: keyword arguments are not supported, pass them in order"
                      .format(name))
        entry = OPERATORS.get(name)
        if entry is None:
            self.fail(node, "{} is not an operator; known operators: {}".format(
                name, ", ".join(available_operators())))
        build = entry.build
        if entry.home == "alvora.rolling":
            build = self.rolling.get(name)
            if build is None:
                if self.rolling_unavailable:
                    self.fail(node, "{} is not available: the rolling operators failed to load "
                              "({})".format(name, self.rolling_unavailable))
                self.fail(node, "{} is not available from the rolling operators".format(name))
            if len(node.args) < 2:
                self.fail(node, "{} takes its factor argument(s) and a window, got {} argument{}"
                          .format(name, len(node.args), "" if len(node.args) == 1 else "s"))
            if len(node.args) != entry.arity:
                wanted, given = entry.arity - 1, len(node.args) - 1
                self.fail(node, "{} takes {} factor argument{} and a window, as {}, got {} "
                          "factor argument{} and a window".format(
                              name, wanted, "" if wanted == 1 else "s", entry.signature(),
                              given, "" if given == 1 else "s"))
        args = self.expect_args(node, name, entry.arity)
        values = [self.argument(a, entry, k) for k, a in enumerate(args)]
        try:
            return build(*values)
        except (TypeError, ValueError) as exc:
            # first line only: a binding's message goes on to list internal types
            self.fail(node, "{}: {}".format(name, str(exc).split("\n")[0]))

    def argument(self, arg, entry, k):
        """Argument ``k`` of a call of ``entry``, checked against its kind."""
        kind = entry.params[k].kind
        name = entry.name
        if kind == "factor":
            return self.factor_arg(arg, name, k + 1)
        if kind in ("instrument", "name", "source"):
            value = self.string_arg(arg, name, k + 1)
            if kind == "source":
                try:
                    check_argument(entry, k, value)
                except ValueError as exc:
                    self.fail(arg, str(exc))
            return value
        value = self.build(arg)
        if kind == "operand":
            return value
        if isinstance(value, AbstractFactor) or not isinstance(value, numbers.Real) \
                or isinstance(value, bool):
            what = {"window": "the window", "lag": "the delay"}.get(kind, "argument {}".format(
                k + 1))
            self.fail(arg, "{} of {} must be a {}, got {!r}".format(
                what, name, "number" if kind == "number" else "whole number", value))
        if kind == "number":
            return value
        return self.whole(arg, name, kind, value)

    def whole(self, arg, name, kind, value):
        """A window (1..MAX_WINDOW) or delay (0..MAX_WINDOW); fractions are floored."""
        what = "the window" if kind == "window" else "the delay"
        low = 1 if kind == "window" else 0
        if not isinstance(value, numbers.Integral):
            if not math.isfinite(value):
                self.fail(arg, "{} of {} must be a whole number, got {!r}".format(
                    what, name, value))
            value = math.floor(value)
        if not low <= value <= MAX_WINDOW:
            self.fail(arg, "{} of {} must be between {} and {}, got {}".format(
                what, name, low, MAX_WINDOW, value))
        return int(value)

    def expect_args(self, node, name, count):
        if len(node.args) != count:
            self.fail(node, "{} takes {} argument{}, got {}".format(
                name, count, "" if count == 1 else "s", len(node.args)))
        return node.args

    def factor_arg(self, arg, name, position):
        value = self.build(arg)
        if not isinstance(value, AbstractFactor):
            self.fail(arg, "argument {} of {} must be a factor expression, got {!r}".format(
                position, name, value))
        return value

    def string_arg(self, arg, name, position):
        if not (isinstance(arg, ast.Constant) and isinstance(arg.value, str) and arg.value):
            self.fail(arg, "argument {} of {} must be a non-empty quoted string".format(
                position, name))
        return arg.value
