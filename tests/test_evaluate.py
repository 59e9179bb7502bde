"""execute_factors: each factor's frame equals execute_factor of it alone."""
import gc
import random
import weakref

import numpy as np
import pandas as pd
import pytest

import tessal
from alvora import operators as op
from alvora import rolling
from alvora.cross_sectional import CS_RANK, CS_ZSCORE, CrossSectionalFactor
from alvora.engine_v2 import eval_core
from alvora.engine_v2.eval_core import execute_factor
from alvora.engine_v2.exec_context import ThreadingExecContext
from alvora.evaluate import evaluator, execute_factors, iter_factors
from alvora.evaluate.context import rows_from
from alvora.fix import FIX
from alvora.leaf import Factor, close, high, low, open as open_, volume

START, END = "2023-01-03", "2023-04-28"


@pytest.fixture(scope="module")
def ids():
    return list(tessal.all_instruments("CS").order_book_id[:30])


def random_tree(rng, depth):
    leaves = [close, open_, high, low, volume, op.RETURNS, op.VWAP]
    if depth == 0:
        return rng.choice(leaves)
    x = random_tree(rng, depth - 1)
    y = random_tree(rng, rng.randrange(depth))
    w = rng.randrange(1, 12)
    builders = [
        lambda: rolling.MA(x, w), lambda: rolling.TS_RANK(x, w), lambda: rolling.STD(x, w),
        lambda: rolling.CORRELATION(x, y, w + 2), lambda: rolling.WMA(x, w),
        lambda: op.DELAY(x, rng.randrange(0, 6)), lambda: op.DELTA(x, rng.randrange(1, 6)),
        lambda: op.IF(x > y, x, y), lambda: op.MIN(x, y), lambda: op.SIGN(x) * op.ABS(y),
        lambda: CS_RANK(x), lambda: CS_ZSCORE(x - y), lambda: op.GROUP_DEMEAN(x, "sws"),
        lambda: FIX(x, "000300.XSHG") - y, lambda: x / y, lambda: op.LOG(op.ABS(x) + 1),
    ]
    return rng.choice(builders)()


def assert_same(got, want):
    pd.testing.assert_frame_equal(got, want, check_exact=False, rtol=1e-12, atol=1e-12)
    assert (got.isna().to_numpy() == want.isna().to_numpy()).all()


@pytest.mark.parametrize("native, engine, panel", [
    (True, False, True), (False, False, True), (False, False, False), (False, True, True),
], ids=["native", "panel", "per-instrument", "engine"])
@pytest.mark.parametrize("seed, universe", [
    (1, None), (2, "000300.XSHG"), (3, "list"), (4, None),
])
def test_random_trees_equal_execute_factor(ids, seed, universe, native, engine, panel,
                                           monkeypatch):
    monkeypatch.setattr(evaluator, "NATIVE", native)
    monkeypatch.setattr(evaluator, "ENGINE", engine)
    monkeypatch.setattr(evaluator, "PANEL", panel)
    monkeypatch.setattr(evaluator, "BLOCK", 7)  # several blocks of instruments
    rng = random.Random(seed)
    if universe == "list":
        universe = ids[::3]
    trees = {"t{}".format(k): random_tree(rng, rng.randrange(1, 4)) for k in range(6)}
    trees["shared"] = CS_RANK(trees["t0"]) + trees["t1"]  # sub-trees shared with others
    trees["bare"] = close
    # cross-sections with unequal look-backs under one window
    trees["pair"] = rolling.CORRELATION(CS_RANK(rolling.MA(close, 5)), CS_RANK(volume), 4)
    got = execute_factors(trees, ids, START, END, universe=universe)
    assert list(got) == list(trees)
    for name, tree in trees.items():
        assert_same(got[name], execute_factor(tree, ids, START, END, universe=universe))


LIBRARY = {  # common kinds, with look-backs that differ and sub-trees that repeat
    "ma": rolling.MA(close, 20) / close, "std": rolling.STD(close, 20) / close,
    "corr": rolling.CORRELATION(close, op.LOG(volume + 1), 10),
    "rank": rolling.TS_RANK(close, 10), "argmax": rolling.TS_ARGMAX(high, 20),
    "resi": (close - rolling.MA(close, 20) - rolling.SLOPE(close, 20) * 9.5) / close,
    "ema": rolling.EMA(close, 20) / close, "ret": close / op.DELAY(close, 5) - 1,
    "cov": rolling.COVARIANCE(op.RETURNS, op.DELTA(op.LOG(volume + 1), 1), 20),
    "cs": rolling.TS_RANK(CS_RANK(low), 9) * -1,
}


@pytest.mark.parametrize("universe", [None, "list"])
def test_library_native_equals_fallback(ids, universe, monkeypatch):
    universe = ids[::2] if universe == "list" else universe
    left = []
    original = eval_core._exec_native_many
    monkeypatch.setattr(eval_core, "_exec_native_many", lambda *a: [
        left.append(g is None) or g for g in original(*a)])
    native = execute_factors(LIBRARY, ids, START, END, universe=universe)
    assert left and not any(left)  # every factor ran in the native program
    monkeypatch.setattr(evaluator, "NATIVE", False)
    monkeypatch.setattr(evaluator, "PANEL", False)
    fallback = execute_factors(LIBRARY, ids, START, END, universe=universe)
    for name in LIBRARY:
        assert_same(native[name], fallback[name])


def test_list_input_stored_factor_and_duplicates(ids):
    factors = [Factor("pe_ratio"), op.DELTA(close, 3), op.DELTA(close, 3), volume]
    got = execute_factors(factors, ids + ids[:2], START, END)
    assert isinstance(got, list) and len(got) == 4
    for frame, factor in zip(got, factors):
        assert_same(frame, execute_factor(factor, ids + ids[:2], START, END))


def test_shared_cross_sections_are_computed_once(ids):
    calls = []

    def counted_rank(frame):
        calls.append(1)
        return frame.rank(axis=1, pct=True)

    shared = CrossSectionalFactor(counted_rank, rolling.MA(close, 5))
    # same look-back, so one grid: the cross-section is computed once for all three
    factors = {"a": shared * 2, "b": CS_ZSCORE(shared + close), "c": shared}
    got = execute_factors(factors, ids, START, END)
    assert len(calls) == 1
    calls.clear()
    assert_same(got["b"], execute_factor(factors["b"], ids, START, END))
    assert len(calls) == 1


@pytest.mark.parametrize("factors, ids_arg, error, message", [
    (close, None, TypeError, "for one factor use execute_factor"),
    ({"a": "close"}, None, TypeError, "factor 'a' is not a factor node"),
    ("close", None, TypeError, "dict of name -> factor"),
    ([close], "000001.XSHE", TypeError, "not a single string"),
])
@pytest.mark.parametrize("entry", [execute_factors, iter_factors])
def test_bad_input(ids, factors, ids_arg, error, message, entry):
    with pytest.raises(error, match=message):  # at the call, not at the first factor
        entry(factors, ids if ids_arg is None else ids_arg, START, END)


def test_iter_factors_hands_over_each_frame_and_keeps_none(ids, monkeypatch):
    monkeypatch.setattr(evaluator, "BATCH", 2)
    factors = dict(twin=CS_RANK(close), twin_too=CS_RANK(close), stored=Factor("pe_ratio"),
                   **LIBRARY)
    want = execute_factors(factors, ids, START, END)
    held = dict(iter_factors(factors, ids, START, END))
    assert sorted(held) == sorted(factors)
    for name, frame in held.items():
        assert_same(frame, want[name])
    held["twin"].iloc[:, 0] = 123.0  # in place where pandas writes in place
    assert_same(held["twin_too"], want["twin_too"])
    del held
    frames = iter_factors(factors, ids, START, END)
    first = weakref.ref(next(frames)[1])
    next(frames), next(frames)  # two more: past the first batch
    gc.collect()
    assert first() is None


def test_reversed_dates_are_a_clear_error(ids):
    with pytest.raises(ValueError, match="start_date 2023-04-28 is after end_date 2023-01-03"):
        execute_factors([op.DELTA(close, 2)], ids, END, START)


def test_a_very_deep_tree_is_a_clear_error(ids):
    with pytest.raises((ValueError, RecursionError), match="nested too deeply"):
        deep = close
        for _ in range(10 ** 4):
            deep = op.ABS(deep)
        execute_factors([deep], ids, START, END)


def test_context_reads_the_same_values_through_either_loader(ids, monkeypatch):
    wanted = ids + ["000300.XSHG", "NOPE.XSHE"]  # an index (no volume) and an unknown id
    leaves = [close, volume, high]
    with pytest.warns(UserWarning, match="NOPE"):
        direct = ThreadingExecContext(leaves, wanted, "2022-12-01", END)
    monkeypatch.delattr(tessal, "get_panel_values")  # the frame-by-frame path
    with pytest.warns(UserWarning, match="NOPE"):
        framed = ThreadingExecContext(leaves, wanted, "2022-12-01", END)
    for leaf in leaves:
        assert direct._fields[leaf].flags.f_contiguous
        np.testing.assert_array_equal(direct._fields[leaf], framed._fields[leaf])
    for first in ("2022-12-01", "2023-01-03"):  # valid rows from a later date: a view
        got, want = rows_from(direct, first), rows_from(framed, first)
        for oid in wanted:
            j, mask, positions = got._instruments[oid]
            np.testing.assert_array_equal(mask, want.get_mask_for(oid))
            np.testing.assert_array_equal(positions, np.flatnonzero(mask))
            assert j == want._instruments[oid][0]
            with pytest.raises(ValueError):
                positions[:1] = 0  # shared with other views: read-only


def test_frames_are_the_grids_and_later_calls_leave_them_alone(ids, monkeypatch):
    grids = []
    original = eval_core._exec_native_many
    monkeypatch.setattr(eval_core, "_exec_native_many",
                        lambda *a: [grids.append(g) or g for g in original(*a)])
    timings = {}
    first = execute_factors(LIBRARY, ids, START, END, timings=timings)
    assert set(timings) == {"load", "evaluate", "frames"}
    assert all(wall >= 0 and cpu >= 0 for wall, cpu in timings.values())
    kept = {name: frame.copy() for name, frame in first.items()}
    for name, frame in first.items():  # no copy of the grid on the way to the frame
        assert any(np.shares_memory(frame.to_numpy(), g) for g in grids if g is not None), name
    grids.clear()
    again = execute_factors(LIBRARY, ids, START, END)
    gc.collect()
    for name in LIBRARY:  # the later call wrote grids of its own, equal, apart
        assert not np.shares_memory(first[name].to_numpy(), again[name].to_numpy())
        assert_same(first[name], kept[name])
        assert_same(again[name], kept[name])


def test_ranks_carried_between_look_backs_equal_fresh_ones(monkeypatch):
    from alvora.evaluate import execute, shared_ranks

    # 600016.XSHG trades again on 2023-02-28 after two months: the short
    # look-backs rank it only days later, the long ones at once
    ids = list(tessal.all_instruments("CS").order_book_id[:100])
    assert "600016.XSHG" in ids
    start = "2023-03-01"
    smooth, jump = CS_RANK(rolling.MA(close, 5)), CS_RANK(op.DELTA(close, 3))
    factors = {"long": rolling.MA(smooth, 60), "short": smooth * 1,
               "ts": rolling.TS_RANK(jump, 60), "delay": op.DELAY(jump, 2),
               "inner": CS_RANK(jump + 1), "outer": rolling.MA(CS_RANK(jump + 1), 12)}
    made = []
    original = shared_ranks.SharedRanks.__init__
    monkeypatch.setattr(shared_ranks.SharedRanks, "__init__",
                        lambda self, *a: made.append(self) or original(self, *a))
    got = execute_factors(factors, ids, start, END)
    (shared,) = made
    assert shared.carried == 4 and shared.reranked_dates > 0  # smooth once, jump thrice
    monkeypatch.setattr(execute, "SHARE_RANKS", False)
    fresh = execute_factors(factors, ids, start, END)
    for name, factor in factors.items():
        pd.testing.assert_frame_equal(got[name], fresh[name], check_exact=True)
        assert_same(got[name], execute_factor(factor, ids, start, END))


@pytest.mark.parametrize("universe", [None, "000300.XSHG"])
def test_a_rank_of_ranks_is_ranked_once_and_equals_ranking_twice(ids, universe, monkeypatch):
    from alvora import cross_sectional

    inner = CS_RANK(op.DELTA(close, 3))
    factors = {"twice": CS_RANK(inner), "thrice": CS_RANK(CS_RANK(inner)) * 2,
               "other": CS_RANK(-1 * inner)}  # not a rank of ranks: ranked again
    calls = []
    rank = cross_sectional._native.rank
    monkeypatch.setattr(cross_sectional._native, "rank", lambda v: calls.append(1) or rank(v))
    got = execute_factors(factors, ids, START, END, universe=universe)
    assert len(calls) == 2
    monkeypatch.undo()
    for name, factor in factors.items():
        assert_same(got[name], execute_factor(factor, ids, START, END, universe=universe))


def test_factors_computed_by_one_node_are_independent_frames(ids):
    rank = CS_RANK(close)
    got = execute_factors({"a": rank, "same": CS_RANK(close), "twice": CS_RANK(rank)},
                          ids, START, END)
    before = {name: frame.copy() for name, frame in got.items()}
    got["a"].iloc[:, 0] = 123.0  # in place where pandas writes in place
    got["a"].fillna(-1.0, inplace=True)
    for name in ("same", "twice"):
        assert_same(got[name], before[name])


@pytest.mark.parametrize("row", [
    [1.0, 1.0, np.nan, -0.0, 0.0, np.inf, -np.inf, np.inf, 2.5, np.nan],
    np.r_[np.arange(5000) % 7, np.nan, -np.inf] * 1e-300,
    np.random.default_rng(3).standard_normal(6000) ** 3,
], ids=["ties-nan-zeros-infinities", "few-tiny", "long"])
def test_ranks_ranked_again_are_the_same_bits(row):
    from alvora import _cross_section

    once = _cross_section.rank(np.asarray([row], dtype=np.float64))
    assert np.array_equal(_cross_section.rank(once), once, equal_nan=True)
