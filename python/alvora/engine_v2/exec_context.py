"""Execution context: loads leaf data once and serves it per instrument.

The engine asks for one instrument's row mask and value series at a time,
thousands of times per node, so everything is laid out once up front: each
loaded field becomes a column-major float64 array over (trading dates x
distinct instruments), and each instrument's valid rows are kept as a boolean
mask plus the positions of its true entries.

Valid rows of an instrument: it traded that day, i.e. its close is a number and
its volume is positive. Instruments that carry no volume at all (indexes in
some data sets) count every day with a close as valid.
"""
import mmap
import numbers
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd

import tessal

from ..cross_sectional import CrossSectionalFactor
from ..fix import FixedFactor
from ..interface import LeafFactor
from ..leaf import PRICE_FIELDS, _Factor

__all__ = ["PRICING_FACTORS", "ThreadingExecContext", "get_universe_mask", "INDEX_SIZES",
           "use_shared_loader"]

PRICING_FACTORS = frozenset(_Factor(name) for name in PRICE_FIELDS)

# Index universes are approximated by size: on every date the N instruments of
# the caller's list with the highest mean turnover over the last 20 trading
# days stand in for the index's constituents.
INDEX_SIZES = {
    "000016.XSHG": 50,
    "000300.XSHG": 300,
    "000905.XSHG": 500,
    "000852.XSHG": 1000,
}
_TURNOVER_WINDOW = 20
_MAX_LOADER_THREADS = 4
# Panels from this size on are mapped on their own (see empty_panel).
_MAPPED_BYTES = 32 << 20


def _unique(ids):
    return list(dict.fromkeys(ids))


def _check_ids(order_book_ids):
    if isinstance(order_book_ids, str):
        raise TypeError("order_book_ids must be a list of ids, not a single string")
    ids = list(order_book_ids)
    for oid in ids:
        if not isinstance(oid, str):
            raise TypeError("order_book_ids must be strings, got {!r}".format(oid))
    return ids


def _listing(ids, limit=10):
    text = ", ".join(ids[:limit])
    return text + (" and {} more".format(len(ids) - limit) if len(ids) > limit else "")


def _warn_about_ids(ids):
    """Repeated ids give repeated columns and unknown ids all-NaN columns:
    both are usually slips, so say so instead of returning them silently."""
    seen, repeated = set(), []
    for oid in ids:
        if oid in seen and oid not in repeated:
            repeated.append(oid)
        seen.add(oid)
    if repeated:
        warnings.warn("order_book_ids repeats {}: the result has one column per repeat"
                      .format(_listing(repeated)))
    listing = getattr(tessal, "all_instruments", None)
    if listing is None:
        return set()
    known = set(listing()["order_book_id"])
    unknown = [oid for oid in _unique(ids) if oid not in known]
    if unknown:
        warnings.warn("unknown order_book_ids {} (not in the market data): their columns are "
                      "all NaN".format(_listing(unknown)))
    return set(unknown)


def get_universe_mask(order_book_ids, start_date, end_date, universe):
    """Boolean frame (trading dates x ``order_book_ids``) of universe membership.

    ``universe`` may be:

    - ``None``: no restriction, returns ``None``;
    - a list, tuple, set or Index of ids: those ids on every date;
    - a boolean DataFrame (dates x ids): used as is, aligned to the grid;
      dates or ids it lacks count as outside the universe;
    - an index id from ``INDEX_SIZES``: approximated by turnover size (see
      ``INDEX_SIZES``).
    """
    if universe is None:
        return None
    ids = _check_ids(order_book_ids)
    dates = pd.DatetimeIndex(tessal.get_trading_dates(start_date, end_date))
    if isinstance(universe, pd.DataFrame):
        return _mask_from_frame(universe, dates, ids)
    if isinstance(universe, str):
        if universe not in INDEX_SIZES:
            raise ValueError("universe: unknown index {!r}; supported: {}".format(
                universe, ", ".join(sorted(INDEX_SIZES))))
        return _approximate_index(INDEX_SIZES[universe], dates, ids, start_date, end_date)
    if isinstance(universe, (list, tuple, set, frozenset, pd.Index, np.ndarray)):
        members = set(_check_ids(universe))
        row = np.array([oid in members for oid in ids], dtype=bool)
        data = np.broadcast_to(row, (len(dates), len(ids))).copy()
        return pd.DataFrame(data, index=dates, columns=ids)
    raise TypeError("universe must be None, a list of ids, a boolean DataFrame or an index "
                    "id, got {}".format(type(universe).__name__))


def _mask_from_frame(universe, dates, ids):
    if not all(pd.api.types.is_bool_dtype(t) for t in universe.dtypes):
        raise TypeError("a universe DataFrame must hold booleans only")
    if not universe.columns.is_unique:
        raise ValueError("a universe DataFrame must not repeat instruments")
    frame = universe.copy()
    frame.index = pd.DatetimeIndex(frame.index)
    if not frame.index.is_unique:
        raise ValueError("a universe DataFrame must not repeat dates")
    frame = frame.reindex(index=dates, columns=pd.Index(_unique(ids)))
    values = frame.to_numpy(dtype=object)
    values = np.where(pd.isna(values), False, values).astype(bool)
    return pd.DataFrame(values, index=dates, columns=frame.columns).reindex(columns=ids)


def _approximate_index(size, dates, ids, start_date, end_date):
    distinct = _unique(ids)
    turnover = tessal.get_panel("total_turnover", distinct, start_date, end_date)
    turnover = turnover.reindex(index=dates, columns=distinct).astype(np.float64)
    mean = turnover.rolling(_TURNOVER_WINDOW, min_periods=1).mean()
    rank = mean.rank(axis=1, method="first", ascending=False, na_option="keep")
    member = (rank <= size).fillna(False).astype(bool)
    return member.reindex(columns=ids)


def empty_panel(rows, cols):
    """An uninitialised column-major float64 (rows x cols) array. Large ones are
    mappings of ordinary pages, without the huge-page advice the array library
    gives large arrays: on a busy machine the kernel may stall compacting memory
    for advised regions (the engine allocates its result grids the same way)."""
    nbytes = int(rows) * int(cols) * 8
    flags = getattr(mmap, "MAP_PRIVATE", 0) | getattr(mmap, "MAP_ANONYMOUS", 0)
    if nbytes < _MAPPED_BYTES or not flags:
        return np.empty((rows, cols), order="F")
    return np.ndarray((rows, cols), dtype=np.float64, order="F",
                      buffer=mmap.mmap(-1, nbytes, flags=flags))


# Asked first for a context's leaves: (leaves, ids, start, end, dates) -> {leaf:
# column-major float64 (dates x ids) array} for those it can serve, read
# elsewhere (fields a worker process shares with the others of its machine).
_shared_loader = None


def use_shared_loader(loader):
    """Sets the shared loader (None: none); returns the one set before."""
    global _shared_loader
    before, _shared_loader = _shared_loader, loader
    return before


def _load_field(leaf, ids, start_date, end_date, dates, known=None):
    """One leaf (a price field or a stored factor) as a column-major float64
    array over (dates x ids); NaN where the client has no value. Only the
    ``known`` ids (default all) are asked for."""
    read = getattr(tessal, "get_panel_values", None)
    if read is not None:
        # read once, straight into the context's layout; unknown ids were warned about
        values = read(leaf.name, ids, start_date, end_date, warn=False, out=empty_panel)
        if values.shape == (len(dates), len(ids)):
            return values
    wanted = ids if known is None else known
    frame = tessal.get_panel(leaf.name, wanted, start_date, end_date) if wanted else None
    if frame is None:
        frame = pd.DataFrame(index=dates, columns=ids, dtype=np.float64)
    frame = frame.copy()
    frame.index = pd.DatetimeIndex(frame.index)
    if not frame.columns.is_unique:
        frame = frame.loc[:, ~frame.columns.duplicated()]
    frame = frame.reindex(index=dates, columns=ids)
    return np.asfortranarray(frame.to_numpy(dtype=np.float64))


_FEW_COLUMNS = 64


def _masks_and_positions(traded, columns, positions_of=None):
    """id -> (column, mask, positions) for ``(id, column)`` pairs, from a
    read-only column-major (dates x columns) grid of valid rows. Positions not
    given by ``positions_of`` (id -> read-only positions) are found for all
    columns in one pass, each instrument's being a read-only slice."""
    positions_of = {} if positions_of is None else positions_of
    columns = list(columns)
    # a few columns missing are found alone; many in one pass over the grid
    few = sum(oid not in positions_of for oid, _ in columns) <= _FEW_COLUMNS
    if not few:
        # the missing columns side by side, then their valid rows column by column
        missing = [j for oid, j in columns if oid not in positions_of]
        ndays = traded.shape[0]
        flat = np.flatnonzero(traded[:, missing].ravel(order="F"))
        ends = np.searchsorted(flat, np.arange(1, len(missing) + 1) * ndays)
        slot = {j: k for k, j in enumerate(missing)}
    out = {}
    for oid, j in columns:
        positions = positions_of.get(oid)
        if positions is None and few:
            positions = np.flatnonzero(traded[:, j])
            positions.flags.writeable = False
        elif positions is None:
            k = slot[j]
            positions = flat[ends[k - 1] if k else 0:ends[k]]
            positions -= k * ndays
            positions.flags.writeable = False
        out[oid] = (j, traded[:, j], positions)
    return out


class ThreadingExecContext:
    """Loads the leaves of a tree for instruments x trading dates (several
    fields at once on a small thread pool) and serves per-instrument values.

    Members used by the engine: ``universe_mask`` (writable), ``ndays``,
    ``index``, ``get_mask_for``, ``get_factor_value`` and ``update``.
    """

    def __init__(self, leaves, order_book_ids, start_date, end_date, universe=None):
        ids = _check_ids(order_book_ids)
        self._unknown = _warn_about_ids(ids)
        self.order_book_ids = ids
        self.universe = universe
        self.universe_mask = None
        self.start_date = start_date
        self.end_date = end_date
        self.index = pd.DatetimeIndex(tessal.get_trading_dates(start_date, end_date))
        self.ndays = len(self.index)

        self._ids = _unique(ids)
        self._column = {oid: j for j, oid in enumerate(self._ids)}
        for leaf in leaves:
            if not isinstance(leaf, _Factor):
                raise TypeError("cannot load leaf {!r}: only named fields and stored factors "
                                "are loaded".format(leaf))
        wanted = _unique([_Factor("close"), _Factor("volume")] + list(leaves))
        self._fields = self._load(wanted, start_date, end_date)
        self._instruments = self._build_masks()
        self._computed = {}
        self._computed_columns = {}
        # id(node) -> (node, source): skips structural hashing on the hot path
        self._sources = {}

    def _load(self, leaves, start_date, end_date):
        if not leaves:
            return {}
        shared = {}
        if _shared_loader is not None:
            shared = dict(_shared_loader(leaves, self._ids, start_date, end_date, self.index))
            leaves = [leaf for leaf in leaves if leaf not in shared]
            if not leaves:
                return shared
        workers = max(1, min(_MAX_LOADER_THREADS, len(leaves)))
        with ThreadPoolExecutor(max_workers=workers) as pool:
            known = [oid for oid in self._ids if oid not in self._unknown]  # warned once
            futures = {leaf: pool.submit(_load_field, leaf, self._ids, start_date, end_date,
                                         self.index, known)
                       for leaf in leaves}
            shared.update((leaf, future.result()) for leaf, future in futures.items())
            return shared

    def _build_masks(self):
        """id -> (column, read-only mask, read-only valid-row positions)."""
        close = self._fields[_Factor("close")]
        volume = self._fields[_Factor("volume")]
        traded = np.isfinite(close)
        traded &= volume > 0
        no_volume = np.all(np.isnan(volume), axis=0)
        if no_volume.any():
            traded[:, no_volume] = np.isfinite(close[:, no_volume])
        traded = np.asfortranarray(traded)
        traded.flags.writeable = False
        self._traded = traded  # the masks are its columns
        return _masks_and_positions(traded, self._column.items())

    def _instrument(self, order_book_id):
        try:
            return self._instruments[order_book_id]
        except (KeyError, TypeError):
            raise KeyError("instrument {!r} is not in this execution context".format(
                order_book_id)) from None

    def get_mask_for(self, order_book_id):
        """Boolean array of ``ndays`` entries: the instrument's valid rows."""
        return self._instrument(order_book_id)[1]

    def get_factor_value(self, node, order_book_id):
        """The instrument's values of ``node`` on its valid rows (oldest first),
        or a number when the node's stored value is a number."""
        if isinstance(node, numbers.Real):
            return node
        j, _, rows = self._instrument(order_book_id)
        entry = self._sources.get(id(node))
        if entry is None or entry[0] is not node:
            entry = (node, self._source_of(node), self._consumed_rows(node))
            self._sources[id(node)] = entry
        kind, payload = entry[1]
        if entry[2]:
            # a computed node over windows: its value series starts after the
            # rows those windows consumed, as its shift says
            rows = rows[entry[2]:]
        if kind == "grid":
            return payload.take(rows)
        if kind == "leaf":
            return payload[:, j].take(rows)
        if kind == "frame":
            grid, columns = payload
            k = columns.get(order_book_id)
            if k is None:
                raise KeyError("{!r} has no values for {!r}".format(node, order_book_id))
            return grid[:, k].take(rows)
        return payload  # a number

    @staticmethod
    def _consumed_rows(node):
        if isinstance(node, (CrossSectionalFactor, FixedFactor)):
            return int(node.shift)
        return 0

    def _source_of(self, node):
        """Where ``node``'s values live, found once per node object."""
        if node in self._computed:
            grid = self._computed[node]
            if isinstance(grid, numbers.Real):
                return ("number", grid)
            if grid.ndim == 2:
                return ("frame", (grid, self._computed_columns[node]))
            return ("grid", grid)
        if isinstance(node, LeafFactor) and node in self._fields:
            return ("leaf", self._fields[node])
        raise KeyError("no values for {!r}: it was neither loaded nor computed".format(node))

    def update(self, node, values):
        """Store what the engine computed for a cross-sectional or fixed node."""
        self._sources.clear()
        if isinstance(values, numbers.Real):
            self._computed[node] = values
            return
        if isinstance(values, pd.DataFrame):
            # a frame over the context's own dates (the engine's) is stored as it is
            same_dates = values.index is self.index or values.index.equals(self.index)
            frame = values if same_dates else values.reindex(index=self.index)
            if not frame.columns.is_unique:
                frame = frame.loc[:, ~frame.columns.duplicated()]
            self._computed[node] = np.asfortranarray(frame.to_numpy(dtype=np.float64))
            self._computed_columns[node] = self._positions_of(frame.columns)
            return
        if isinstance(values, pd.Series):
            series = values.copy()
            series.index = pd.DatetimeIndex(series.index)
            self._computed[node] = series.reindex(self.index).to_numpy(dtype=np.float64)
            return
        series = np.asarray(values, dtype=np.float64)
        if series.ndim != 1:
            raise ValueError("cannot store {}-dimensional values for {!r}".format(
                series.ndim, node))
        self._computed[node] = self._on_grid(node, series)

    def _positions_of(self, columns):
        """column label -> position; the frames of one evaluation share their
        columns, so the mapping is built once per columns object (read only)."""
        cache = self.__dict__.setdefault("_positions_cache", {})
        entry = cache.get(id(columns))
        if entry is None or entry[0] is not columns:
            if len(cache) >= 8:  # a few live evaluations at most
                cache.pop(next(iter(cache)))
            entry = (columns, {c: k for k, c in enumerate(columns)})
            cache[id(columns)] = entry
        return entry[1]

    def _on_grid(self, node, series):
        """A value series of a fixed node sits on the fixed instrument's last
        valid rows; place it on the date grid."""
        grid = np.full(self.ndays, np.nan)
        if isinstance(node, FixedFactor):
            rows = self._instrument(node.order_book_id)[2]
        elif isinstance(node, CrossSectionalFactor):
            raise ValueError("a cross-sectional node stores a frame, got a value series")
        else:
            rows = np.arange(self.ndays)
        if len(series) > len(rows):
            raise ValueError("{} values for {!r} but only {} valid rows".format(
                len(series), node, len(rows)))
        if len(series):
            grid[rows[len(rows) - len(series):]] = series
        return grid
