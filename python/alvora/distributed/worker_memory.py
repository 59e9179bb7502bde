"""Memory a worker keeps between tasks.

The local clusters started here run their workers with the C allocator told
to serve every block from its heap and never to give freed memory back on its
own (see ``WORKER_ENVIRON`` in cluster.py): a task's temporaries (and result
grids kept in the heap), freed once the task returns, are written again by the
next task without a page fault. Result grids handed to the client through the
spool's files (see transfer.py) leave the worker with their files. A grid of the large market is 100 MB: 25,000 page
faults, whose system time swings with how fragmented the machine's free
memory is.

What a worker keeps is bounded here: after a task, when the process holds
more than ``KEEP_SHARE`` of the worker's memory limit, the free heap is handed
back to the system, so a worker never sits near the limit Dask pauses it at
holding memory it does not use.
"""
import ctypes
import ctypes.util

__all__ = ["KEEP_SHARE", "release_unused_memory", "worker_memory_limit"]

# Share of the worker's memory limit it may hold after a task (Dask starts
# moving data to disk at 0.6 of it and pauses the worker at 0.8).
KEEP_SHARE = 0.5


def _libc_trim():
    """glibc's ``malloc_trim``, or None on another C library."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        trim = libc.malloc_trim
    except (OSError, AttributeError):
        return None
    trim.argtypes = [ctypes.c_size_t]
    trim.restype = ctypes.c_int
    return trim


_TRIM = _libc_trim()


def release_unused_memory(memory_limit, rss=None, trim=None):
    """Hands the free heap back to the system when the process holds more
    than ``KEEP_SHARE`` of ``memory_limit`` bytes (no limit: never).
    Returns True when it did."""
    trim = _TRIM if trim is None else trim
    if not memory_limit or trim is None:
        return False
    if rss is None:
        import psutil
        rss = psutil.Process().memory_info().rss
    if rss <= KEEP_SHARE * memory_limit:
        return False
    trim(0)
    return True


def worker_memory_limit():
    """The memory limit in bytes of the Dask worker running this, or None."""
    try:
        from distributed import get_worker
        worker = get_worker()
    except (ImportError, ValueError):
        return None
    manager = getattr(worker, "memory_manager", None)
    return getattr(manager, "memory_limit", None) or getattr(worker, "memory_limit", None)
