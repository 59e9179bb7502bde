"""Rows of a stored array copied once into a column-major panel.

Arrays are stored date-major (one row of all instruments per date); readers
that work instrument by instrument want one contiguous column per instrument.
The rows are read a small block at a time into a buffer that stays in cache
(plain file reads: a one-off read has no page mapping to set up), and each
block is transposed into the panel: every value is read once and written once,
with no full-size intermediate.
"""
import os

import numpy as np

from .format import file_identity

__all__ = ["read_rows_into"]

# Bytes of stored rows per block: a few rows of a large market, cache-sized.
BLOCK_BYTES = 1 << 21


def read_rows_into(array, r0, r1, cols, out, source=None):
    """``out[i, k] = array[r0 + i, cols[k]]`` for the rows ``r0 <= r < r1``.

    ``array`` is a (dates x instruments) float64 array, usually a memory map
    of a bundle file; ``cols`` the int64 column positions, -1 for a column of
    NaN; ``out`` a writable float64 array of ``r1 - r0`` rows and ``len(cols)``
    columns, of any layout (column-major is what the blocks are sized for).
    ``source``, the (path, data offset, identity) of the file behind
    ``array`` (``Bundle.array_file``), lets the rows be read from the file
    itself while it is still the one the array maps.
    """
    cols = np.asarray(cols, dtype=np.int64)
    if out.shape != (r1 - r0, cols.size):
        raise ValueError("the panel has shape {}, expected {}".format(out.shape,
                                                                   (r1 - r0, cols.size)))
    if cols.size and cols.max() >= array.shape[1]:
        raise ValueError("column position {} is outside the array's {} columns".format(
            int(cols.max()), array.shape[1]))
    unknown = cols < 0
    if r1 <= r0 or unknown.all():
        out[...] = np.nan
        return out
    whole = cols.size == array.shape[1] and np.array_equal(cols, np.arange(cols.size))
    take = np.where(unknown, 0, cols)
    step = max(1, BLOCK_BYTES // max(1, array.shape[1] * 8))
    rows = _row_blocks(array, r0, r1, step, source)
    picked = None if whole else np.empty((step, cols.size))
    for r, block in rows:
        if whole:
            out[r - r0:r - r0 + len(block)] = block
        else:
            n = len(block)
            np.take(block, take, axis=1, out=picked[:n])
            out[r - r0:r - r0 + n] = picked[:n]
    if unknown.any():
        out[:, unknown] = np.nan
    return out


def _row_blocks(array, r0, r1, step, source):
    """(first row, rows r .. r + step of ``array``) over [r0, r1), read from
    ``source`` when it is still the file the array maps, else from the array."""
    fh = _open_same(source, array) if source is not None else None
    if fh is None:
        for r in range(r0, r1, step):
            yield r, np.asarray(array[r:min(r + step, r1)])
        return
    path, offset, _ = source
    row_bytes = array.shape[1] * 8
    buffer = np.empty((step, array.shape[1]), dtype="<f8")
    with fh:
        for r in range(r0, r1, step):
            n = min(step, r1 - r)
            view = memoryview(buffer[:n]).cast("B")
            _read_exactly(fh, view, offset + r * row_bytes, path)
            yield r, buffer[:n]


def _open_same(source, array):
    """The file of ``source`` opened for reading, or None when it cannot be or
    is no longer the file that was opened (a bundle replaced in the meantime)."""
    path, offset, identity = source
    if array.dtype != np.dtype("<f8") or array.ndim != 2 or not array.flags.c_contiguous:
        return None
    try:
        fh = open(path, "rb", buffering=0)
    except OSError:
        return None
    if file_identity(os.fstat(fh.fileno())) != identity or \
            offset + array.size * 8 > identity[2]:
        fh.close()
        return None
    return fh


def _read_exactly(fh, view, position, path):
    fh.seek(position)
    done = 0
    while done < len(view):
        got = fh.readinto(view[done:])
        if not got:
            raise OSError("{} ended before its rows were read (truncated?)".format(path))
        done += got
