"""execute_factor end to end: a small generated market, the real factor model
and the threaded execution context."""
import warnings

import numpy as np
import pandas as pd
import pytest

import tessal
import alvora.engine_v2.eval_core as ec
from alvora.cross_sectional import CrossSectionalFactor
from alvora.engine_v2.exec_context import ThreadingExecContext
from alvora.fix import FIX
from alvora.leaf import close, high, low, open as open_

START, END = "2022-03-01", "2022-06-30"


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    path = tmp_path_factory.mktemp("engine") / "bundle"
    tessal.bundle.generate_market(path, n_instruments=30, start="2022-01-04", end=END, seed=5,
                                  checksums=False)
    tessal.init(path)
    ids = list(tessal.all_instruments("CS").order_book_id)
    yield ids
    tessal.init(None)


def run(factor, ids, start=START, end=END, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # end date at the latest trading date
        return ec.execute_factor(factor, ids, start, end, **kwargs)


def valid_frame(ids, start=START, end=END):
    ctx = ThreadingExecContext([close], ids, pd.Timestamp(start), pd.Timestamp(end))
    return pd.DataFrame({oid: ctx.get_mask_for(oid) for oid in ids}, index=ctx.index)


def panel(field, ids, start=START, end=END):
    return tessal.get_panel(field, ids, start, end)


def demean(frame):
    return frame.sub(frame.mean(axis=1), axis=0)


def test_bare_leaf_is_the_price_panel_on_valid_rows(market):
    ids = market[:12]
    valid = valid_frame(ids)
    assert (~valid).to_numpy().any()  # suspensions or listings make the test meaningful
    out = run(close, ids)
    want = panel("close", ids).where(valid)
    pd.testing.assert_frame_equal(out, want, check_freq=False, check_names=False)


def test_arithmetic_tree_with_cross_sectional_node_on_top(market):
    ids = market[:20]
    valid = valid_frame(ids)
    ratio = (panel("close", ids) - panel("open", ids)) / (panel("high", ids) - panel("low", ids))
    out = run(CrossSectionalFactor(demean, (close - open_) / (high - low)), ids)
    pd.testing.assert_frame_equal(out, demean(ratio.where(valid)), check_freq=False,
                                  check_names=False, rtol=1e-12)


def test_fixed_instrument_is_served_to_every_instrument(market):
    ids = market[1:6]
    anchor = market[0]
    valid = valid_frame(ids)
    out = run(close - FIX(close, anchor), ids)
    base = panel("close", [anchor])[anchor].where(valid_frame([anchor])[anchor])
    want = panel("close", ids).sub(base, axis=0).where(valid)
    assert list(out.columns) == ids
    pd.testing.assert_frame_equal(out, want, check_freq=False, check_names=False)


def test_universe_list_masks_the_result(market):
    ids = market[:6]
    out = run(close, ids, universe=ids[:3])
    assert out[ids[3:]].isna().all().all()
    pd.testing.assert_frame_equal(out[ids[:3]], run(close, ids[:3]), check_freq=False)


def test_rolling_mean_over_suspension_gaps(market):
    rolling = pytest.importorskip("alvora.rolling")
    if not hasattr(rolling, "MA"):
        pytest.skip("rolling operators not available yet")
    ids = market[:15]
    out = run(rolling.MA(close, 5), ids)
    first = pd.Timestamp(tessal.trading_date_offset(pd.Timestamp(START), -4))
    valid = valid_frame(ids, start=first)
    prices = panel("close", ids, start=first)
    want = pd.DataFrame(np.nan, index=prices.index, columns=ids)
    for oid in ids:
        on_valid = prices[oid][valid[oid]]
        want.loc[on_valid.index, oid] = on_valid.rolling(5).mean()
    want = want.loc[START:END]
    # want holds values from the first requested date on only if the look-back was loaded
    assert want.iloc[0].notna().any()
    pd.testing.assert_frame_equal(out, want, check_freq=False, check_names=False, rtol=1e-9)


def rolling_on_valid_rows(frame, valid, window, stat):
    """Each column's statistic over windows of consecutive valid rows."""
    out = pd.DataFrame(np.nan, index=frame.index, columns=frame.columns)
    for oid in frame.columns:
        on_valid = frame[oid][valid[oid]]
        out.loc[on_valid.index, oid] = stat(on_valid.rolling(window))
    return out


def test_rolling_node_over_a_cross_sectional_dependency(market):
    rolling = pytest.importorskip("alvora.rolling")
    if not hasattr(rolling, "MA"):
        pytest.skip("rolling operators not available yet")
    ids = market[:12]
    out = run(rolling.MA(CrossSectionalFactor(demean, close), 3), ids)
    first = pd.Timestamp(tessal.trading_date_offset(pd.Timestamp(START), -2))
    valid = valid_frame(ids, start=first)
    demeaned = demean(panel("close", ids, start=first).where(valid))
    want = rolling_on_valid_rows(demeaned, valid, 3, lambda r: r.mean()).loc[START:END]
    pd.testing.assert_frame_equal(out, want, check_freq=False, check_names=False, rtol=1e-9)


def test_combined_rolling_correlation_of_two_fields(market):
    rolling = pytest.importorskip("alvora.rolling")
    if not hasattr(rolling, "CORRELATION"):
        pytest.skip("rolling operators not available yet")
    ids = market[:10]
    out = run(rolling.CORRELATION(close, open_, 10), ids)
    first = pd.Timestamp(tessal.trading_date_offset(pd.Timestamp(START), -9))
    valid = valid_frame(ids, start=first)
    c, o = panel("close", ids, start=first), panel("open", ids, start=first)
    want = pd.DataFrame(np.nan, index=c.index, columns=ids)
    for oid in ids:
        rows = valid[oid]
        corr = c[oid][rows].rolling(10).corr(o[oid][rows])
        want.loc[corr.index, oid] = corr
    pd.testing.assert_frame_equal(out, want.loc[START:END], check_freq=False,
                                  check_names=False, rtol=1e-8)


@pytest.mark.parametrize("ids, start, end, error, message", [
    ("first", START, END, TypeError, r"must be a list of ids, got the string '(.+)'; pass \['\1'\]"),
    (["first"], "2023-01-03", "2023-03-01", ValueError,
     r"start_date 2023-01-03 is after the last trading date with data \(2022-06-30\)"),
    (["first"], "2022-05-02", "2022-04-01", ValueError,
     "start_date 2022-05-02 is after end_date 2022-04-01"),
])
def test_unusable_ids_and_ranges_are_named(market, ids, start, end, error, message):
    ids = market[0] if ids == "first" else [market[0]]
    with pytest.raises(error, match=message):
        run(close - 1, ids, start, end)


@pytest.mark.parametrize("extra, message", [
    (["NOPE.XSHG"], "unknown order_book_ids NOPE.XSHG .*all NaN"),
    (["first"], "order_book_ids repeats (.+): the result has one column per repeat"),
])
def test_suspicious_ids_are_warned_about(market, extra, message):
    ids = market[:3] + [market[0] if e == "first" else e for e in extra]
    with pytest.warns(UserWarning, match=message):
        frame = ec.execute_factor(close, ids, START, "2022-04-01")
    assert list(frame.columns) == ids
