"""Instrument listings."""
import numbers


from . import _state
from ._query import day

__all__ = ["Instrument", "all_instruments", "instruments", "KNOWN_TYPES"]

# Instrument types: common stocks and indexes.
KNOWN_TYPES = ("CS", "INDX")


class Instrument:
    """One instrument's listing record."""

    __slots__ = ("order_book_id", "symbol", "type", "listed_date", "de_listed_date")

    def __init__(self, order_book_id, symbol, type, listed_date, de_listed_date):
        self.order_book_id = order_book_id
        self.symbol = symbol
        self.type = type
        self.listed_date = listed_date
        self.de_listed_date = de_listed_date

    def __repr__(self):
        return "Instrument(order_book_id={!r}, symbol={!r}, type={!r}, listed_date={!r}, " \
               "de_listed_date={!r})".format(self.order_book_id, self.symbol, self.type,
                                             self.listed_date, self.de_listed_date)

    def __eq__(self, other):
        return isinstance(other, Instrument) and all(
            getattr(self, k) == getattr(other, k) for k in self.__slots__)

    def __hash__(self):
        return hash(self.order_book_id)

    def __reduce__(self):
        return (Instrument, tuple(getattr(self, k) for k in self.__slots__))


def _listed_on(table, date):
    text = str(day(date))
    delisted = table["de_listed_date"].where(table["de_listed_date"] != "0000-00-00",
                                             "2999-12-31")
    return (table["listed_date"] <= text) & (text < delisted)


def all_instruments(type=None, date=None, market="cn"):
    """The instrument table: order_book_id, symbol, type, listed_date, de_listed_date.

    `type` ("CS" common stocks, "INDX" indexes, a list of them, or None for all)
    filters by type; with `date`, only instruments listed on that day are kept
    (listed on or after the listing date and before the de-listing date).
    Dates are "YYYY-MM-DD" texts; "0000-00-00" marks an instrument still listed.
    """
    table = _state.current().instruments
    if type is not None:
        types = [type] if isinstance(type, str) else list(type)
        unknown = [t for t in types if t not in KNOWN_TYPES and t not in set(table["type"])]
        if unknown:
            raise ValueError("unknown instrument type(s) {}; known types: {}".format(
                unknown, ", ".join(KNOWN_TYPES)))
        table = table[table["type"].isin(types)]
    if date is not None:
        table = table[_listed_on(table, date)]
    return table.reset_index(drop=True).copy()


def instruments(order_book_id):
    """The `Instrument` record of one id (None when unknown); a list of ids gives a list."""
    bundle = _state.current()
    if isinstance(order_book_id, str):
        ids, single = [order_book_id], True
    elif order_book_id is None or isinstance(order_book_id, numbers.Number):
        raise ValueError("order_book_id must be a string or a list of strings, got {!r}"
                         .format(order_book_id))
    else:
        ids, single = list(order_book_id), False
    table = bundle.instruments
    found = []
    for oid in ids:
        col = bundle.column_of.get(oid) if isinstance(oid, str) else None
        found.append(None if col is None else Instrument(*table.iloc[col].tolist()))
    if single:
        return found[0]
    return [x for x in found if x is not None]


