"""Which cluster a run uses: the caller's client, a scheduler address, or a
local cluster started for the run and closed after it."""
import contextlib
import logging
import os

__all__ = ["require_dask", "machine_cores", "cluster_session", "worker_memory", "worker_threads"]

# How long to wait for the first worker of a cluster given by address.
WORKER_WAIT_SECONDS = 60
# Environment of the worker processes of the local clusters started here:
# Dask's default also sets MALLOC_TRIM_THRESHOLD_, which turns off glibc's
# adaptive mmap threshold, so every mid-sized array is mapped and faulted in
# afresh; that makes this engine's array work about three times slower.
# One malloc arena: tasks run on a thread of their own, and a second thread's
# arena gives freed memory back to the system eagerly (about four times the
# page faults of the same work on the main thread). Every block from the heap
# (no separate mappings) and no trimming: a freed 100 MB grid or temporary is
# reused by the next one without page faults; on the large market this cuts
# the faults of the alpha library's run from 2.7 to 0.4-1.3 million and its
# system time from 19.5 s to 5.5-8.5 s (a third of that the frames' spool,
# since cut by computing result grids into the spool's files: see transfer.py),
# the part of the run that varied most with the machine's state. What a worker
# keeps is bounded after each task (see worker_memory.py). One BLAS thread
# each: the workers already take every core between them.
WORKER_ENVIRON = {"OMP_NUM_THREADS": 1, "MKL_NUM_THREADS": 1, "OPENBLAS_NUM_THREADS": 1,
                  "MALLOC_ARENA_MAX": 1, "MALLOC_MMAP_MAX_": 0,
                  "MALLOC_TRIM_THRESHOLD_": 1 << 62}

# Dask's statistical profiler samples every task thread's stack 100 times a
# second while holding the interpreter lock: time taken from the tasks. A
# worker is sent its next task only when a thread frees up (Dask's default
# sends one more), so the last slices go to whichever worker is free first.
# The periodic housekeeping of scheduler, nannies and workers (event-loop
# health check every 20 ms, work stealing every 100 ms, memory checks every
# 100 ms, system monitor twice a second) takes about 6 % of a core in this
# process and 2.5 % in each worker (measured on an idle cluster), on the cores
# the workers compute on; at these intervals under 1 %. Tasks here last
# seconds.
CLUSTER_CONFIG = {"distributed.worker.profile.enabled": False,
                  "distributed.scheduler.worker-saturation": 1.0,
                  "distributed.admin.tick.interval": "1s",
                  "distributed.scheduler.work-stealing-interval": "1s",
                  "distributed.worker.memory.monitor-interval": "1s",
                  "distributed.admin.system-monitor.interval": "5s"}


@contextlib.contextmanager
def _environ(values):
    """This process's environment with ``values`` while the workers are
    spawned, as before afterwards. Nannies take a variable this process has
    over their configuration, and leave theirs behind here: without this, a
    cluster started earlier in the process (Dask's own settings) decides the
    workers' memory settings."""
    saved = {key: os.environ.get(key) for key in values}
    os.environ.update({key: str(value) for key, value in values.items()})
    try:
        yield
    finally:
        for key, value in saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value


def require_dask():
    """The ``distributed`` package, or an ImportError saying how to get it."""
    try:
        import distributed
    except ImportError as exc:
        raise ImportError("running on a cluster needs Dask's distributed scheduler: "
                          "pip install 'alvora[distributed]' ({})".format(exc)) from None
    return distributed


def machine_cores():
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return max(1, os.cpu_count() or 1)


def worker_threads(client):
    """Tasks the cluster runs at once (threads over all workers)."""
    workers = client.scheduler_info().get("workers", {})
    return max(1, sum(int(w.get("nthreads", 1)) for w in workers.values()))


def worker_memory(client):
    """The least memory limit in bytes among the cluster's workers; 0 when
    one has none or none is known."""
    workers = client.scheduler_info().get("workers", {})
    limits = [int(w.get("memory_limit") or 0) for w in workers.values()]
    return min(limits) if limits and all(limits) else 0


@contextlib.contextmanager
def cluster_session(client=None, workers=None):
    """Yields a connected ``distributed.Client``.

    ``client``: a ``Client`` (used as is, left open), a scheduler address
    such as ``"tcp://host:8786"`` (connected for the run), or None: a local
    cluster of ``workers`` single-threaded worker processes (default: one per
    core of this machine), closed after the run.
    """
    distributed = require_dask()
    if isinstance(client, distributed.Client):
        yield client
        return
    if client is not None and not isinstance(client, str):
        raise TypeError("client must be a distributed.Client, a scheduler address or None, "
                        "got {}".format(type(client).__name__))
    if isinstance(client, str):
        if workers is not None:
            raise ValueError("give a scheduler address or a number of local workers, not both")
        with distributed.Client(client) as connected:
            try:
                connected.wait_for_workers(1, timeout=WORKER_WAIT_SECONDS)
            except Exception:
                raise RuntimeError("the scheduler at {} has had no worker for {} s".format(
                    client, WORKER_WAIT_SECONDS)) from None
            yield connected
        return
    n = machine_cores() if workers is None else int(workers)
    if n < 1:
        raise ValueError("workers must be at least 1, got {}".format(workers))
    import dask

    with dask.config.set(dict(CLUSTER_CONFIG, **{
            "distributed.nanny.pre-spawn-environ": dict(WORKER_ENVIRON)})), \
            _environ(WORKER_ENVIRON):
        cluster = distributed.LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                           dashboard_address=None, silence_logs=logging.ERROR)
    with cluster, distributed.Client(cluster) as local:
        yield local
