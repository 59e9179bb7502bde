"""Fields of the market data read once per machine for a run.

Every group task loads the leaves of its factors over the run's instruments:
each field read from the bundle's date-major array and turned into one column
per instrument (on the large market 100 MB per field and, with the first
touches of its fresh pages, about a sixth of a second of CPU). Groups of one
run on one machine load the same fields over the same dates, so where the
run's spool folder is in memory each field is read by one task into a file
there and every other task maps that file: a field is read once per machine
and its pages are held once. A task claims each field of its load that no one
has claimed yet (in the order asked, so tasks starting together split the
fields between them), reads and publishes it, then waits for the fields the
others are reading. A field whose reader is gone, or is still reading after
``WAIT_SECONDS``, is read by the task itself, the usual way.

The mapped fields are read only: the engine never writes into its leaves,
and no task can change what another one reads. They stay in the folder until
the run ends, so groups loading from many different first dates would pile
them up: beyond ``MAX_MEMORY_SHARE`` of the machine's memory (or half the
folder's free space) a task reads its fields the usual way.
"""
import contextlib
import hashlib
import mmap
import os
import time

import numpy as np

import tessal

from ..leaf import _Factor
from .results import _pid_alive
from .transfer import _FIELD_SUFFIX, _MEMORY_FILE_SYSTEMS, _file_system, _sees, take_free_file

__all__ = ["SharedFields", "fields_shared_in", "WAIT_SECONDS"]

# Longest wait for a field another process of the machine is reading.
WAIT_SECONDS = 60.0
_POLL_SECONDS = 0.002
_SUFFIX = _FIELD_SUFFIX
# The fields of a run kept in the memory folder take at most this share of
# the machine's memory.
MAX_MEMORY_SHARE = 0.25


def _machine_memory():
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return 0


def _field_name(leaf, ids, dates):
    """The file name of ``leaf`` over ``ids`` x ``dates`` (same load, same name)."""
    digest = hashlib.blake2b(digest_size=16)
    first, last = (str(dates[0]), str(dates[-1])) if len(dates) else ("", "")
    digest.update(repr((leaf.name, first, last, len(dates), len(ids))).encode())
    digest.update("\0".join(ids).encode())
    return digest.hexdigest()


def _map(path, shape, writable=False):
    """A column-major float64 array of ``shape`` over the file at ``path``,
    every page mapped at once; None when the file is missing or of another size."""
    nbytes = shape[0] * shape[1] * 8
    try:
        fd = os.open(path, os.O_RDWR if writable else os.O_RDONLY)
    except FileNotFoundError:
        return None
    try:
        if os.fstat(fd).st_size != nbytes:
            return None
        flags = mmap.MAP_SHARED | getattr(mmap, "MAP_POPULATE", 0)
        prot = mmap.PROT_READ | (mmap.PROT_WRITE if writable else 0)
        buffer = mmap.mmap(fd, nbytes, flags=flags, prot=prot)
    finally:
        os.close(fd)
    values = np.ndarray(shape, dtype=np.float64, order="F", buffer=buffer)
    if not writable:
        values.flags.writeable = False
    return values


class SharedFields:
    """The loader a worker's execution contexts ask first for their leaves
    (see ``exec_context.use_shared_loader``), over the fields in ``folder``."""

    def __init__(self, folder, wait_seconds=None, recycle=None):
        self.folder = folder
        self.wait_seconds = WAIT_SECONDS if wait_seconds is None else wait_seconds
        self.recycle = recycle  # free files to read fields into (see transfer.py)

    def _path(self, name, kind=_SUFFIX):
        return os.path.join(self.folder, name + kind)

    def __call__(self, leaves, ids, start_date, end_date, dates):
        """leaf -> read-only (dates x ids) array, for the leaves served here."""
        shape = (len(dates), len(ids))
        if not shape[0] or not shape[1]:
            return {}
        out, pending = {}, {}
        for leaf in leaves:
            if not isinstance(leaf, _Factor):
                continue
            name = _field_name(leaf, ids, dates)
            values = _map(self._path(name), shape)
            if values is None and not self._room_for(shape[0] * shape[1] * 8):
                continue
            if values is None and self._claim(name):
                values = self._read(leaf, ids, start_date, end_date, shape, name)
            elif values is None:
                pending[leaf] = name
            if values is not None:
                out[leaf] = values
        out.update(self._wait_for(pending, shape))
        return out

    def _room_for(self, nbytes):
        """True when a field of ``nbytes`` more stays within the bounds."""
        try:
            held = sum(entry.stat().st_size for entry in os.scandir(self.folder)
                       if _SUFFIX in entry.name)
            space = os.statvfs(self.folder)
        except OSError:
            return False
        return held + nbytes <= MAX_MEMORY_SHARE * _machine_memory() and \
            nbytes <= space.f_bavail * space.f_frsize / 2

    def _claim(self, name):
        """True when this process now reads ``name``; False when another does
        or did (a field published in the meantime is mapped by the caller)."""
        try:
            fd = os.open(self._path(name, ".claim"), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        except FileExistsError:
            return False
        except OSError:
            return False
        with os.fdopen(fd, "w", encoding="ascii") as fh:
            fh.write(str(os.getpid()))
        if os.path.exists(self._path(name)):  # published between the look and the claim
            self._unclaim(name)
            return False
        return True

    def _unclaim(self, name):
        try:
            os.unlink(self._path(name, ".claim"))
        except OSError:
            pass

    def _read(self, leaf, ids, start_date, end_date, shape, name):
        """Reads the field into its file and publishes it; None when that
        fails (a full memory folder, a field the bundle lacks): the context
        then reads it itself and reports what is wrong."""
        tmp = self._path(name, "{}.{}.tmp".format(_SUFFIX, os.getpid()))
        nbytes = shape[0] * shape[1] * 8
        try:
            # a free file's pages are allocated already; a new file's are zeroed on first touch
            recycled = self.recycle is not None and take_free_file(self.recycle, tmp, nbytes)
            fd = os.open(tmp, os.O_RDWR if recycled else os.O_RDWR | os.O_CREAT | os.O_EXCL,
                         0o600)
            try:  # every page reserved now: a full folder fails here, not on a page fault
                os.posix_fallocate(fd, 0, shape[0] * shape[1] * 8)
            finally:
                os.close(fd)
            target = _map(tmp, shape, writable=True)
            tessal.get_panel_values(leaf.name, ids, start_date, end_date, warn=False,
                                    out=target)
            del target
            os.rename(tmp, self._path(name))
        except Exception:
            try:
                os.unlink(tmp)
            except OSError:
                pass
            return None
        finally:
            self._unclaim(name)
        return _map(self._path(name), shape)

    def _wait_for(self, pending, shape):
        """The fields other processes are reading, as they are published;
        those whose reader is gone or slow are left out."""
        out = {}
        deadline = time.monotonic() + self.wait_seconds
        while pending:
            for leaf, name in list(pending.items()):
                values = _map(self._path(name), shape)
                if values is not None:
                    out[leaf] = values
                    del pending[leaf]
                elif not self._reader_alive(name):
                    values = _map(self._path(name), shape)  # published as it finished?
                    if values is not None:
                        out[leaf] = values
                    del pending[leaf]
            if not pending or time.monotonic() > deadline:
                break
            time.sleep(_POLL_SECONDS)
        return out

    def _reader_alive(self, name):
        try:
            with open(self._path(name, ".claim"), encoding="ascii") as fh:
                text = fh.read()
        except OSError:
            return False
        if not text:  # claimed this instant, its number not written yet
            return True
        return text.isdigit() and _pid_alive(int(text))


@contextlib.contextmanager
def fields_shared_in(address):
    """While inside, the execution contexts of this process share their
    fields through the spool at ``address`` when this process sees it and it
    is in memory; else they load as usual."""
    if not _sees(address) or _file_system(address[0]) not in _MEMORY_FILE_SYSTEMS:
        yield
        return
    from ..engine_v2 import exec_context

    recycle = address[2] if len(address) > 2 else None
    before = exec_context.use_shared_loader(SharedFields(address[0], recycle=recycle))
    try:
        yield
    finally:
        exec_context.use_shared_loader(before)
