"""The bundle this process reads: chosen by `init`, opened lazily on first use."""
import os
import threading

from .bundle.format import open_bundle
from .bundle.paths import ensure_default_bundle

__all__ = ["init", "current", "bundle_path"]

# Environment variable naming a bundle to use when `init` was not called.
ENV_BUNDLE = "TESSAL_BUNDLE"

_lock = threading.RLock()
_chosen = None
_opened = None


def init(bundle_path=None):
    """Chooses the bundle for this process: a bundle directory, or None for the default.

    The default is $TESSAL_BUNDLE when set, else the embedded synthetic market
    in ~/.cache/tessal/default-v2 (generated on first use).  The bundle is
    opened, and checked, on the next data request.
    """
    global _chosen, _opened
    if bundle_path is not None and not isinstance(bundle_path, (str, os.PathLike)):
        raise TypeError("bundle_path must be a path or None, got {!r}".format(bundle_path))
    with _lock:
        _chosen = None if bundle_path is None else os.path.abspath(os.fspath(bundle_path))
        _opened = None


def bundle_path():
    """The path of the bundle in use (the default one is generated if missing)."""
    with _lock:
        if _chosen is not None:
            return _chosen
        env = os.environ.get(ENV_BUNDLE)
        if env:
            return os.path.abspath(env)
        return ensure_default_bundle()


def current():
    """The opened bundle; opens (and checks) it on first use."""
    global _opened
    bundle = _opened
    if bundle is not None:
        return bundle
    with _lock:
        if _opened is None:
            _opened = open_bundle(bundle_path())
        return _opened
