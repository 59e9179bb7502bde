"""Builds a bundle from the user's CSV files.

Files (comma separated, one header line, dates as YYYY-MM-DD):

- bars: date, order_book_id, open, high, low, close, volume, total_turnover
- instruments: order_book_id, symbol, type, listed_date, de_listed_date
  (de_listed_date empty or "0000-00-00" while listed)
- industries (optional): source, industry_name, order_book_id, start_date, version
  (source "citics_2019" or "sws"; version required for sws)
- style exposures and stored factors (optional): date, order_book_id, then one
  column per factor
- calendar (optional): a column "date" listing every trading date.  Without it
  the trading dates are the dates of the bars, followed by the weekdays of the
  next year so that look-ahead queries work (holidays are not known then).

Empty cells and "nan" are missing values.  Every malformed row is reported with
its file, line and column; nothing is written unless every file is sound (the
bundle is built in a temporary folder and renamed into place).
"""
import csv
import os

import numpy as np
import pandas as pd

from ..errors import CsvFormatError
from .format import (INDUSTRY_SOURCES, NOT_DELISTED, PRICE_FIELDS, BundleWriter, _check_name,
                     check_replaceable)

__all__ = ["import_csv", "BAR_COLUMNS", "INSTRUMENT_CSV_COLUMNS", "INDUSTRY_COLUMNS"]

BAR_COLUMNS = ("date", "order_book_id") + PRICE_FIELDS
INSTRUMENT_CSV_COLUMNS = ("order_book_id", "symbol", "type", "listed_date", "de_listed_date")
INDUSTRY_COLUMNS = ("source", "industry_name", "order_book_id", "start_date", "version")
_MISSING = {"", "nan", "NaN", "NAN", "NA", "null", "None"}
_CHUNK = 200_000
_LOOKAHEAD_DAYS = 366


def _fail(path, line, message):
    raise CsvFormatError("{}, line {}: {}".format(path, line, message))


def _chunks(path, required, exact=True):
    """Text chunks of a CSV file with the line number of each row; checks the header."""
    if not os.path.isfile(path):
        raise CsvFormatError("{}: no such file".format(path))
    try:
        _check_field_counts(path, required, exact)
        reader = pd.read_csv(path, dtype=str, keep_default_na=False, na_filter=False,
                             skip_blank_lines=False, chunksize=_CHUNK, skipinitialspace=True)
        first = True
        for chunk in reader:
            if not isinstance(chunk.index, pd.RangeIndex):
                # pandas takes the leading fields as an index when rows are longer than the header
                raise CsvFormatError("{}: some rows have more fields than the header".format(path))
            chunk.columns = [str(c).strip() for c in chunk.columns]
            if first:
                _check_header(path, list(chunk.columns), required, exact)
                first = False
            chunk = chunk.apply(lambda s: s.str.strip())
            blank = (chunk == "").all(axis=1)
            lines = chunk.index.to_numpy() + 2
            yield chunk[~blank.to_numpy()], lines[~blank.to_numpy()]
        if first:
            raise CsvFormatError("{}: empty file".format(path))
    except pd.errors.ParserError as exc:
        raise CsvFormatError("{}: not a readable CSV file: {}".format(path, exc)) from exc
    except pd.errors.EmptyDataError as exc:
        raise CsvFormatError("{}: empty file".format(path)) from exc
    except UnicodeDecodeError as exc:
        raise CsvFormatError("{}: not UTF-8 text: {}".format(path, exc)) from exc
    except csv.Error as exc:
        raise CsvFormatError("{}: not a readable CSV file: {}".format(path, exc)) from exc


def _check_field_counts(path, required, exact):
    """Every non-blank row has as many fields as the header: a missing or an
    extra field shifts the columns, so it is an error, never padded or cut."""
    with open(path, newline="", encoding="utf-8") as fh:
        reader = csv.reader(fh, skipinitialspace=True)
        header = next(reader, None)
        if header is None:
            return  # reported as an empty file
        _check_header(path, [c.strip() for c in header], required, exact)
        expected = len(header)
        for row in reader:
            if len(row) == expected or not any(field.strip() for field in row):
                continue
            _fail(path, reader.line_num, "{} fields, the header has {} (column {}: {})".format(
                len(row), expected, min(len(row), expected) + 1,
                "unexpected extra field {!r}".format(row[expected]) if len(row) > expected
                else "missing"))


def _check_header(path, columns, required, exact):
    dup = sorted({c for c in columns if columns.count(c) > 1})
    if dup:
        raise CsvFormatError("{}, line 1: repeated column(s) {}".format(path, dup))
    missing = [c for c in required if c not in columns]
    if missing:
        raise CsvFormatError("{}, line 1: missing column(s) {} (found {})".format(
            path, missing, columns))
    extra = [c for c in columns if c not in required]
    if exact and extra:
        raise CsvFormatError("{}, line 1: unexpected column(s) {}".format(path, extra))


def _dates(path, text, lines, column, allow=()):
    """datetime64[D] values of a text column; rows in `allow` give NaT."""
    parsed = pd.to_datetime(text, format="%Y-%m-%d", errors="coerce")
    bad = parsed.isna().to_numpy() & ~text.isin(allow).to_numpy()
    if bad.any():
        k = int(np.argmax(bad))
        _fail(path, lines[k], "bad {} {!r} (expected YYYY-MM-DD)".format(column, text.iloc[k]))
    return parsed.to_numpy().astype("datetime64[D]")


def _parse(text):
    try:
        return float(text)
    except ValueError:
        return np.nan


def _numbers(path, text, lines, column):
    missing = text.isin(_MISSING).to_numpy()
    cleaned = text.where(~missing, "nan").to_numpy(dtype=object)
    try:
        # Python's own parsing: exact round trip of printed floats.
        values = cleaned.astype(np.float64)
    except (ValueError, TypeError):
        values = np.array([_parse(x) for x in cleaned])
    bad = ~missing & ~np.isfinite(values)
    if bad.any():
        k = int(np.argmax(bad))
        _fail(path, lines[k], "non-numeric or infinite {} {!r}".format(column, text.iloc[k]))
    return values


def _columns(path, ids, lines, column_of):
    cols = ids.map(column_of).to_numpy(dtype=float, na_value=np.nan)
    unknown = np.isnan(cols)
    if unknown.any():
        k = int(np.argmax(unknown))
        _fail(path, lines[k], "unknown instrument {!r} (not in the instruments file)".format(
            ids.iloc[k]))
    return cols.astype(np.int64)


def _read_instruments(path):
    frames = []
    for chunk, lines in _chunks(path, INSTRUMENT_CSV_COLUMNS):
        ids = chunk["order_book_id"]
        if (ids == "").any():
            _fail(path, lines[int(np.argmax((ids == "").to_numpy()))], "empty order_book_id")
        if (chunk["type"] == "").any():
            _fail(path, lines[int(np.argmax((chunk["type"] == "").to_numpy()))], "empty type")
        _dates(path, chunk["listed_date"], lines, "listed_date")
        delisted = chunk["de_listed_date"].replace("", NOT_DELISTED)
        _dates(path, delisted, lines, "de_listed_date", allow=(NOT_DELISTED,))
        chunk = chunk.assign(de_listed_date=delisted, _line=lines)
        frames.append(chunk)
    table = pd.concat(frames, ignore_index=True)
    if table.empty:
        raise CsvFormatError("{}: no instruments".format(path))
    dup = table["order_book_id"].duplicated(keep=False).to_numpy()
    if dup.any():
        rows = table[dup]
        first = rows.iloc[0]
        again = rows[rows["order_book_id"] == first["order_book_id"]].iloc[1]
        _fail(path, again["_line"], "duplicate order_book_id {!r} (first on line {})".format(
            first["order_book_id"], first["_line"]))
    bad = (table["de_listed_date"] != NOT_DELISTED) & \
        (table["de_listed_date"] <= table["listed_date"])
    if bad.any():
        row = table[bad].iloc[0]
        _fail(path, row["_line"], "de_listed_date {} is not after listed_date {}".format(
            row["de_listed_date"], row["listed_date"]))
    return table.drop(columns="_line").loc[:, list(INSTRUMENT_CSV_COLUMNS)]


def _read_calendar(path):
    days = []
    for chunk, lines in _chunks(path, ("date",)):
        days.append(_dates(path, chunk["date"], lines, "date"))
    cal = np.unique(np.concatenate(days)) if days else np.array([], dtype="datetime64[D]")
    if cal.size == 0:
        raise CsvFormatError("{}: no dates".format(path))
    return cal


class _Grid:
    """A dates x instruments matrix filled from rows, remembering which line set each cell."""

    def __init__(self, path, what, shape):
        self.path = path
        self.what = what
        self.line = np.zeros(shape, dtype=np.int32)

    def claim(self, rows, cols, lines):
        prev = self.line[rows, cols]
        clash = prev > 0
        if clash.any():
            k = int(np.argmax(clash))
            _fail(self.path, lines[k], "duplicate {} (first on line {})".format(self.what, prev[k]))
        self.line[rows, cols] = lines
        # Repeats inside one chunk: the later line of a pair wins the slot above.
        check = self.line[rows, cols]
        repeated = check != lines
        if repeated.any():
            k = int(np.argmax(repeated))
            a, b = sorted((int(lines[k]), int(check[k])))
            _fail(self.path, b, "duplicate {} (first on line {})".format(self.what, a))


def _row_positions(path, chunk, lines, dates, column_of, date_column="date"):
    days = _dates(path, chunk[date_column], lines, date_column)
    rows = np.searchsorted(dates, days)
    inside = (rows < dates.size) & (dates[np.minimum(rows, dates.size - 1)] == days)
    if not inside.all():
        k = int(np.argmax(~inside))
        _fail(path, lines[k], "date {} is not a trading date with bars".format(days[k]))
    return rows, _columns(path, chunk["order_book_id"], lines, column_of)


def _read_values(path, dates, column_of, writer, group, required, shape):
    """Fills one array per value column of a (date, order_book_id, ...) file."""
    names, arrays, grid = None, None, _Grid(path, "row for this date and order_book_id", shape)
    for chunk, lines in _chunks(path, required, exact=group == "fields"):
        if names is None:
            names = [c for c in chunk.columns if c not in ("date", "order_book_id")]
            if group != "fields" and not names:
                raise CsvFormatError("{}, line 1: no value columns".format(path))
            for name in names:
                try:
                    _check_name(group, name)
                except ValueError as exc:
                    raise CsvFormatError("{}, line 1: {}".format(path, exc)) from None
            arrays = {name: writer.open_array(group, name) for name in names}
        if chunk.empty:
            continue
        rows, cols = _row_positions(path, chunk, lines, dates, column_of)
        grid.claim(rows, cols, lines)
        for name in names:
            values = _numbers(path, chunk[name], lines, name)
            if group == "fields":
                _check_bar_values(path, name, values, lines)
            arrays[name][rows, cols] = values
    if names is None:
        raise CsvFormatError("{}: empty file".format(path))
    return names


def _check_bar_values(path, name, values, lines):
    if name == "volume" or name == "total_turnover":
        bad = values < 0
        what = "negative"
    else:
        bad = values <= 0
        what = "non-positive"
    if bad.any():
        k = int(np.argmax(bad))
        _fail(path, lines[k], "{} {} {}".format(what, name, values[k]))


def _bar_dates(path):
    days = []
    for chunk, lines in _chunks(path, BAR_COLUMNS):
        if not chunk.empty:
            days.append(_dates(path, chunk["date"], lines, "date"))
    if not days:
        raise CsvFormatError("{}: no bars".format(path))
    return np.unique(np.concatenate(days))


def _read_industries(path, column_of):
    records = {source: [] for source in INDUSTRY_SOURCES}
    seen = {}
    for chunk, lines in _chunks(path, INDUSTRY_COLUMNS):
        starts = _dates(path, chunk["start_date"], lines, "start_date")
        _columns(path, chunk["order_book_id"], lines, column_of)
        for k, (source, name, oid, version) in enumerate(zip(
                chunk["source"], chunk["industry_name"], chunk["order_book_id"],
                chunk["version"])):
            line = int(lines[k])
            if source not in INDUSTRY_SOURCES:
                _fail(path, line, "unknown source {!r} (expected one of {})".format(
                    source, ", ".join(INDUSTRY_SOURCES)))
            if name == "":
                _fail(path, line, "empty industry_name")
            start = pd.Timestamp(starts[k])
            if source == "sws":
                try:
                    ver = int(version)
                except ValueError:
                    _fail(path, line, "sws records need an integer version, got {!r}".format(
                        version))
                rec = (name, oid, start, ver)
            else:
                if version not in ("", "nan"):
                    _fail(path, line, "citics_2019 records take no version, got {!r}".format(
                        version))
                rec = (name, oid, start)
            key = (source,) + rec[1:]
            if key in seen:
                _fail(path, line, "duplicate record for {} {} from {} (first on line {})".format(
                    source, oid, start.date(), seen[key]))
            seen[key] = line
            records[source].append(rec)
    return records


def _calendar_for(bar_days, calendar_path):
    if calendar_path is not None:
        cal = _read_calendar(calendar_path)
        outside = ~np.isin(bar_days, cal)
        if outside.any():
            raise CsvFormatError("{}: bar date {} is not in the calendar".format(
                calendar_path, bar_days[int(np.argmax(outside))]))
        return cal
    first_future = bar_days[-1] + np.timedelta64(1, "D")
    future = np.arange(first_future, first_future + np.timedelta64(_LOOKAHEAD_DAYS, "D"))
    weekday = (future.astype(np.int64) + 3) % 7
    return np.concatenate([bar_days, future[weekday < 5]])


def import_csv(path, bars, instruments, industries=None, style=None, factors=None,
               calendar=None, overwrite=False):
    """Builds a bundle at `path` from CSV files; returns the path.

    Raises `CsvFormatError` (a `ValueError`) naming the file, line and column of
    the first malformed row; nothing is left at `path` on failure.
    """
    if os.path.exists(path) and not overwrite:
        raise FileExistsError("a bundle already exists at {}".format(path))
    if overwrite:
        check_replaceable(path)  # before any reading: refuse early, touch nothing
    table = _read_instruments(instruments)
    column_of = {oid: j for j, oid in enumerate(table["order_book_id"])}
    bar_days = _bar_dates(bars)
    cal = _calendar_for(bar_days, calendar)
    first = int(np.searchsorted(cal, bar_days[0]))
    last = int(np.searchsorted(cal, bar_days[-1]))
    dates = cal[first:last + 1]
    shape = (dates.size, len(table))
    records = _read_industries(industries, column_of) if industries is not None else None
    with BundleWriter(path, overwrite=overwrite) as writer:
        writer.set_calendar(cal, dates[0], dates[-1])
        writer.set_instruments(table)
        _read_values(bars, dates, column_of, writer, "fields", BAR_COLUMNS, shape)
        if style is not None:
            _read_values(style, dates, column_of, writer, "style", ("date", "order_book_id"),
                         shape)
        if factors is not None:
            _read_values(factors, dates, column_of, writer, "factors",
                         ("date", "order_book_id"), shape)
        if records is not None:
            for source, recs in records.items():
                if recs:
                    writer.set_industry(source, recs)
        writer.info = {"generator": "csv import", "bars": os.path.abspath(bars),
                       "instruments": os.path.abspath(instruments)}
    return writer.path
