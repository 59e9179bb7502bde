"""The operator registry is the one list the parser, the Python functions and
the README are built from."""
import os

import pytest

from alvora import operators, rolling
from alvora.expression import ExpressionError, available_operators, parse_factor
from alvora.leaf import close
from alvora.operators import registry

README = os.path.join(os.path.dirname(__file__), os.pardir, "README.md")


def test_one_table_feeds_everything():
    rolling_entries = [n for n, e in registry.OPERATORS.items() if e.home == "alvora.rolling"]
    assert rolling_entries == list(rolling.__all__)
    for name in rolling_entries:  # the registry's parameter names are the bindings' own
        entry = registry.OPERATORS[name]
        node = getattr(rolling, name)(**{p.name: close if p.kind == "factor" else 3
                                        for p in entry.params})
        assert node.shift == 2, name
    assert available_operators() == sorted(registry.OPERATORS)
    for name in operators.__all__:
        assert getattr(operators, name) is not None
    with open(README, encoding="utf-8") as handle:
        assert registry.markdown() in handle.read(), \
            "README operator list is stale: paste `python -m alvora.operators`"


@pytest.mark.parametrize("name", sorted(set(registry.OPERATORS) | set(registry.LEAVES)))
def test_every_operator_parses_from_its_example(name):
    entry = registry.operator(name)
    text = entry.example or "{}({})".format(name, ", ".join(
        {"factor": "close", "operand": "close", "window": "5", "lag": "2", "number": "2",
         "source": "'sws'"}[p.kind] for p in entry.params))
    node = parse_factor(text)
    assert repr(node)


@pytest.mark.parametrize("text, want", [
    ("TS_RANK(close, 3.82)", "ts_rank(close, 3)"),  # fractional windows are floored
    ("DELTA(close, 1.45)", "DELTA(close, 1)"),
    ("DELAY(close, 0)", "DELAY(close, 0)"),
    ("IF(close > open, 1, VWAP)", "IF((close > open), 1, VWAP)"),
])
def test_parser_builds(text, want):
    assert repr(parse_factor(text)) == want


@pytest.mark.parametrize("text, message", [
    ("DELAY(close, -1)", "the delay of DELAY must be between 0 and"),
    ("DELAY(close, close)", "the delay of DELAY must be a whole number"),
    ("DELTA(close)", "DELTA takes 2 arguments, got 1"),
    ("MIN(1, 2)", "MIN: MIN needs at least one factor"),
    ("GROUP_RANK(close, 'gics')", "must be one of 'citics_2019', 'sws'"),
    ("GROUP_RANK(close, sws)", "argument 2 of GROUP_RANK must be a non-empty quoted string"),
    ("SIGNED_POWER(close, volume)", "argument 2 of SIGNED_POWER must be a number"),
    ("TS_MAX(close, 10 ** 6)", "between 1 and"),
    ("RETURNS(close)", "RETURNS is not an operator"),
    ("LOG", "LOG is an operator: call it"),
    ("NOPE(close)", "NOPE is not an operator"),
])
def test_parser_rejects(text, message):
    with pytest.raises(ExpressionError, match=message.replace("(", "\\(").replace(")", "\\)")):
        parse_factor(text)
