"""The public entries: evaluate, or evaluate and analyse, a factor library on
a cluster."""
import hashlib

import pandas as pd

from .bundle_check import chosen_bundle
from .cluster import cluster_session
from .errors import FactorError, FactorFailures
from .results import ResultsFolder, write_frame
from .run import named_factors, run_library
from .study_report import write_study

__all__ = ["execute_factors", "study_factors"]

_ERRORS = ("raise", "return")


def execute_factors(factors, order_book_ids, start_date, end_date, universe=None, client=None,
                    *, workers=None, bundle=None, out=None, resume=False, progress=None,
                    errors="raise", group_size=None):
    """Evaluates many factors across a Dask cluster.

    Arguments and results are those of a single-process evaluation: one
    factor frame per factor (a dict for a dict of name -> factor, a list for a
    list), each equal to ``execute_factor`` of that factor alone.

    - ``client``: a ``distributed.Client``, a scheduler address
      (``"tcp://host:8786"``) or None to start a local cluster of ``workers``
      processes (default: one per core).
    - ``bundle``: the market-data bundle every worker opens (default: the one
      chosen here with ``tessal.init``, else each worker's default). Every
      worker must see the same bundle; see :mod:`.bundle_check`.
    - ``out``: write each factor's frame (Parquet, or CSV without a Parquet
      engine) into ``out/<name>/`` instead of returning it; returns name ->
      folder. ``resume`` skips factors whose folder is already complete.
    - ``progress``: called as ``progress(done, total, name, outcome)`` after
      each factor, ``outcome`` being "done", "skipped" (complete already) or
      the :class:`FactorError`.
    - ``errors``: "raise" raises :class:`FactorFailures` (holding what
      completed) after all others finished when some factor failed;
      "return" puts a :class:`FactorError` in its place.
    """
    run = _Run(factors, order_book_ids, start_date, end_date, universe, bundle, out, resume,
               progress, errors, details="")
    with cluster_session(client, workers) as session:
        run_library(session, run.todo, run.ids, start_date, end_date, universe, run.bundle,
                    run.finish_frame, group_size=group_size)
    return run.outcome()


def study_factors(factors, order_book_ids, start_date, end_date, steps, universe=None,
                  returns="daily", periods=1, ascending=False, keep_preprocess_result=False,
                  client=None, *, workers=None, bundle=None, out=None, resume=False,
                  progress=None, errors="raise", group_size=None, tear_sheet=True):
    """Evaluates each factor and runs the analysis pipeline over it, across a
    Dask cluster; every factor's whole study runs on the workers.

    ``steps`` are the pipeline's (name, step) pairs, appended in order to a
    ``FactorStudyBench`` per factor; ``returns``, ``periods``, ``ascending``
    and ``keep_preprocess_result`` go to its ``analysis``. Returns name -> the
    dict ``analysis`` returns (a list for a list of factors). With ``out``,
    each factor's tables and summary (and the tear sheet where the report
    module offers one, unless ``tear_sheet`` is false) go into
    ``out/<name>/`` and name -> folder is returned. The other arguments are those of :func:`execute_factors`.
    """
    steps = list(steps)
    for step in steps:
        if not (isinstance(step, tuple) and len(step) == 2):
            raise TypeError("steps must be (name, step) pairs, got {!r}".format(step))
    details = "steps: {}\nreturns: {}\nperiods: {}\nascending: {}\n".format(
        ", ".join("{}={}".format(n, type(s).__name__) for n, s in steps),
        returns if isinstance(returns, str) else "table", periods, ascending)
    run = _Run(factors, order_book_ids, start_date, end_date, universe, bundle, out, resume,
               progress, errors, details=details)
    run.tear_sheet = tear_sheet
    with cluster_session(client, workers) as session:
        table = returns
        if isinstance(returns, pd.DataFrame):  # sent to every worker once, not per task
            table = session.scatter(returns, broadcast=True)
        study = {"steps": steps, "returns": table, "periods": periods, "ascending": ascending,
                 "keep_preprocess_result": keep_preprocess_result}
        run_library(session, run.todo, run.ids, start_date, end_date, universe, run.bundle,
                    run.finish_study, study=study, group_size=group_size)
    return run.outcome()


class _Run:
    """Bookkeeping of one run: what to do, what completed, progress, files."""

    def __init__(self, factors, order_book_ids, start_date, end_date, universe, bundle, out,
                 resume, progress, errors, details):
        if errors not in _ERRORS:
            raise ValueError("errors must be one of {}, got {!r}".format(_ERRORS, errors))
        if isinstance(order_book_ids, str):
            raise TypeError("order_book_ids must be a list of ids, not a single string")
        self.named, self.as_list = named_factors(factors)
        self.ids = list(order_book_ids)
        self.bundle = chosen_bundle() if bundle is None else bundle
        self.progress = progress
        self.errors_mode = errors
        self.results = {}
        self.errors = {}
        self.done = 0
        self.folder = ResultsFolder(out, self.named) if out is not None else None
        self.descriptions = {name: _describe(node, self.ids, start_date, end_date, universe,
                                             details)
                             for name, node in self.named.items()}
        self.todo = dict(self.named)
        self.tear_sheet = False
        if self.folder is not None and resume:
            for name in list(self.todo):
                if self.folder.is_complete(name, self.descriptions[name]):
                    del self.todo[name]
                    self._record(name, self.folder.path(name), None, "skipped")

    def _record(self, name, value, error, status="done"):
        if error is None:
            self.results[name] = value
        else:
            self.errors[name] = error
        self.done += 1
        if self.progress is not None:
            self.progress(self.done, len(self.named), name, status if error is None else error)

    def _finish(self, name, outcome, fill):
        if isinstance(outcome, FactorError):
            if self.folder is not None:
                self.folder.write_error(name, outcome)
            self._record(name, None, outcome)
        elif self.folder is not None:
            path = self.folder.write(name, self.descriptions[name],
                                     lambda tmp: fill(tmp, name, outcome))
            self._record(name, path, None)
        else:
            self._record(name, outcome, None)

    def finish_frame(self, name, outcome):
        self._finish(name, outcome, lambda tmp, _name, frame: write_frame(frame, tmp, "factor"))

    def finish_study(self, name, outcome):
        self._finish(name, outcome, lambda tmp, n, results: write_study(
            tmp, n, self.named[n], results, self.tear_sheet))

    def outcome(self):
        order = [n for n in self.named if n in self.results]
        results = {n: self.results[n] for n in order}
        if self.errors and self.errors_mode == "raise":
            raise FactorFailures(results, {n: self.errors[n] for n in self.named
                                           if n in self.errors})
        merged = {n: self.results.get(n, self.errors.get(n)) for n in self.named}
        return list(merged.values()) if self.as_list else merged


def _describe(node, ids, start_date, end_date, universe, details):
    """What a result folder holds, compared on resume."""
    digest = hashlib.sha256("\n".join(map(str, ids)).encode("utf-8")).hexdigest()[:16]
    where = universe if isinstance(universe, (str, type(None))) else type(universe).__name__
    return ("factor: {!r}\nstart: {}\nend: {}\ninstruments: {} ({})\nuniverse: {}\n{}".format(
        node, pd.Timestamp(start_date).date(), pd.Timestamp(end_date).date(), len(ids), digest,
        where, details))
