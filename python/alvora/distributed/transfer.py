"""Factor frames handed from workers to the client through files.

A whole factor frame (instruments x dates of float64) is large; sent through
the cluster's connections it is pickled, copied several times and, when the
worker's memory fills up, spilled to disk. Workers that see the run's spool
folder write each frame there instead, as one ``.npy`` file renamed into place
when complete, and return a :class:`SpooledFrame`: the file's path with the
frame's index and columns. The receiver maps the file copy-on-write: the frame
is the one the worker computed, writable, its pages read in when touched.

Where the spool folder is in memory (the system's shared memory), a worker
computes its result grids straight into unnamed files in that folder (see
:func:`grids_in_spool`) and sending a frame only gives its grid's file a
name: no second copy of the frame's pages, no copy at all. Frames that are
not such a grid (a masked copy, a cross-sectional result) are written out.

Such grid files are recycled: once the client has freed a frame mapped from
one, the file goes to the client's recycling folder (one per client process
and cluster, removed when the process exits), and the workers of a later run
take their grid files from there first; so do the market fields the run read
once per machine (see shared_fields.py), once the run has ended. Their pages
are allocated already: a fresh file's pages are zeroed on first touch, a fifth
of a worker's time on a library of 40 factors over the large market. A folder
keeps at most :data:`RECYCLE_BYTES`.

Workers on machines that do not see the folder (it holds a token file they
cannot read) return their frames through the connections as before.
"""
import atexit
import contextlib
import hashlib
import os
import re
import shutil
import tempfile
import uuid

import numpy as np
import pandas as pd

from .results import _pid_alive

__all__ = ["FrameSpool", "SpooledFrame", "grids_in_spool", "spool_frames", "received"]

_PREFIX = "alvora-frames-"
_TOKEN_FILE = "token"
# Smaller grids stay in the worker's heap: their copy costs little, and the
# heap serves the next one without page faults.
GRID_FILE_MIN_BYTES = 1 << 20
_MEMORY_FILE_SYSTEMS = ("tmpfs", "ramfs")
_FIELD_SUFFIX = ".field"  # a market field read once per machine (see shared_fields.py)
_RECYCLE_SUFFIX = "recycle"


def _quarter_of_memory():
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 4
    except (ValueError, OSError, AttributeError):
        return 0


# Bytes of freed result files the client keeps for later runs' grids (0: none
# kept). They are memory the system cannot use otherwise while the client runs.
RECYCLE_BYTES = _quarter_of_memory()


def _default_root():
    """Shared memory where the system offers it (no disk writes), else the
    temporary folder."""
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK):
        return shm
    return tempfile.gettempdir()


class FrameSpool:
    """The client's spool folder for one run: created on entry, removed with
    whatever is left in it on exit. Folders of runs whose process died are
    removed when a new spool is made beside them."""

    def __init__(self, root=None, cluster=None):
        self.root = _default_root() if root is None else os.fspath(root)
        self.cluster = cluster  # the scheduler's address: each cluster recycles its own files
        self.path = None
        self.token = uuid.uuid4().hex
        self.recycle = None  # this process's folder of freed result files, if any
        self._free_before = ()

    def __enter__(self):
        self._remove_stale()
        self.path = tempfile.mkdtemp(prefix="{}{}-".format(_PREFIX, os.getpid()), dir=self.root)
        with open(os.path.join(self.path, _TOKEN_FILE), "w", encoding="ascii") as fh:
            fh.write(self.token)
        if RECYCLE_BYTES > 0 and self.in_memory:
            self.recycle = _recycling_folder(self.root, self.cluster)
            self._free_before = _free_files(self.recycle)
        return self

    def __exit__(self, exc_type, *exc):
        if self.recycle is not None and exc_type is None:
            # every task has ended: no process reads the run's market fields any more
            for entry in os.scandir(self.path):
                if entry.name.endswith(_FIELD_SUFFIX):
                    give_back_file(entry.path, self.recycle)
        shutil.rmtree(self.path, ignore_errors=True)
        # free files no grid of this run took are of sizes runs no longer ask for
        for name in self._free_before:
            try:
                os.unlink(os.path.join(self.recycle, name))
            except OSError:
                pass  # taken

    @property
    def in_memory(self):
        """True when the folder is in memory: then the groups of a machine
        share their fields through it (see shared_fields.py)."""
        return _file_system(self.path or self.root) in _MEMORY_FILE_SYSTEMS

    @property
    def address(self):
        """What tasks carry: (folder, token, recycling folder or None)."""
        return self.path, self.token, self.recycle

    def _remove_stale(self):
        try:
            entries = os.listdir(self.root)
        except OSError:
            return
        for entry in entries:
            match = re.match(re.escape(_PREFIX) + r"(\d+)-", entry)
            if match and not _pid_alive(int(match.group(1))):
                shutil.rmtree(os.path.join(self.root, entry), ignore_errors=True)


class SpooledFrame:
    """A frame in a spool file: small, it travels in its place. The file is
    an ``.npy`` file, or with ``grid`` = (byte offset, column step) the raw
    float64 cells of a worker's result grid, the frame's column j starting
    ``j`` column steps of cells after the offset."""

    def __init__(self, path, index, columns, grid=None):
        self.path = path
        self.index = index
        self.columns = columns
        self.grid = grid

    def __reduce__(self):
        return type(self), (self.path, self.index, self.columns, self.grid)

    def load(self, unlink=False, recycle=None):
        """The frame, mapped from the file. ``unlink`` removes the file name
        at once (the mapping keeps the data until the frame is dropped); with
        a ``recycle`` folder, a grid's file moves there instead and becomes a
        free file once the frame is freed."""
        if self.grid is not None and unlink and recycle is not None:
            lent = os.path.join(recycle, "lent-" + uuid.uuid4().hex)
            try:
                os.rename(self.path, lent)
            except OSError:
                pass  # the folder went with its process: mapped as usual below
            else:
                from ..engine_v2 import eval_core

                offset, step = self.grid
                values = eval_core._map_lent_file(lent, offset, len(self.index),
                                                  len(self.columns), step, recycle, RECYCLE_BYTES)
                return pd.DataFrame(values, index=self.index, columns=self.columns, copy=False)
        if self.grid is None:
            values = np.asarray(np.load(self.path, mmap_mode="c", allow_pickle=False))
        else:
            values = self._grid_values()
        if unlink:
            os.unlink(self.path)
        return pd.DataFrame(values, index=self.index, columns=self.columns, copy=False)

    def _grid_values(self):
        offset, step = self.grid
        rows, cols = len(self.index), len(self.columns)
        cells = np.memmap(self.path, dtype=np.float64, mode="c")
        first, item = divmod(offset, cells.itemsize)
        if item or step < rows or first + (cols - 1) * step + rows > cells.size:
            raise ValueError("spool file {} holds {} cells, too few for a {} x {} frame at "
                             "offset {} with columns {} cells apart".format(
                                 self.path, cells.size, rows, cols, offset, step))
        return np.lib.stride_tricks.as_strided(
            cells[first:], shape=(rows, cols), strides=(cells.itemsize, step * cells.itemsize))


def _sees(address):
    if address is None:
        return False
    folder, token = address[:2]
    try:
        with open(os.path.join(folder, _TOKEN_FILE), encoding="ascii") as fh:
            return fh.read() == token
    except OSError:
        return False


def _file_system(folder):
    """The type of the file system holding ``folder`` (None: unknown)."""
    folder = os.path.realpath(folder)
    best, kind = "", None
    try:
        with open("/proc/self/mounts", encoding="utf-8") as fh:
            for line in fh:
                fields = line.split()
                if len(fields) < 3:
                    continue
                point = fields[1].replace("\\040", " ")
                inside = folder == point or folder.startswith(point.rstrip("/") + "/")
                if inside and len(point) >= len(best):
                    best, kind = point, fields[2]
    except OSError:
        return None
    return kind


@contextlib.contextmanager
def grids_in_spool(address):
    """While inside, result grids this thread computes go to unnamed files
    in the spool at ``address`` when this process sees it and it is in
    memory, so that :func:`spool_frames` only names them."""
    if not _sees(address) or _file_system(address[0]) not in _MEMORY_FILE_SYSTEMS:
        yield
        return
    recycle = address[2] if len(address) > 2 else None
    modules = _grid_modules()
    try:  # a folder one module could not open leaves none of them set
        for module in modules:
            module._grid_folder(address[0], GRID_FILE_MIN_BYTES, recycle)
        yield
    finally:
        for module in modules:
            module._grid_folder(None, 0)


def _grid_modules():
    """The native modules that make result grids: the engine's, and the
    cross-sections' (a factor ending in a rank has its grid made there)."""
    from .. import _cross_section
    from ..engine_v2 import eval_core

    return eval_core, _cross_section


def _linked(values, path):
    """(byte offset, column step) of ``values`` in its grid's file, now named
    ``path``; None when ``values`` is not (a part of) a grid in a file."""
    if values.dtype != np.float64 or values.ndim != 2 or values.strides[0] != values.itemsize:
        return None
    step, rest = divmod(values.strides[1], values.itemsize)
    if rest or step < values.shape[0]:
        return None
    for module in _grid_modules():
        offset = module._link_grid_file(values, path)
        if offset is not None:
            return offset, step
    return None


def _spoolable(value):
    if not isinstance(value, pd.DataFrame) or value.shape[1] == 0:
        return False
    dtypes = set(value.dtypes)
    return len(dtypes) == 1 and next(iter(dtypes)).kind in "fiub"


# Buffers per writev call (the system's IOV_MAX is at least 1024 on Linux).
_IOV = 512


def _write_columns(fh, values):
    """A 2-D array whose columns are each contiguous but spaced apart (the
    rows of a column-major grid from some date on) written column-major,
    straight from its memory: no copy of the whole array first."""
    header = {"descr": np.lib.format.dtype_to_descr(values.dtype), "fortran_order": True,
              "shape": values.shape}
    np.lib.format.write_array_header_1_0(fh, header)
    fh.flush()
    fd = fh.fileno()
    columns = [memoryview(values[:, j]).cast("B") for j in range(values.shape[1])]
    for k in range(0, len(columns), _IOV):
        chunk = columns[k:k + _IOV]
        written = os.writev(fd, chunk)
        rest = memoryview(b"".join(chunk))[written:] if written < sum(map(len, chunk)) else b""
        while rest:  # a short write: finish the chunk plainly
            rest = rest[os.write(fd, rest):]


def _write(folder, frame):
    values = frame.to_numpy()
    name = uuid.uuid4().hex
    tmp = os.path.join(folder, ".{}.tmp".format(name))
    final = os.path.join(folder, name + ".npy")
    grid = _linked(values, os.path.join(folder, name + ".grid"))
    if grid is not None:  # named whole at once: nothing half-written to clean up
        return SpooledFrame(os.path.join(folder, name + ".grid"), frame.index, frame.columns,
                            grid)
    try:
        with open(tmp, "wb") as fh:
            if values.flags.c_contiguous or values.flags.f_contiguous:
                np.save(fh, values, allow_pickle=False)
            elif values.ndim == 2 and values.strides[0] == values.itemsize:
                _write_columns(fh, values)
            else:
                np.save(fh, np.asfortranarray(values), allow_pickle=False)
        os.replace(tmp, final)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return SpooledFrame(final, frame.index, frame.columns)


def spool_frames(group, address):
    """``group`` (name -> frame or error) with every plain numeric frame
    written to the spool at ``address`` and replaced by its
    :class:`SpooledFrame`; unchanged when this process does not see the spool."""
    if not _sees(address):
        return group
    folder = address[0]
    return {name: _write(folder, value) if _spoolable(value) else value
            for name, value in group.items()}


def received(value, unlink=False, recycle=None):
    """A frame from what a task returned (a frame, a spooled frame or an error)."""
    return value.load(unlink, recycle) if isinstance(value, SpooledFrame) else value


_recycling = {}  # (root, cluster) -> this process's recycling folder there


def _recycling_folder(root, cluster=None):
    """This process's folder of freed result files under ``root`` for the
    runs on ``cluster``, made on first use and removed when the process exits
    (or, were it killed, by the next spool made beside it). Each cluster has
    its own: the runs of two clusters ask for grids of different sizes."""
    folder = _recycling.get((root, cluster))
    if folder is None or not os.path.isdir(folder):
        tag = hashlib.blake2b(repr(cluster).encode(), digest_size=4).hexdigest()
        folder = os.path.join(root, "{}{}-{}-{}".format(_PREFIX, os.getpid(), _RECYCLE_SUFFIX,
                                                        tag))
        os.makedirs(folder, mode=0o700, exist_ok=True)
        if not _recycling:
            atexit.register(_remove_recycling)
        _recycling[(root, cluster)] = folder
    return folder


def give_back_file(path, recycle):
    """Moves the file at ``path``, which no process maps any more, to the
    free files of ``recycle`` while they stay within RECYCLE_BYTES; else
    leaves it."""
    try:
        size = os.stat(path).st_size
        held = sum(int(name.split("-")[1]) for name in _free_files(recycle))
        if held + size <= RECYCLE_BYTES:
            os.rename(path, os.path.join(recycle, "free-{}-{}".format(size, uuid.uuid4().hex)))
    except (OSError, ValueError, IndexError):
        pass


def take_free_file(recycle, path, nbytes):
    """True when a free file of ``recycle`` of about ``nbytes`` (7/8 to 9/8
    of it) is now the file at ``path``, sized to ``nbytes``."""
    for name in _free_files(recycle):
        try:
            size = int(name.split("-")[1])
        except (ValueError, IndexError):
            continue
        if not nbytes - nbytes // 8 <= size <= nbytes + nbytes // 8:
            continue
        try:
            os.rename(os.path.join(recycle, name), path)
        except OSError:
            continue  # taken by another process
        try:
            if size != nbytes:
                os.truncate(path, nbytes)
            return True
        except OSError:
            os.unlink(path)
            return False
    return False


def _free_files(folder):
    try:
        return [name for name in os.listdir(folder) if name.startswith("free-")]
    except OSError:
        return []


def _remove_recycling():
    for folder in _recycling.values():
        shutil.rmtree(folder, ignore_errors=True)
    _recycling.clear()
