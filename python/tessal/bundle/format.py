"""On-disk layout of a data bundle: atomic writing and checked opening.

A bundle is a directory:

- ``meta.json``: format name and version, the trading calendar, the rows that
  hold data, the instrument table and an index of every other file with its
  shape, byte size and (optionally) SHA-256 checksum;
- ``<group>/<name>.npy``: one float64 matrix per field (dates with data x
  instruments, in the order of the instrument table), memory-mapped on read;
  groups are ``fields`` (prices and volume), ``factors`` (stored factors) and
  ``style`` (style factor exposures);
- ``industry/<source>.json``: classification records of one source.

A bundle is built in a temporary sibling directory and renamed into place once
complete, so a reader never sees a half-written bundle.  When two processes
write the same path at once, the first rename wins and the other writer keeps
the winner's bundle.
"""
import datetime as _dt
import errno
import hashlib
import json
import os
import re
import shutil
import uuid

import numpy as np
import pandas as pd

from ..errors import BundleError

__all__ = [
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "PRICE_FIELDS",
    "ARRAY_GROUPS",
    "INDUSTRY_SOURCES",
    "INSTRUMENT_COLUMNS",
    "BundleWriter",
    "Bundle",
    "open_bundle",
    "verify_checksums",
]

FORMAT_NAME = "tessal-bundle"
FORMAT_VERSION = 1
PRICE_FIELDS = ("open", "high", "low", "close", "volume", "total_turnover")
ARRAY_GROUPS = ("fields", "factors", "style")
INDUSTRY_SOURCES = ("citics_2019", "sws")
INSTRUMENT_COLUMNS = ("order_book_id", "symbol", "type", "listed_date", "de_listed_date")
NOT_DELISTED = "0000-00-00"

_NAME_RE = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
_DATE_RE = re.compile(r"^\d{4}-\d{2}-\d{2}$")


def _check_name(kind, name):
    if not isinstance(name, str) or not _NAME_RE.match(name):
        raise ValueError(
            "{} name must be letters, digits and underscores, got {!r}".format(kind, name))


def _fsync_file(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _fsync_dir(path):
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as fh:
        for block in iter(lambda: fh.read(1 << 22), b""):
            digest.update(block)
    return digest.hexdigest()


def _date_text(value):
    return str(np.datetime64(value, "D"))


class BundleWriter:
    """Builds a bundle in a temporary sibling directory and renames it into place.

    Use as a context manager; on a clean exit the bundle is committed, on an
    exception the temporary directory is removed and nothing appears at `path`.
    An existing bundle at `path` is an error unless `overwrite` is true.
    """

    def __init__(self, path, overwrite=False, checksums=True):
        self.path = os.path.abspath(os.fspath(path))
        self.overwrite = overwrite
        self.checksums = checksums
        self.committed = False
        parent = os.path.dirname(self.path)
        os.makedirs(parent, exist_ok=True)
        if os.path.exists(self.path) and not overwrite:
            raise FileExistsError("a bundle already exists at {}".format(self.path))
        if overwrite:
            check_replaceable(self.path)
        name = os.path.basename(self.path)
        self.tmp = os.path.join(parent, ".{}.tmp-{}-{}".format(name, os.getpid(), uuid.uuid4().hex))
        os.makedirs(self.tmp)
        self._calendar = None
        self._data_range = None
        self._instruments = None
        self._arrays = {}
        self._open = {}
        self._industry = {}
        self.info = {}

    # -- content -----------------------------------------------------------------
    def set_calendar(self, calendar, first_data_date, last_data_date):
        """The full trading calendar and the first and last dates that hold data."""
        cal = np.asarray(calendar, dtype="datetime64[D]")
        if cal.size == 0 or np.any(np.diff(cal) <= np.timedelta64(0, "D")):
            raise ValueError("calendar must be non-empty, sorted and without repeats")
        first = np.datetime64(first_data_date, "D")
        last = np.datetime64(last_data_date, "D")
        i0 = int(np.searchsorted(cal, first))
        i1 = int(np.searchsorted(cal, last))
        if i0 >= cal.size or cal[i0] != first or i1 >= cal.size or cal[i1] != last or i1 < i0:
            raise ValueError("data dates must be calendar dates with first <= last")
        self._calendar = cal
        self._data_range = (i0, i1 - i0 + 1)

    @property
    def n_dates(self):
        return self._data_range[1]

    def set_instruments(self, table):
        """The instrument table (columns `INSTRUMENT_COLUMNS`, dates as text)."""
        missing = [c for c in INSTRUMENT_COLUMNS if c not in table.columns]
        if missing:
            raise ValueError("instrument table lacks columns {}".format(missing))
        table = table.loc[:, list(INSTRUMENT_COLUMNS)].reset_index(drop=True)
        # Refused rather than written: astype(str) turns a missing value into the text
        # "nan" before pandas 3 and keeps it missing from pandas 3 on.
        blank = table.isna().any()
        if blank.any():
            raise ValueError("instrument table has missing values in {}".format(
                list(blank.index[blank.to_numpy()])))
        table = table.astype(str)
        if len(table) == 0:
            raise ValueError("a bundle needs at least one instrument")
        if table["order_book_id"].duplicated().any():
            raise ValueError("instrument table has repeated order_book_id values")
        self._instruments = table

    @property
    def n_instruments(self):
        return len(self._instruments)

    def _array_path(self, group, name):
        if group not in ARRAY_GROUPS:
            raise ValueError("unknown array group {!r}".format(group))
        _check_name(group, name)
        if (group, name) in self._arrays or (group, name) in self._open:
            raise ValueError("array {}/{} written twice".format(group, name))
        os.makedirs(os.path.join(self.tmp, group), exist_ok=True)
        return os.path.join(self.tmp, group, name + ".npy")

    def open_array(self, group, name):
        """A NaN-filled float64 memory map (dates x instruments) to fill in place."""
        if self._data_range is None or self._instruments is None:
            raise RuntimeError("set the calendar and the instruments first")
        target = self._array_path(group, name)
        arr = np.lib.format.open_memmap(
            target, mode="w+", dtype="<f8", shape=(self.n_dates, self.n_instruments))
        arr[...] = np.nan
        self._open[(group, name)] = arr
        return arr

    def add_array(self, group, name, values):
        """Writes a whole dates x instruments matrix at once."""
        values = np.asarray(values, dtype="<f8")
        if values.shape != (self.n_dates, self.n_instruments):
            raise ValueError("array {}/{} has shape {}, expected {}".format(
                group, name, values.shape, (self.n_dates, self.n_instruments)))
        target = self._array_path(group, name)
        np.save(target, np.ascontiguousarray(values))
        self._arrays[(group, name)] = target

    def set_industry(self, source, records):
        """Classification records: (name, order_book_id, start date[, version])."""
        if source not in INDUSTRY_SOURCES:
            raise ValueError("unknown industry source {!r}".format(source))
        width = 4 if source == "sws" else 3
        rows = []
        for rec in records:
            if len(rec) != width:
                raise ValueError("{} records have {} fields, got {!r}".format(source, width, rec))
            row = [str(rec[0]), str(rec[1]), pd.Timestamp(rec[2]).strftime("%Y-%m-%d")]
            if width == 4:
                row.append(int(rec[3]))
            rows.append(row)
        self._industry[source] = rows

    # -- commit ------------------------------------------------------------------
    def _describe(self, rel, shape=None):
        full = os.path.join(self.tmp, rel)
        _fsync_file(full)
        entry = {"file": rel, "bytes": os.path.getsize(full)}
        if shape is not None:
            entry["shape"] = list(shape)
            entry["dtype"] = "<f8"
        if self.checksums:
            entry["sha256"] = _sha256(full)
        return entry

    def _write_meta(self):
        if self._calendar is None or self._instruments is None:
            raise RuntimeError("a bundle needs a calendar and instruments")
        for (group, name), arr in self._open.items():
            arr.flush()
            self._arrays[(group, name)] = arr.filename
        self._open.clear()
        arrays = {}
        for (group, name) in sorted(self._arrays):
            rel = "{}/{}.npy".format(group, name)
            arrays["{}/{}".format(group, name)] = self._describe(
                rel, (self.n_dates, self.n_instruments))
        missing = [f for f in PRICE_FIELDS if "fields/" + f not in arrays]
        if missing:
            raise RuntimeError("a bundle needs the price fields {}".format(missing))
        industry = {}
        for source, rows in sorted(self._industry.items()):
            rel = "industry/{}.json".format(source)
            os.makedirs(os.path.join(self.tmp, "industry"), exist_ok=True)
            with open(os.path.join(self.tmp, rel), "w", encoding="utf-8") as fh:
                json.dump(rows, fh, ensure_ascii=False)
            industry[source] = self._describe(rel)
        i0, n = self._data_range
        meta = {
            "format": FORMAT_NAME,
            "version": FORMAT_VERSION,
            "created": _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
            "calendar": [_date_text(d) for d in self._calendar],
            "data_start": _date_text(self._calendar[i0]),
            "data_end": _date_text(self._calendar[i0 + n - 1]),
            "shape": [n, self.n_instruments],
            "instruments": self._instruments.to_dict(orient="list"),
            "arrays": arrays,
            "industry": industry,
            "info": self.info,
        }
        meta_path = os.path.join(self.tmp, "meta.json")
        with open(meta_path, "w", encoding="utf-8") as fh:
            json.dump(meta, fh, ensure_ascii=False)
            fh.flush()
            os.fsync(fh.fileno())
        for sub in ("", *ARRAY_GROUPS, "industry"):
            _fsync_dir(os.path.join(self.tmp, sub))

    def commit(self):
        """Finishes the bundle and renames it into place; returns the final path."""
        self._write_meta()
        parent = os.path.dirname(self.path)
        if self.overwrite and os.path.exists(self.path):
            check_replaceable(self.path)  # it may have changed while we wrote
            # Move the old bundle aside first; readers holding its files keep them.
            trash = self.tmp + ".old"
            os.rename(self.path, trash)
            os.rename(self.tmp, self.path)
            shutil.rmtree(trash, ignore_errors=True)
        else:
            try:
                os.rename(self.tmp, self.path)
            except OSError as exc:
                if exc.errno not in (errno.EEXIST, errno.ENOTEMPTY, errno.EISDIR):
                    raise
                # Another writer finished first: keep its bundle if it is sound.
                shutil.rmtree(self.tmp, ignore_errors=True)
                open_bundle(self.path)
        _fsync_dir(parent)
        self.committed = True
        return self.path

    def abort(self):
        self._open.clear()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            try:
                self.commit()
            except BaseException:
                self.abort()
                raise
        else:
            self.abort()
        return False


class Bundle:
    """An opened, checked bundle: calendar, instruments and memory-mapped arrays."""

    def __init__(self, path, meta, arrays, files=None):
        self.path = path
        self.meta = meta
        self.calendar = np.array(meta["calendar"], dtype="datetime64[D]")
        self.data_offset = int(np.searchsorted(self.calendar, np.datetime64(meta["data_start"])))
        self.n_dates = int(meta["shape"][0])
        self.instruments = pd.DataFrame(meta["instruments"], columns=list(INSTRUMENT_COLUMNS))
        self.column_of = {oid: j for j, oid in enumerate(self.instruments["order_book_id"])}
        self._arrays = arrays
        self._files = files or {}  # key -> (path, data offset, identity) as opened
        self._industry_cache = {}

    # -- calendar ----------------------------------------------------------------
    @property
    def data_dates(self):
        return self.calendar[self.data_offset:self.data_offset + self.n_dates]

    @property
    def latest_date(self):
        return self.calendar[self.data_offset + self.n_dates - 1]

    def data_rows(self, start, end):
        """Row range [r0, r1) of the arrays for the calendar days in [start, end]."""
        lo = int(np.searchsorted(self.calendar, start, side="left"))
        hi = int(np.searchsorted(self.calendar, end, side="right"))
        r0 = min(max(lo - self.data_offset, 0), self.n_dates)
        r1 = min(max(hi - self.data_offset, 0), self.n_dates)
        return r0, max(r0, r1)

    # -- arrays ------------------------------------------------------------------
    def names(self, group):
        prefix = group + "/"
        return [k[len(prefix):] for k in self._arrays if k.startswith(prefix)]

    def has(self, group, name):
        return "{}/{}".format(group, name) in self._arrays

    def array(self, group, name):
        return self._arrays["{}/{}".format(group, name)]

    def array_file(self, group, name):
        """(path, offset of the data, identity) of an array's file as opened, or
        None; a reader compares the identity (``file_identity``) before reading
        the file directly, so a bundle replaced since is never mixed in."""
        return self._files.get("{}/{}".format(group, name))

    # -- industry ----------------------------------------------------------------
    def industry_records(self, source):
        """Records of one source as tuples with `Timestamp` start dates."""
        if source not in self._industry_cache:
            entry = self.meta["industry"].get(source)
            if entry is None:
                raise BundleError("bundle {} holds no {} industry records".format(
                    self.path, source))
            full = os.path.join(self.path, entry["file"])
            try:
                with open(full, encoding="utf-8") as fh:
                    rows = json.load(fh)
                records = []
                for row in rows:
                    rec = [row[0], row[1], pd.Timestamp(row[2])]
                    if source == "sws":
                        rec.append(int(row[3]))
                    records.append(tuple(rec))
            except (OSError, ValueError, TypeError, IndexError) as exc:
                raise BundleError("damaged industry file {}: {}".format(full, exc)) from exc
            self._industry_cache[source] = records
        return list(self._industry_cache[source])


_BUNDLE_ENTRIES = {"meta.json", "industry", *ARRAY_GROUPS}


def check_replaceable(path):
    """Refuses to replace anything but a bundle (or an empty folder) at `path`:
    overwriting must never delete a user's other files."""
    path = os.path.abspath(os.fspath(path))
    if not os.path.lexists(path):
        return
    if os.path.islink(path) or not os.path.isdir(path):
        raise BundleError("{} exists and is not a bundle folder; refusing to replace it "
                          "(choose another --path)".format(path))
    entries = set(os.listdir(path))
    if not entries:
        return
    try:
        _load_meta(path)
    except BundleError:
        raise BundleError("{} is a folder that holds no bundle (no readable meta.json); "
                          "refusing to replace it".format(path)) from None
    foreign = sorted(entries - _BUNDLE_ENTRIES)
    if foreign:
        raise BundleError("{} holds files that are not part of a bundle ({}); refusing to "
                          "replace it".format(path, ", ".join(foreign[:5])))


def _load_meta(path):
    meta_path = os.path.join(path, "meta.json")
    if not os.path.isdir(path):
        raise BundleError("no bundle directory at {}".format(path))
    if not os.path.isfile(meta_path):
        raise BundleError("missing file {}".format(meta_path))
    try:
        with open(meta_path, encoding="utf-8") as fh:
            meta = json.load(fh)
    except (OSError, ValueError) as exc:
        raise BundleError("damaged file {}: {}".format(meta_path, exc)) from exc
    if not isinstance(meta, dict) or meta.get("format") != FORMAT_NAME:
        raise BundleError("{} is not a tessal bundle description".format(meta_path))
    if meta.get("version") != FORMAT_VERSION:
        raise BundleError("unsupported bundle version {!r} in {} (this client reads version {})"
                          .format(meta.get("version"), meta_path, FORMAT_VERSION))
    for key in ("calendar", "data_start", "data_end", "shape", "instruments", "arrays",
                "industry"):
        if key not in meta:
            raise BundleError("{} lacks the entry {!r}".format(meta_path, key))
    return meta_path, meta


def _check_meta(meta_path, meta):
    try:
        cal = np.array(meta["calendar"], dtype="datetime64[D]")
        start = np.datetime64(meta["data_start"], "D")
        end = np.datetime64(meta["data_end"], "D")
        n_dates, n_instr = (int(x) for x in meta["shape"])
        inst = pd.DataFrame(meta["instruments"], columns=list(INSTRUMENT_COLUMNS))
    except (ValueError, TypeError, KeyError) as exc:
        raise BundleError("damaged calendar or instrument table in {}: {}".format(
            meta_path, exc)) from exc
    if cal.size == 0 or np.any(np.diff(cal) <= np.timedelta64(0, "D")):
        raise BundleError("calendar in {} is empty or not strictly ascending".format(meta_path))
    i0 = int(np.searchsorted(cal, start))
    i1 = int(np.searchsorted(cal, end))
    if i0 >= cal.size or i1 >= cal.size or cal[i0] != start or cal[i1] != end or \
            i1 - i0 + 1 != n_dates:
        raise BundleError("data dates in {} disagree with the calendar and shape".format(meta_path))
    if len(inst) != n_instr or inst["order_book_id"].duplicated().any() or \
            inst.isna().any().any():
        raise BundleError("instrument table in {} is inconsistent".format(meta_path))
    if not isinstance(meta["arrays"], dict) or not isinstance(meta["industry"], dict):
        raise BundleError("damaged file index in {}".format(meta_path))
    for column in ("listed_date", "de_listed_date"):
        text = inst[column].astype(str)
        allowed = text == (NOT_DELISTED if column == "de_listed_date" else None)
        parsed = pd.to_datetime(text, format="%Y-%m-%d", errors="coerce")
        bad = parsed.isna().to_numpy() & ~allowed.to_numpy()
        if bad.any():
            k = int(np.argmax(bad))
            raise BundleError("instrument table in {}: {} {!r} of {} is not a YYYY-MM-DD date"
                              .format(meta_path, column, text.iloc[k],
                                      inst["order_book_id"].iloc[k]))
    for name in PRICE_FIELDS:
        if "fields/" + name not in meta["arrays"]:
            raise BundleError("{} lists no array for the field {}".format(meta_path, name))
    return n_dates, n_instr


def _check_file(path, entry, meta_path):
    rel = entry.get("file") if isinstance(entry, dict) else None
    if not isinstance(rel, str) or os.path.isabs(rel) or ".." in rel.split("/"):
        raise BundleError("bad file entry {!r} in {}".format(entry, meta_path))
    full = os.path.join(path, rel)
    if not os.path.isfile(full):
        raise BundleError("missing file {}".format(full))
    size = os.path.getsize(full)
    if size != entry.get("bytes"):
        raise BundleError("damaged file {}: {} bytes, expected {} (truncated or replaced)"
                          .format(full, size, entry.get("bytes")))
    return full


def open_bundle(path, check_sums=False):
    """Opens and checks the bundle at `path`; raises `BundleError` naming the bad file.

    Checks the format version, the calendar and instrument table, and the
    presence, byte size, shape and dtype of every listed file.  With
    `check_sums` the SHA-256 checksums are verified too (reads every byte).
    """
    path = os.path.abspath(os.fspath(path))
    meta_path, meta = _load_meta(path)
    n_dates, n_instr = _check_meta(meta_path, meta)
    arrays, files = {}, {}
    for key, entry in meta["arrays"].items():
        full = _check_file(path, entry, meta_path)
        identity = file_identity(os.stat(full))  # before mapping: a file replaced after differs
        try:
            arr = np.load(full, mmap_mode="r", allow_pickle=False)
        except Exception as exc:  # noqa: BLE001 - a damaged header fails in numpy's parser
            # in many ways (ValueError, SyntaxError, tokenize errors, ...): all mean damage
            raise BundleError("damaged file {}: {}".format(full, exc)) from exc
        if arr.dtype != np.dtype("<f8") or arr.shape != (n_dates, n_instr):
            raise BundleError("damaged file {}: holds {} {}, expected float64 {}".format(
                full, arr.dtype, arr.shape, (n_dates, n_instr)))
        if entry.get("shape", [n_dates, n_instr]) != [n_dates, n_instr] or \
                entry.get("dtype", "<f8") != "<f8":
            raise BundleError("{} describes {} as {} {}, but the bundle is float64 {}".format(
                meta_path, key, entry.get("dtype"), entry.get("shape"), [n_dates, n_instr]))
        arrays[key] = arr
        files[key] = (full, arr.offset, identity)
    for entry in meta["industry"].values():
        _check_file(path, entry, meta_path)
    if check_sums:
        verify_checksums(path, meta)
    return Bundle(path, meta, arrays, files)


def file_identity(stat):
    """What tells a file apart from one put in its place later."""
    return (stat.st_dev, stat.st_ino, stat.st_size, stat.st_mtime_ns)


def verify_checksums(path, meta=None):
    """Compares every file with its recorded SHA-256 checksum; raises `BundleError`."""
    path = os.path.abspath(os.fspath(path))
    if meta is None:
        _, meta = _load_meta(path)
    entries = list(meta["arrays"].values()) + list(meta["industry"].values())
    for entry in entries:
        full = _check_file(path, entry, os.path.join(path, "meta.json"))
        want = entry.get("sha256")
        if want is not None and _sha256(full) != want:
            raise BundleError("damaged file {}: checksum mismatch".format(full))
