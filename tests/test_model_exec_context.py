import threading

import numpy as np
import pandas as pd
import pytest

from alvora import leaf
from alvora.cross_sectional import CS_RANK
from alvora.engine_v2 import exec_context
from alvora.engine_v2.exec_context import ThreadingExecContext, get_universe_mask
from alvora.evaluate.context import rows_from
from alvora.fix import FIX
from alvora.leaf import Factor, close, volume
from alvora.utils import get_fixed_order_book_ids, get_leaves

from _model_helpers import IDS, NDAYS, Windowed, evaluate, make_market, window_sum

START, END = "2024-01-01", "2024-01-16"


@pytest.fixture
def market(monkeypatch):
    fake = make_market()
    monkeypatch.setattr(exec_context, "tessal", fake)
    return fake


def build(tree, ids=IDS, universe=None):
    ids = list(ids) + get_fixed_order_book_ids(tree, ids)
    return ThreadingExecContext(get_leaves(tree), ids, START, END, universe=universe)


def test_grid_and_masks(market):
    ctx = build(close)
    assert ctx.ndays == NDAYS and len(ctx.index) == NDAYS
    assert ctx.index.equals(market.panels["close"].index)
    assert ctx.universe_mask is None
    ctx.universe_mask = "anything"
    assert ctx.universe_mask == "anything"
    rows = {oid: np.flatnonzero(ctx.get_mask_for(oid)).tolist() for oid in IDS}
    assert rows["A"] == list(range(12))
    assert rows["B"] == [0, 1, 2] + list(range(5, 12))  # suspended on 3 and 4
    assert rows["C"] == list(range(5, 12))  # listed from row 5
    assert rows["D"] == list(range(9))  # de-listed after row 8
    assert rows["IDX"] == list(range(12))  # no volume at all: a close suffices
    mask = ctx.get_mask_for("A")
    assert mask.dtype == bool and mask.shape == (NDAYS,)
    with pytest.raises(ValueError):
        mask[0] = False  # the engine cannot corrupt the shared mask
    with pytest.raises(KeyError, match="not in this execution context"):
        ctx.get_mask_for("ZZZ")


def test_leaf_values_on_valid_rows(market):
    ctx = build(close - leaf.open)
    b = ctx.get_factor_value(close, "B")
    assert b.dtype == np.float64 and b.flags.c_contiguous
    np.testing.assert_array_equal(b, 20.0 + np.array([0, 1, 2, 5, 6, 7, 8, 9, 10, 11]))
    np.testing.assert_array_equal(ctx.get_factor_value(leaf.open, "C"), 29.5 + np.arange(5, 12))
    assert ctx.get_factor_value(2.5, "A") == 2.5
    with pytest.raises(KeyError, match="neither loaded nor computed"):
        ctx.get_factor_value(Factor("high"), "A")


def test_duplicate_ids_and_single_load_per_field(market):
    with pytest.warns(UserWarning, match="order_book_ids repeats A"):
        ctx = build(close + close * volume, ids=["A", "B", "A"])
    assert ctx.get_mask_for("A").sum() == NDAYS
    loads = [c for c in market.calls if c[0] == "get_panel"]
    assert sorted(c[1] for c in loads) == ["close", "volume"]
    assert all(c[2] == ("A", "B") for c in loads)


def test_stored_factor_leaf(market):
    ctx = build(Factor("value_score") + 1)
    np.testing.assert_array_equal(ctx.get_factor_value(Factor("value_score"), "D"),
                                  2 * (40.0 + np.arange(9)))
    assert ("get_panel", "value_score", tuple(IDS)) in market.calls


def test_fields_load_on_a_thread_pool(market, monkeypatch):
    seen = set()
    original = market.get_panel

    def spy(*args):
        seen.add(threading.get_ident())
        return original(*args)

    monkeypatch.setattr(market, "get_panel", spy)
    build(close + leaf.open + Factor("high") + Factor("low"))
    assert threading.get_ident() not in seen and seen


def test_bad_inputs(market):
    with pytest.raises(TypeError, match="list of ids"):
        ThreadingExecContext([close], "A", START, END)
    with pytest.raises(TypeError, match="strings"):
        ThreadingExecContext([close], ["A", 3], START, END)
    with pytest.raises(TypeError, match="cannot load leaf"):
        ThreadingExecContext([CS_RANK(close)], ["A"], START, END)


def test_evaluation_aligns_on_valid_rows(market):
    tree = close - Windowed(window_sum, 3, close)
    ctx = build(tree)
    out = evaluate(tree, ctx, IDS)
    b = market.panels["close"]["B"].to_numpy()
    b_valid = b[[0, 1, 2, 5, 6, 7, 8, 9, 10, 11]]
    expected = b_valid[2:] - window_sum(b_valid, 3)
    np.testing.assert_allclose(out["B"].to_numpy()[[5, 6, 7, 8, 9, 10, 11, 2]][:-1],
                               expected[1:])
    assert out["B"].iloc[[0, 1, 3, 4]].isna().all()  # look-back and suspension
    assert out["C"].iloc[:7].isna().all() and out["C"].iloc[7:].notna().all()


def test_cross_sectional_serving_with_universe(market):
    tree = CS_RANK(close) * 1
    ctx = build(tree, ids=["A", "B", "C", "D"])
    ctx.universe_mask = get_universe_mask(["A", "B", "C", "D"], START, END, ["A", "B", "D"])
    out = evaluate(tree, ctx, ["A", "B", "C", "D"])
    # C is outside the universe: it neither gets a rank nor takes part in the others'
    assert out["C"].isna().all()
    np.testing.assert_allclose(out["A"].iloc[0:3], 1 / 3)
    np.testing.assert_allclose(out["A"].iloc[3:5], 0.5)  # B suspended on rows 3, 4
    assert out["B"].iloc[[3, 4]].isna().all()


def test_fixed_serving_maps_by_the_fixed_instruments_own_rows(market):
    inner = Windowed(window_sum, 2, close)
    tree = FIX(inner, "D") + 0
    ctx = build(tree, ids=["A", "C"])
    out = evaluate(tree, ctx, ["A", "C"])
    d = market.panels["close"]["D"].to_numpy()
    sums = d[:-1] + d[1:]  # D valid on rows 0..8, so sums land on rows 1..8
    np.testing.assert_allclose(out["A"].iloc[1:9], sums[0:8])
    assert np.isnan(out["A"].iloc[0]) and out["A"].iloc[9:].isna().all()
    # C's own valid rows only, after the one row the node's look-back consumes
    np.testing.assert_allclose(out["C"].iloc[6:9], sums[5:8])
    assert out["C"].iloc[:6].isna().all()


def test_fixed_over_cross_sectional_and_numbers(market):
    tree = FIX(CS_RANK(close), "A") + close * 0
    ctx = build(tree, ids=["A", "B", "C"])
    out = evaluate(tree, ctx, ["A", "B", "C"])
    # rows 3, 4: B suspended and C not listed yet, so A is alone
    np.testing.assert_allclose(out["A"], [1 / 2, 1 / 2, 1 / 2, 1.0, 1.0] + [1 / 3] * 7)
    ctx.update(FIX(close, "B"), 7.0)
    assert ctx.get_factor_value(FIX(close, "B"), "C") == 7.0


def test_update_rejects_misfits(market):
    ctx = build(close)
    node = FIX(close, "C")
    with pytest.raises(ValueError, match="only 7 valid rows"):
        ctx.update(node, np.arange(8.0))
    with pytest.raises(ValueError, match="2-dimensional"):
        ctx.update(node, np.zeros((2, 2)))
    with pytest.raises(ValueError, match="stores a frame"):
        ctx.update(CS_RANK(close), np.zeros(3))
    ctx.update(CS_RANK(close), pd.DataFrame(1.0, index=ctx.index, columns=["A"]))
    with pytest.raises(KeyError, match="has no values for 'B'"):
        ctx.get_factor_value(CS_RANK(close), "B")


class TestUniverseMask:
    ids = ["A", "B", "C"]

    def test_none_and_lists(self, market):
        assert get_universe_mask(self.ids, START, END, None) is None
        mask = get_universe_mask(self.ids, START, END, {"A", "C", "Q"})
        assert mask.shape == (NDAYS, 3) and mask.dtypes.eq(bool).all()
        assert mask["A"].all() and not mask["B"].any() and mask["C"].all()

    def test_frames_are_aligned(self, market):
        dates = market.panels["close"].index
        frame = pd.DataFrame({"A": True, "Z": True}, index=dates[2:])
        mask = get_universe_mask(self.ids, START, END, frame)
        assert list(mask.columns) == self.ids and mask.index.equals(dates)
        assert mask["A"].tolist() == [False, False] + [True] * 10
        assert not mask["B"].any()
        with pytest.raises(TypeError, match="booleans"):
            get_universe_mask(self.ids, START, END, frame.astype(float))

    def test_index_ids_approximate_by_turnover(self, market, monkeypatch):
        monkeypatch.setitem(exec_context.INDEX_SIZES, "TINY.IDX", 1)
        mask = get_universe_mask(self.ids, START, END, "TINY.IDX")
        assert mask["A"].all() and not mask["B"].any() and not mask["C"].any()
        wide = get_universe_mask(self.ids, START, END, "000300.XSHG")
        # everyone with turnover is in; C has none before its listing
        assert wide[["A", "B"]].all().all()
        assert wide["C"].tolist() == [False] * 5 + [True] * 7

    def test_unknown_universes(self, market):
        with pytest.raises(ValueError, match="unknown index"):
            get_universe_mask(self.ids, START, END, "NOPE")
        with pytest.raises(TypeError, match="universe must be"):
            get_universe_mask(self.ids, START, END, 42)


@pytest.mark.parametrize("k", [0, 4, 7, 10])
def test_a_view_from_a_later_date_has_the_rows_of_a_context_of_its_own(market, k):
    market.panels["volume"].iloc[7:, 1] = np.nan  # B: a close but no volume from row 7 on
    view = rows_from(build(close), market.panels["close"].index[k])
    own = ThreadingExecContext([close], IDS, market.panels["close"].index[k], END)
    for oid in IDS:
        mask = view.get_mask_for(oid)
        assert not mask[:k].any()
        np.testing.assert_array_equal(mask[k:], own.get_mask_for(oid))
        np.testing.assert_array_equal(view._instruments[oid][2], np.flatnonzero(mask))
        np.testing.assert_array_equal(view.get_factor_value(close, oid),
                                      own.get_factor_value(close, oid))


@pytest.mark.parametrize("given", [0, 97])  # positions found in one pass / column by column
def test_valid_row_positions_whichever_way_they_are_found(given):
    rng = np.random.default_rng(3)
    traded = np.asfortranarray(rng.random((40, 100)) < 0.6)
    traded[:, 5] = False
    columns = [("id{}".format(j), j) for j in range(100)]
    known = {oid: np.flatnonzero(traded[:, j]) for oid, j in columns[:given]}
    for positions in known.values():
        positions.flags.writeable = False
    out = exec_context._masks_and_positions(traded, columns, known)
    for oid, j in columns:
        column, mask, positions = out[oid]
        assert column == j and not positions.flags.writeable
        np.testing.assert_array_equal(mask, traded[:, j])
        np.testing.assert_array_equal(positions, np.flatnonzero(traded[:, j]))
