"""Where bundles live and how the default and the large benchmark bundle are made."""
import contextlib
import os

from .format import open_bundle
from .synthetic import generate_market

__all__ = ["cache_dir", "default_bundle_path", "large_bundle_path", "ensure_bundle",
           "ensure_default_bundle", "build_large_bundle"]

DEFAULT_NAME = "default-v2"
LARGE_NAME = "large-v2"
# The large bundle: 5000 stocks over ten years (about 2500 trading dates).
LARGE_SETTINGS = {"n_instruments": 5000, "start": "2014-01-02", "end": "2023-12-29", "seed": 11}


def cache_dir():
    """The folder holding generated bundles (~/.cache/tessal)."""
    return os.path.join(os.path.expanduser("~"), ".cache", "tessal")


def default_bundle_path():
    """Location of the embedded default bundle (generated on first use)."""
    return os.path.join(cache_dir(), DEFAULT_NAME)


def large_bundle_path():
    """Location of the large benchmark bundle (generated only by `build_large_bundle`)."""
    return os.path.join(cache_dir(), LARGE_NAME)


@contextlib.contextmanager
def _exclusive(lock_path):
    """Holds an advisory lock so concurrent first uses generate the bundle once."""
    try:
        import fcntl
    except ImportError:  # no advisory locks: the atomic rename still keeps the bundle sound
        yield
        return
    os.makedirs(os.path.dirname(lock_path), exist_ok=True)
    with open(lock_path, "a") as fh:
        fcntl.flock(fh, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(fh, fcntl.LOCK_UN)


def ensure_bundle(path, **settings):
    """Generates the synthetic bundle at `path` unless one is there; returns the path.

    An existing but damaged bundle is reported (`BundleError`), not replaced.
    """
    path = os.path.abspath(path)
    if os.path.exists(path):
        return path
    with _exclusive(path + ".lock"):
        if not os.path.exists(path):
            generate_market(path, **settings)
    open_bundle(path)
    return path


def ensure_default_bundle():
    return ensure_bundle(default_bundle_path())


def build_large_bundle(path=None, overwrite=False):
    """Generates the large benchmark bundle unless present (a minute or two, about 2 GB)."""
    path = os.path.abspath(path or large_bundle_path())
    if overwrite:
        return generate_market(path, overwrite=True, checksums=False, **LARGE_SETTINGS)
    return ensure_bundle(path, checksums=False, **LARGE_SETTINGS)
