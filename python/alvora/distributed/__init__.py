"""Factor libraries and their studies across a Dask cluster.

``execute_factors`` and ``study_factors`` take the arguments of their
single-process counterparts plus a ``client`` (a ``distributed.Client``, a
scheduler address, or None for a local cluster sized to this machine) and
return the same objects, or write one folder per factor (``out``). Work is
cut by factor and, for trees that compute each instrument on its own, by
slices of the instrument list. Each worker opens the market-data bundle
itself; a run first checks that every worker sees the same bundle.
"""
from .bundle_check import BundleIdentity, check_workers, identify
from .cluster import cluster_session
from .entries import execute_factors, study_factors
from .errors import BundleMismatchError, BundleUnavailableError, FactorError, FactorFailures

__all__ = [
    "execute_factors", "study_factors", "cluster_session", "check_workers", "identify",
    "BundleIdentity", "BundleUnavailableError", "BundleMismatchError", "FactorError",
    "FactorFailures",
]
