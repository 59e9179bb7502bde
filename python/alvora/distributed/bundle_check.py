"""The market-data bundle on the workers: opened by each worker itself, and
checked to be the same everywhere.

The bundle path travels with every task. ``None`` means "each worker's own
default" (``$TESSAL_BUNDLE`` or the embedded market). Two bundles count as the
same when their description agrees in everything but the creation time:
format version, calendar, instruments, and every file's shape, size and
SHA-256 checksum. Opening checks the version and each file's presence, size
and shape; reading every byte against its checksum is ``tessal verify``'s job
(run it once per machine after copying a bundle).
"""
import hashlib
import json
import os
import threading

import tessal
from tessal import _state
from tessal.bundle import open_bundle

from .errors import BundleMismatchError, BundleUnavailableError

__all__ = ["BundleIdentity", "chosen_bundle", "identify", "use_bundle", "check_workers"]

# meta.json entries that differ between identical copies
_VOLATILE = ("created",)


class BundleIdentity:
    """Where a process found its bundle and what the bundle is."""

    def __init__(self, path, version, fingerprint, checksummed):
        self.path = path
        self.version = version
        self.fingerprint = fingerprint
        self.checksummed = checksummed

    def same_data(self, other):
        return self.version == other.version and self.fingerprint == other.fingerprint

    def describe(self):
        return "version {}, fingerprint {}{} at {}".format(
            self.version, self.fingerprint[:12],
            "" if self.checksummed else " (no file checksums recorded)", self.path)

    def __reduce__(self):
        return type(self), (self.path, self.version, self.fingerprint, self.checksummed)


def chosen_bundle():
    """The bundle path this process chose with ``tessal.init``, else None."""
    return _state._chosen


def _resolve(path):
    if path is not None:
        return os.path.abspath(os.fspath(path))
    return _state.bundle_path()


def identify(path, worker=None):
    """Opens the bundle at ``path`` (None: this process's default) and
    returns its identity; a missing or damaged bundle raises
    :class:`BundleUnavailableError` naming ``worker`` and the path."""
    where = " on worker {}".format(worker) if worker else ""
    try:
        full = _resolve(path)
    except Exception as exc:
        raise BundleUnavailableError("no market-data bundle{}: {}".format(where, exc),
                                     worker, path) from None
    if not os.path.isdir(full):
        raise BundleUnavailableError(
            "market-data bundle missing{}: no folder {}".format(where, full), worker, full)
    try:
        bundle = open_bundle(full)
    except Exception as exc:
        raise BundleUnavailableError(
            "cannot open the market-data bundle{} at {}: {}".format(where, full, exc),
            worker, full) from None
    meta = {k: v for k, v in bundle.meta.items() if k not in _VOLATILE}
    text = json.dumps(meta, sort_keys=True, separators=(",", ":"), default=str)
    checksummed = all("sha256" in e for e in bundle.meta["arrays"].values())
    return BundleIdentity(full, meta.get("version"),
                          hashlib.sha256(text.encode("utf-8")).hexdigest(), checksummed)


_lock = threading.Lock()
_ready = {}  # requested path -> identity this process has switched to


def use_bundle(path, expected, worker=None):
    """Points this process's ``tessal`` at the bundle a task asks for, once
    per process, after checking it is the bundle the run expects."""
    with _lock:
        have = _ready.get(path)
        if have is not None and have.same_data(expected):
            return have
        found = identify(path, worker)
        if not found.same_data(expected):
            raise BundleMismatchError(
                "worker {} sees a different market-data bundle than the run expects: "
                "{}; expected {}".format(worker, found.describe(), expected.describe()),
                worker, found.path)
        tessal.init(found.path)
        _ready[path] = found
        return found


def _identify_on_worker(path, dask_worker=None):
    return identify(path, dask_worker.address if dask_worker is not None else None)


def check_workers(client, path):
    """Asks every worker of ``client`` to open the bundle; returns the common
    identity, or raises naming each worker that lacks it or sees another."""
    answers = client.run(_identify_on_worker, path, on_error="return")
    if not answers:
        raise BundleUnavailableError("the cluster has no workers", None, path)
    failed = {w: a for w, a in answers.items() if isinstance(a, BaseException)}
    if failed:
        first = next(iter(failed.values()))
        if len(failed) == 1 and isinstance(first, BundleUnavailableError):
            raise first
        raise BundleUnavailableError(
            "{} of {} workers cannot open the market-data bundle:\n{}".format(
                len(failed), len(answers),
                "\n".join("  {}: {}".format(w, a) for w, a in sorted(failed.items()))),
            ", ".join(sorted(failed)), path)
    groups = {}
    for worker, identity in sorted(answers.items()):
        groups.setdefault((identity.version, identity.fingerprint), []).append(
            (worker, identity))
    if len(groups) > 1:
        raise BundleMismatchError(
            "workers see different market-data bundles (mixing them would mix data):\n" +
            "\n".join("  {}: {}".format(", ".join(w for w, _ in members),
                                         members[0][1].describe())
                      for members in groups.values()),
            ", ".join(sorted(answers)), path)
    return next(iter(answers.values()))
