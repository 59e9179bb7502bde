"""What a distributed run reports when something goes wrong.

Exceptions cross process boundaries (worker -> scheduler -> client), so each
one pickles with all of its fields.
"""

__all__ = ["BundleUnavailableError", "BundleMismatchError", "FactorError", "FactorFailures"]


class BundleUnavailableError(RuntimeError):
    """A worker cannot open the market-data bundle (missing or damaged)."""

    def __init__(self, message, worker=None, path=None):
        super().__init__(message)
        self.worker = worker
        self.path = path

    def __reduce__(self):
        return type(self), (str(self), self.worker, self.path)


class BundleMismatchError(BundleUnavailableError):
    """Workers see different bundles (version or checksums differ)."""


class FactorError:
    """The failure of one factor: kept as a value so the other factors go on."""

    def __init__(self, name, kind, message, traceback_text="", worker=None):
        self.name = name
        self.kind = kind
        self.message = message
        self.traceback_text = traceback_text
        self.worker = worker

    @classmethod
    def from_exception(cls, name, exc, traceback_text="", worker=None):
        return cls(name, type(exc).__name__, str(exc), traceback_text, worker)

    def __str__(self):
        where = " on {}".format(self.worker) if self.worker else ""
        return "{}: {}: {}{}".format(self.name, self.kind, self.message, where)

    def __repr__(self):
        return "FactorError({})".format(self)

    def __eq__(self, other):
        return isinstance(other, FactorError) and (
            (self.name, self.kind, self.message) == (other.name, other.kind, other.message))

    __hash__ = None


class FactorFailures(RuntimeError):
    """Some factors failed; the others completed.

    ``results`` holds what completed (name -> result, in the caller's order),
    ``errors`` the failures (name -> :class:`FactorError`).
    """

    def __init__(self, results, errors):
        lines = "\n".join("  " + str(err) for err in errors.values())
        super().__init__("{} of {} factors failed:\n{}".format(
            len(errors), len(errors) + len(results), lines))
        self.results = results
        self.errors = errors

    def __reduce__(self):
        return type(self), (self.results, self.errors)
