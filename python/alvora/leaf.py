"""Leaf factors: market-data fields and stored factors, addressed by name.

``Factor("close")`` (or the module-level ``close``) names the closing price;
any other name refers to a factor stored in the market-data bundle. The price
fields listed in ``PRICE_FIELDS`` are loaded as panels by the execution
context; stored factors are fetched whole by name when they are the entire
tree, and loaded as panels like price fields when they appear inside one.

``open`` is left out of ``__all__`` so a star import does not hide the
builtin; use ``leaf.open`` or ``Factor("open")``.
"""
from .interface import LeafFactor

__all__ = [
    "Factor",
    "PRICE_FIELDS",
    "high",
    "low",
    "close",
    "volume",
    "total_turnover",
]

PRICE_FIELDS = ("open", "high", "low", "close", "volume", "total_turnover")


class _Factor(LeafFactor):
    """A leaf named after a market-data field or a stored factor."""

    def __init__(self, name):
        if not isinstance(name, str):
            raise TypeError("factor name must be a string, got {}".format(type(name).__name__))
        if not name:
            raise ValueError("factor name must not be empty")
        self._name = name

    @property
    def name(self):
        """The field or stored-factor name (fixed once created: nodes are hashed by it)."""
        return self._name

    # leaves are looked up constantly (sets, PRICING_FACTORS, the execution
    # context): compare and hash by name directly
    def __eq__(self, other):
        if self is other:
            return True
        if type(other) is not type(self):
            return NotImplemented
        return self._name == other._name

    def __hash__(self):
        return hash((_Factor, self._name))

    def __repr__(self):
        return self._name


def Factor(name):
    """The leaf factor called ``name`` (a price field or a stored factor)."""
    return _Factor(name)


open = _Factor("open")  # noqa: A001 - the field is called open
high = _Factor("high")
low = _Factor("low")
close = _Factor("close")
volume = _Factor("volume")
total_turnover = _Factor("total_turnover")
