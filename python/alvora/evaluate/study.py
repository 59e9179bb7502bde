"""Many factors through one analysis pipeline, their inputs fetched once.

``study_factors`` runs the steps of a ``FactorStudyBench`` on every factor of a
library. What does not depend on the factor is resolved once for all of them:

- with ``returns="daily"``, one request for the daily change rates of the
  union of instruments over the union of dates; each factor then gets the
  rows and columns it would have fetched alone (change rates are per day, so
  a wider request holds the narrower one);
- style exposures: one request for the union of instruments and dates per
  selection of style factors, served to every neutralization (the step keeps
  only the pairs of its own frame);
- industry data: each distinct request is computed once and served again.

Each factor's result is the dict ``FactorStudyBench.analysis`` returns for that
factor alone. While a study runs, the analysis module's market-data client and
industry loader are wrapped by memoizing stand-ins (restored afterwards), so a
study must not run concurrently with other analyses in the same process.
"""
import importlib
import time

import pandas as pd

__all__ = ["study_factors", "default_steps"]


def _analysis_module():
    # Looked up at every call, like the module's own outside names, so a stand-in
    # module (tests, tools) is the one used.
    return importlib.import_module("alvora.analysis.study_bench")


def default_steps():
    """A fresh pipeline: winsorize (mad), normalize, rank IC, 5 quantile groups,
    factor return."""
    sb = _analysis_module()
    return [("winsorize", sb.Winzorization("mad")), ("normalize", sb.Normalization()),
            ("ic", sb.ICAnalysis(rank_ic=True)), ("quantile", sb.QuantileReturnAnalysis(5)),
            ("factor_return", sb.FactorReturnAnalysis())]


def _frozen(value):
    """A hashable stand-in for a request argument."""
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    if isinstance(value, pd.DatetimeIndex):
        return ("dates", value.tz is not None and str(value.tz), tuple(value.asi8.tolist()))
    try:
        return tuple(_frozen(v) for v in value)
    except TypeError:
        return ("id", id(value))


class _Union:
    """The instruments (first-appearance order) and the date span of all factors."""

    def __init__(self, frames):
        seen = {}
        for frame in frames:
            for name in frame.columns:
                seen.setdefault(name, None)
        self.ids = list(seen)
        self.id_set = set(seen)
        self.first = min(frame.index[0] for frame in frames)
        self.last = max(frame.index[-1] for frame in frames)

    def covers(self, order_book_ids, start_date, end_date):
        try:
            start, end = pd.Timestamp(start_date), pd.Timestamp(end_date)
            return (start >= self.first and end <= self.last
                    and all(i in self.id_set for i in order_book_ids))
        except (TypeError, ValueError):
            return False


class _SharedClient:
    """The module's client with style exposures served from one union request.

    While it is the module's client, the neutralization reuses the placed exposure tables it
    built for the previous factor when the tables and the axes are the same."""

    _alvora_study_scope = True

    def __init__(self, client, union):
        self._client = client
        self._union = union
        self._style = {}
        self.requests = 0

    def __getattr__(self, name):
        return getattr(self._client, name)

    def get_style_factor_exposure(self, order_book_ids=None, start_date=None, end_date=None,
                                  factors=None, **kwargs):
        if kwargs or not self._union.covers(order_book_ids, start_date, end_date):
            return self._client.get_style_factor_exposure(
                order_book_ids=order_book_ids, start_date=start_date, end_date=end_date,
                factors=factors, **kwargs)
        key = _frozen(factors)
        if key not in self._style:
            self.requests += 1
            self._style[key] = self._client.get_style_factor_exposure(
                order_book_ids=list(self._union.ids), start_date=self._union.first,
                end_date=self._union.last, factors=factors)
        return self._style[key]


class _SharedIndustry:
    """The module's industry loader, each distinct request computed once."""

    def __init__(self, load):
        self._load = load
        self._memo = {}

    def __call__(self, order_book_ids, dates, source="citics_2019"):
        try:
            key = (_frozen(list(order_book_ids)), _frozen(pd.DatetimeIndex(dates)), source)
        except (TypeError, ValueError):
            return self._load(order_book_ids, dates, source=source)
        if key not in self._memo:
            self._memo[key] = self._load(order_book_ids, dates, source=source)
        return self._memo[key]


class _SharedReturns:
    """Daily change rates of the union, cut per factor to what it would fetch alone.

    Factors over the same dates and instruments get the same cut table: the steps only
    read it, and the lookups pandas caches on its axes are then made once."""

    def __init__(self, client, union, horizon):
        self._client = client
        self._horizon = horizon
        self._ends = {}
        self._last = None  # (first date, end date, columns, table) of the previous cut
        self.table = client.get_price_change_rate(
            order_book_ids=pd.Index(union.ids), start_date=union.first,
            end_date=self._end(union.last), expect_df=True, market="cn")

    def _end(self, last):
        if last not in self._ends:
            self._ends[last] = self._client.get_next_trading_date(last, self._horizon)
        return self._ends[last]

    def of(self, frame):
        first, end = frame.index[0], self._end(frame.index[-1])
        last = self._last
        if (last is not None and last[0] == first and last[1] == end
                and last[2].equals(frame.columns)):
            return last[3]
        rows = self.table.loc[first:end]
        cut = rows.reindex(columns=frame.columns)
        self._last = (first, end, frame.columns, cut)
        return cut


def _longest(periods):
    """The longest horizon, or None when the pipeline should judge `periods` itself."""
    values = list(periods) if isinstance(periods, (tuple, list)) else [periods]
    if not values or not all(isinstance(p, int) for p in values):
        return None
    return max(values)


def _shareable(frames):
    """Frames whose dates can be joined into one request."""
    for frame in frames:
        if not isinstance(frame, pd.DataFrame):
            return False
        index = frame.index
        if (not isinstance(index, pd.DatetimeIndex) or len(index) == 0
                or not index.is_monotonic_increasing or index.tz is not None):
            return False
    return True


def _check_factors(factors):
    if not isinstance(factors, dict):
        raise TypeError("factors: expect a dict of name -> factor frame, got {}".format(
            type(factors).__name__))
    if not factors:
        raise ValueError("factors: expect at least one factor, got an empty dict")


def _build_bench(sb, steps):
    bench = sb.FactorStudyBench()
    for step in steps:
        bench.append(step)
    return bench


def study_factors(factors, returns="daily", steps=None, periods=1, ascending=False,
                  keep_preprocess_result=False, progress=None):
    """Run one analysis pipeline over a library of factors.

    :param factors: dict name -> factor frame (dates x instruments)
    :param returns: a return table, or "daily" (change rates from the client)
    :param steps: list of (step name, step) tuples as appended to a
        ``FactorStudyBench``; None gives ``default_steps()``. The same step
        objects serve every factor.
    :param periods: holding horizons, an int or a tuple/list of ints
    :param ascending: ranking direction handed to every analysis step
    :param keep_preprocess_result: also keep the frame after each preprocessing step
    :param progress: None, or a callable receiving (done, total, name, seconds)
        after each factor
    :return: dict name -> the dict ``FactorStudyBench.analysis`` returns for
        that factor alone (in the order of ``factors``)

    Example::

        results = study_factors({"reversal": f1, "momentum": f2}, periods=(1, 5))
        leaderboard(results)
    """
    _check_factors(factors)
    sb = _analysis_module()
    bench = _build_bench(sb, default_steps() if steps is None else steps)
    frames = list(factors.values())
    client = getattr(sb, "tessal", None)
    loader = getattr(sb, "_load_industry_data", None)
    shared = _shareable(frames)
    union = _Union(frames) if shared else None
    daily = isinstance(returns, str) and returns == "daily"
    shared_returns = None
    if shared and daily and client is not None and _longest(periods) is not None:
        shared_returns = _SharedReturns(client, union, _longest(periods))

    results = {}
    try:
        if shared and client is not None:
            sb.tessal = _SharedClient(client, union)
        if loader is not None:
            sb._load_industry_data = _SharedIndustry(loader)
        for done, (name, frame) in enumerate(factors.items(), start=1):
            began = time.perf_counter()
            table = shared_returns.of(frame) if shared_returns is not None else returns
            try:
                results[name] = bench.analysis(frame, table, ascending=ascending,
                                               periods=periods,
                                               keep_preprocess_result=keep_preprocess_result)
            except Exception as exc:
                if hasattr(exc, "add_note"):
                    exc.add_note("while studying factor {!r}".format(name))
                raise
            if progress is not None:
                progress(done, len(factors), name, time.perf_counter() - began)
    finally:
        if client is not None:
            sb.tessal = client
        if loader is not None:
            sb._load_industry_data = loader
    return results
