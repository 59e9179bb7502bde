"""execute_factor and ensure_end_date of alvora.engine_v2.eval_core with a fake
market-data client and execution context."""
import inspect
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import alvora.engine_v2.eval_core as ec
from _engine_helpers import (
    CrossSectional, FakeTessal, Fixed, Leaf, Node, Stored, install, make_context, rank_pct,
)

IDS = ["A", "B", "C"]


class ContextFactory:
    """Execution-context class recording its construction; the grid holds
    ``ndays`` business days from the start date it is given."""

    def __init__(self, ndays=15, gaps=None, ids=IDS + ["F"]):
        self.ndays, self.gaps, self.ids = ndays, gaps, ids
        self.built = []

    def __call__(self, leaves, order_book_ids, start_date, end_date, universe=None):
        ctx = make_context(self.ids, ndays=self.ndays, gaps=self.gaps, start=start_date)
        self.built.append(dict(leaves=leaves, ids=order_book_ids, start=start_date,
                               end=end_date, universe=universe, ctx=ctx))
        return ctx


def test_public_signatures_and_pickling():
    params = inspect.signature(ec.execute_factor).parameters
    assert list(params) == ["factor", "order_book_ids", "start_date", "end_date", "universe",
                            "exec_context_class"]
    assert params["universe"].default is None and params["exec_context_class"].default is None
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())
    assert list(inspect.signature(ec.ensure_end_date).parameters) == ["end_date"]
    for name in ("_exec_factor", "_exec_cross_sectional", "_exec_fixed"):
        assert list(inspect.signature(getattr(ec, name)).parameters) == [
            "factor", "order_book_ids", "exec_context"]
    assert list(inspect.signature(ec._exec_expr).parameters) == [
        "expr", "order_book_id", "exec_context"]
    assert pickle.loads(pickle.dumps(ec.execute_factor)) is ec.execute_factor


# ---- ensure_end_date ----------------------------------------------------------------------

def test_end_date_before_latest_is_returned_unchanged_after_one_client_call(monkeypatch):
    tessal = FakeTessal(latest="2024-03-29")
    install(monkeypatch, tessal=tessal)
    end = pd.Timestamp("2024-03-01")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert ec.ensure_end_date(end) is end
    assert tessal.names() == ["get_latest_trading_date"]


def test_end_date_after_latest_with_volume_falls_back_with_warning(monkeypatch):
    tessal = FakeTessal(latest="2024-03-29")
    install(monkeypatch, tessal=tessal)
    with pytest.warns(UserWarning) as record:
        got = ec.ensure_end_date(pd.Timestamp("2024-06-30"))
    assert got == pd.Timestamp("2024-03-29") and isinstance(got, pd.Timestamp)
    assert [str(w.message) for w in record] == [
        "volumes after 2024-03-29 00:00:00 is not available currently! "
        "fallback to date: 2024-03-29 00:00:00!"]
    latest = pd.Timestamp("2024-03-29")
    assert tessal.calls[1:] == [("all_instruments", "CS", latest),
                                ("get_price", "000001.XSHE", latest, latest, "volume")]


def test_end_date_equal_to_latest_with_volume_gives_timestamp_silently(monkeypatch):
    install(monkeypatch, tessal=FakeTessal(latest="2024-03-29"))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = ec.ensure_end_date(pd.Timestamp("2024-03-29"))
    assert isinstance(got, pd.Timestamp) and got == pd.Timestamp("2024-03-29")


@pytest.mark.parametrize("end", ["2024-03-29", "2024-05-01"])
def test_missing_volume_falls_back_to_the_previous_trading_date(monkeypatch, end):
    tessal = FakeTessal(latest="2024-03-29", previous="2024-03-28", volume_missing=True)
    install(monkeypatch, tessal=tessal)
    with pytest.warns(UserWarning) as record:
        got = ec.ensure_end_date(pd.Timestamp(end))
    assert got == "2024-03-28"  # as the client returned it
    assert [str(w.message) for w in record] == [
        "volumes at {} 00:00:00 is not available currently! fallback to date: 2024-03-28!"
        .format(end)]
    assert tessal.names()[-1] == "get_previous_trading_date"


def test_empty_instrument_listing_fails_with_the_lookup_error(monkeypatch):
    tessal = FakeTessal()
    tessal.all_instruments = lambda type, date=None: pd.DataFrame({"order_book_id": []})
    install(monkeypatch, tessal=tessal)
    with pytest.raises(KeyError):
        ec.ensure_end_date(pd.Timestamp("2030-01-01"))


# ---- execute_factor: look-back, context, masking, cut -----------------------------------------

def test_bare_leaf_loads_from_start_date_without_offset(monkeypatch):
    tessal = FakeTessal(latest="2030-01-01")
    record = install(monkeypatch, tessal=tessal)
    factory = ContextFactory()
    close = Leaf("close")
    out = ec.execute_factor(close, IDS, "2024-01-03", "2024-01-10", exec_context_class=factory)
    assert record["use_dma"] == 0 and "trading_date_offset" not in tessal.names()
    (built,) = factory.built
    assert built["start"] == pd.Timestamp("2024-01-03") and built["leaves"] == ["leaves-of", close]
    assert built["end"] == pd.Timestamp("2024-01-10") and built["universe"] is None
    ctx = built["ctx"]
    assert ctx.universe_mask is None
    want = ctx.fields["close"][IDS].loc["2024-01-03":"2024-01-10"]
    pd.testing.assert_frame_equal(out, want, check_freq=False)


@pytest.mark.parametrize("use_dma, offset", [(False, -5), (True, -131)])
def test_look_back_moves_the_leaf_start_by_trading_dates(monkeypatch, use_dma, offset):
    tessal = FakeTessal(latest="2030-01-01")
    record = install(monkeypatch, tessal=tessal)
    factory = ContextFactory(ndays=160)
    node = Node((lambda s, n: s[n:], [Leaf("close"), 5]), shift=5, use_dma=use_dma)
    out = ec.execute_factor(node, IDS, pd.Timestamp("2024-06-03"), "2024-06-07",
                            exec_context_class=factory)
    start = pd.Timestamp("2024-06-03")
    assert ("trading_date_offset", start, offset) in tessal.calls
    assert record["use_dma"] == 1
    (built,) = factory.built
    assert built["start"] == start + pd.offsets.BDay(offset)
    assert list(out.index) == list(pd.bdate_range("2024-06-03", "2024-06-07"))
    assert out.notna().all().all()


def test_result_keeps_callers_columns_and_dates_even_with_fixed_instruments(monkeypatch):
    tessal = FakeTessal(latest="2024-01-12", volume_missing=False)
    install(monkeypatch, tessal=tessal, fixed_ids=["F"])
    factory = ContextFactory(ndays=15)
    fixed = Fixed(Leaf("close"), "F")
    node = Node((lambda a, b: a - b, [Leaf("close"), fixed]), dependencies=[fixed])
    ids = ["C", "A"]
    with pytest.warns(UserWarning, match="volumes after"):
        out = ec.execute_factor(node, ids, "2024-01-02", "2024-02-01",
                                exec_context_class=factory)
    (built,) = factory.built
    assert built["ids"] == ["C", "A", "F"]
    assert built["end"] == pd.Timestamp("2024-01-12")
    assert list(out.columns) == ids
    assert out.index[0] == pd.Timestamp("2024-01-02")
    assert out.index[-1] == pd.Timestamp("2024-01-12")
    close = built["ctx"].fields["close"]
    want = close[ids].sub(close["F"], axis=0).loc["2024-01-02":"2024-01-12"]
    pd.testing.assert_frame_equal(out, want, check_freq=False)


def test_universe_mask_is_set_before_evaluation_and_applied_to_the_result(monkeypatch):
    tessal = FakeTessal(latest="2030-01-01")
    factory = ContextFactory(ndays=10)
    index = pd.bdate_range("2024-01-01", periods=10)
    mask = pd.DataFrame(True, index=index, columns=IDS)
    mask.loc[index[3], "B"] = False
    mask.loc[index[6], "A"] = False
    record = install(monkeypatch, tessal=tessal, universe_mask=mask)
    cs = CrossSectional([Leaf("close")], rank_pct)
    node = Node((lambda x: x * 2, [cs]), dependencies=[cs])
    out = ec.execute_factor(node, IDS, "2024-01-02", "2024-01-12", universe="U",
                            exec_context_class=factory)
    (built,) = factory.built
    assert built["universe"] == "U" and built["ctx"].universe_mask is mask
    assert record["universe_mask"] == [
        (IDS, pd.Timestamp("2024-01-02"),
         pd.Timestamp("2024-01-12"), "U")]
    (frames,) = cs.calls
    assert np.isnan(frames[0].loc[index[3], "B"])  # masked before the cross-section
    ranks = rank_pct(built["ctx"].fields["close"][IDS].where(mask))
    want = (2 * ranks).where(mask).loc["2024-01-02":"2024-01-12"]
    pd.testing.assert_frame_equal(out, want, check_freq=False)


def test_default_context_class_is_the_module_attribute(monkeypatch):
    factory = ContextFactory(ndays=5)
    install(monkeypatch, tessal=FakeTessal(latest="2030-01-01"), context_class=factory)
    out = ec.execute_factor(factor=Leaf("open"), order_book_ids=["B"],
                            start_date="2024-01-01", end_date="2024-01-05")
    assert len(factory.built) == 1 and list(out.columns) == ["B"] and len(out) == 5


def test_errors_of_the_context_reach_the_caller(monkeypatch):
    install(monkeypatch, tessal=FakeTessal(latest="2030-01-01"))

    def failing(*args, **kwargs):
        raise LookupError("no data")

    with pytest.raises(LookupError, match="no data"):
        ec.execute_factor(Leaf("close"), IDS, "2024-01-01", "2024-01-05", None, failing)


# ---- stored factors ---------------------------------------------------------------------------

def stored_frame():
    index = pd.MultiIndex.from_product(
        [["B", "A"], pd.bdate_range("2024-01-01", periods=3)], names=["order_book_id", "date"])
    return pd.DataFrame({"pe": np.arange(6.0), "other": 0.0}, index=index)


def test_stored_factor_is_fetched_by_name_with_the_callers_arguments(monkeypatch):
    tessal = FakeTessal(factor_frame=stored_frame())
    record = install(monkeypatch, tessal=tessal)
    factor = Stored("pe", shift=3)
    out = ec.execute_factor(factor, ["A", "Z"], "2023-12-01", "2031-01-01", universe="U")
    assert tessal.calls == [("get_factor", ["A", "Z"], "pe", "2023-12-01", "2031-01-01", "U",
                             True)]
    assert record["universe_mask"] == [(["A", "Z"], "2023-12-01", "2031-01-01", "U")]
    frame = stored_frame()["pe"].unstack("order_book_id")
    pd.testing.assert_frame_equal(out, frame)

    mask = pd.DataFrame(True, index=frame.index, columns=frame.columns)
    mask.iloc[1, 0] = False
    install(monkeypatch, tessal=tessal, universe_mask=mask)
    masked = ec.execute_factor(factor, ["A", "B"], "2024-01-01", "2024-01-03")
    pd.testing.assert_frame_equal(masked, frame.where(mask))
    assert np.isnan(masked.iloc[1, 0]) and masked.notna().sum().sum() == 5


def test_pricing_factors_go_through_the_execution_context(monkeypatch):
    close = Stored("close")
    tessal = FakeTessal(latest="2030-01-01")
    install(monkeypatch, tessal=tessal, pricing={close})
    factory = ContextFactory(ndays=5)
    out = ec.execute_factor(close, ["A"], "2024-01-01", "2024-01-05", None, factory)
    assert "get_factor" not in tessal.names() and len(factory.built) == 1
    np.testing.assert_array_equal(out["A"], factory.built[0]["ctx"].fields["close"]["A"])


def test_replaced_module_functions_are_called_by_execute_factor(monkeypatch):
    install(monkeypatch, tessal=FakeTessal(latest="2030-01-01"))
    factory = ContextFactory(ndays=6)
    seen = {}

    def fake_exec_factor(factor, order_book_ids, exec_context):
        seen["ctx"] = exec_context
        return pd.DataFrame(1.0, index=exec_context.index, columns=order_book_ids)

    monkeypatch.setattr(ec, "_exec_factor", fake_exec_factor)
    monkeypatch.setattr(ec, "ensure_end_date", lambda end_date: pd.Timestamp("2024-01-03"))
    out = ec.execute_factor(Leaf("close"), ["A"], "2024-01-02", "2024-01-31", None, factory)
    assert seen["ctx"] is factory.built[0]["ctx"]
    assert factory.built[0]["end"] == pd.Timestamp("2024-01-03")
    assert list(out.index) == [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-03")]
