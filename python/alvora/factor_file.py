"""Factor files: one ``name = expression`` per line.

Blank lines and ``#`` comments (whole lines or after an expression) are
ignored. Names are identifiers (letters, digits, ``_`` and ``.``, not starting
with a digit) and must be unique. Any bad line is reported with the file name
and line number.
"""
import re

from .expression import ExpressionError, parse_factor

__all__ = ["FactorFileError", "read_factor_file", "parse_factor_lines"]

_NAME = re.compile(r"^[A-Za-z_][A-Za-z0-9_.]*$")


class FactorFileError(ValueError):
    """A factor file that cannot be read or holds a bad line."""


def _strip_comment(line):
    quote = None
    for k, ch in enumerate(line):
        if quote:
            if ch == quote:
                quote = None
        elif ch in "'\"":
            quote = ch
        elif ch == "#":
            return line[:k]
    return line


def parse_factor_lines(lines, source="<factors>"):
    """``name -> factor node`` from the lines of a factor file, in file order."""
    factors = {}
    for number, raw in enumerate(lines, start=1):
        line = _strip_comment(raw).strip()
        if not line:
            continue
        where = "{}:{}".format(source, number)
        name, sep, text = line.partition("=")
        name = name.strip()
        if not sep or not text.strip() or text.lstrip().startswith("="):
            raise FactorFileError("{}: expected 'name = expression', got {!r}".format(
                where, raw.strip()))
        if not _NAME.match(name):
            raise FactorFileError("{}: {!r} is not a valid factor name".format(where, name))
        if name in factors:
            raise FactorFileError("{}: factor {!r} is defined twice".format(where, name))
        try:
            factors[name] = parse_factor(text)
        except ExpressionError as exc:
            raise FactorFileError("{}: bad expression for {}: {}".format(where, name, exc)) \
                from None
    if not factors:
        raise FactorFileError("{}: no factor in the file".format(source))
    return factors


def read_factor_file(path):
    """``name -> factor node`` from the factor file at ``path``."""
    try:
        with open(path, encoding="utf-8") as handle:
            lines = handle.read().splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise FactorFileError("cannot read factor file {}: {}".format(path, exc)) from None
    return parse_factor_lines(lines, source=str(path))
