"""Node evaluation of alvora.engine_v2.eval_core against fake nodes and contexts."""
import collections
import types
import warnings

import numpy as np
import pandas as pd
import pytest

import alvora.engine_v2.eval_core as ec
from _engine_helpers import (
    CrossSectional, Fixed, Leaf, Node, expected_column, install, make_context, rank_pct,
    reference_exec_factor,
)

IDS = ["A", "B", "C"]


@pytest.fixture
def fakes(monkeypatch):
    return install(monkeypatch)


def window_sum(n):
    """Kernel returning one sum per complete window of n, like the rolling kernels."""
    def kernel(series, window):
        assert window == n
        return np.lib.stride_tricks.sliding_window_view(series, window).sum(axis=1)
    return kernel


def column(frame, oid):
    return frame[oid].to_numpy()


# ---- _exec_factor: alignment over valid rows ---------------------------------------------

def test_bare_leaf_fills_valid_rows_and_leaves_invalid_ones_nan(fakes):
    ctx = make_context(IDS, ndays=8, gaps={"B": [2, 3, 6], "C": range(8)})
    close = Leaf("close")
    out = ec._exec_factor(close, IDS, ctx)
    assert list(out.columns) == IDS
    assert out.index.equals(ctx.index)
    assert out.values.flags.f_contiguous
    for oid in IDS:
        valid = ctx.masks[oid]
        want = np.where(valid, ctx.fields["close"][oid].to_numpy(), np.nan)
        np.testing.assert_array_equal(column(out, oid), want)
    assert out["C"].isna().all()


def test_look_back_skips_short_histories_and_right_aligns_over_gaps(fakes):
    ndays = 10
    # A: 4 valid rows (skipped with shift 4), B: exactly 5, C: 8 with a suspension.
    ctx = make_context(IDS, ndays=ndays,
                       gaps={"A": range(4, 10), "B": [0, 1, 3, 5, 9], "C": [4, 5]})
    calls = []
    kernel = window_sum(5)

    def counting(series, window):
        calls.append(len(series))
        return kernel(series, window)

    node = Node((counting, [Leaf("close"), 5]), shift=4)
    out = ec._exec_factor(node, IDS, ctx)
    assert calls == [5, 8]  # A was never evaluated
    assert out["A"].isna().all()
    close = ctx.fields["close"]
    b_vals = close["B"].to_numpy()[ctx.masks["B"]]
    np.testing.assert_array_equal(column(out, "B"), expected_column(ctx, "B", [b_vals.sum()]))
    assert out["B"].notna().sum() == 1 and not np.isnan(out["B"].iloc[8])
    c_vals = close["C"].to_numpy()[ctx.masks["C"]]
    want = expected_column(ctx, "C", kernel(c_vals, 5))
    np.testing.assert_allclose(column(out, "C"), want, rtol=1e-12)
    # consecutive values land on consecutive valid rows around the gap at 4-5
    assert np.isnan(out["C"].iloc[:6]).all() and out["C"].iloc[6:].notna().all()


@pytest.mark.parametrize("value, written", [
    (2.5, 2.5), (3, 3.0), (True, 1.0), (np.float64(-1.25), -1.25), (np.float32(0.5), 0.5),
    (np.int64(7), 7.0), (float("inf"), np.inf), (float("nan"), np.nan),
])
def test_number_results_fill_every_valid_row(fakes, value, written):
    ctx = make_context(IDS, ndays=6, gaps={"A": [1, 4]})
    out = ec._exec_factor(Node((lambda: value, [])), IDS, ctx)
    want = np.where(ctx.masks["A"], written, np.nan)
    np.testing.assert_array_equal(column(out, "A"), want)
    assert out.dtypes.eq(np.float64).all()


@pytest.mark.parametrize("make", [
    lambda n: np.arange(n, dtype=np.int32),
    lambda n: np.arange(n, dtype=np.uint64),
    lambda n: np.arange(n) % 2 == 0,
    lambda n: np.arange(2 * n, dtype=np.float64)[::2],  # non-contiguous view
    lambda n: np.arange(n, dtype=np.float32),
    lambda n: np.arange(n, dtype=">f8"),  # foreign byte order
    lambda n: list(range(n)),
    lambda n: pd.Series(np.arange(n, dtype=float)),
])
def test_series_of_any_numeric_kind_is_written_as_float64(fakes, make):
    ctx = make_context(IDS, ndays=7, gaps={"B": [2]})
    out = ec._exec_factor(Node((lambda: make(3), [])), IDS, ctx)
    for oid in IDS:
        want = expected_column(ctx, oid, np.asarray(make(3), dtype=float))
        np.testing.assert_array_equal(column(out, oid), want)


def test_list_results_convert_like_numpy_none_becomes_nan(fakes):
    ctx = make_context(["A"], ndays=4)
    out = ec._exec_factor(Node((lambda: [1, None, 3], [])), ["A"], ctx)
    np.testing.assert_array_equal(column(out, "A"), [np.nan, 1, np.nan, 3])


def test_kernel_results_that_cannot_be_placed_raise_the_array_shape_error(fakes):
    ctx = make_context(["A"], ndays=7, gaps={"A": [0, 3]})  # 5 valid rows
    with pytest.raises(ValueError, match=r"\(7,\).*\(5,\)"):
        ec._exec_factor(Node((lambda: np.ones(7), [])), ["A"], ctx)
    with pytest.raises(ValueError, match=r"\(0,\).*\(5,\)"):
        ec._exec_factor(Node((lambda: np.ones(0), [])), ["A"], ctx)
    with pytest.raises(ValueError, match=r"\(3, ?1\)"):
        ec._exec_factor(Node((lambda: np.ones((3, 1)), [])), ["A"], ctx)
    with pytest.raises(TypeError, match="unsized"):
        ec._exec_factor(Node((lambda: np.array(1.0), [])), ["A"], ctx)
    with pytest.raises(ValueError, match="could not convert string to float"):
        ec._exec_factor(Node((lambda: "abc", [])), ["A"], ctx)


@pytest.mark.parametrize("mask, message", [
    (np.ones(5, dtype=bool), r"'A'.*5 entries.*6 rows"),
    (np.ones(7, dtype=bool), r"7 entries.*6 rows"),
    (np.ones((6, 1), dtype=bool), "one-dimensional, got 2"),
    (np.bool_(True), "one-dimensional, got 0"),
])
def test_masks_of_the_wrong_shape_raise_value_error(fakes, mask, message):
    ctx = make_context(["A"], ndays=6)
    ctx.masks["A"] = mask
    with pytest.raises(ValueError, match=message):
        ec._exec_factor(Leaf("close"), ["A"], ctx)


def test_masks_need_not_be_boolean_arrays(fakes):
    ctx = make_context(["A", "B"], ndays=5)
    ctx.masks["A"] = [True, False, True, True, False]
    ctx.masks["B"] = pd.Series([0, 1, 1, 0, 1])
    out = ec._exec_factor(Node((lambda: np.array([1.0, 2.0]), [])), ["A", "B"], ctx)
    np.testing.assert_array_equal(column(out, "A"), [np.nan, np.nan, 1, 2, np.nan])
    np.testing.assert_array_equal(column(out, "B"), [np.nan, np.nan, 1, np.nan, 2])


# ---- _exec_expr -----------------------------------------------------------------------------

def test_expr_numbers_and_other_values_pass_through_unchanged(fakes):
    ctx = make_context(["A"], ndays=3)
    for value in (5, 2.5, np.float32(1.5), True, "text", [1, 2], None, np.arange(3)):
        assert ec._exec_expr(value, "A", ctx) is value
    assert ctx.log == []


def test_expr_tuple_evaluates_arguments_in_order_and_passes_them_positionally(fakes):
    ctx = make_context(["A"], ndays=4)
    seen = []

    def kernel(*args):
        seen.append(args)
        return "result"

    close, open_ = Leaf("close"), Leaf("open")
    inner = (lambda a, b: a - b, (close, open_))
    expr = (kernel, [3, inner, "raw", [1, 2], open_])
    assert ec._exec_expr(expr, "A", ctx) == "result"
    (args,) = seen
    assert args[0] == 3 and args[2] == "raw" and args[3] == [1, 2]
    c, o = (ctx.fields[k]["A"].to_numpy() for k in ("close", "open"))
    np.testing.assert_array_equal(args[1], c - o)
    np.testing.assert_array_equal(args[4], o)
    # generators and tuple subclasses work like the interpreter's unpacking
    Pair = collections.namedtuple("Pair", "func args")
    assert ec._exec_expr(Pair(lambda *a: sum(a), (x for x in (1, 2, 3))), "A", ctx) == 6


@pytest.mark.parametrize("expr, message", [
    ((len,), "not enough values to unpack"),
    ((len, [], 1), "too many values to unpack"),
    ((), "not enough values to unpack"),
])
def test_expr_tuples_of_the_wrong_length_raise_the_unpacking_error(fakes, expr, message):
    with pytest.raises(ValueError, match=message):
        ec._exec_expr(expr, "A", make_context(["A"]))


def test_kernel_errors_reach_the_caller_unchanged(fakes):
    class Boom(Exception):
        pass

    def kernel(x):
        raise Boom("kernel failed")

    with pytest.raises(Boom, match="kernel failed"):
        ec._exec_factor(Node((kernel, [Leaf("close")])), IDS, make_context(IDS))


def test_deeply_nested_expressions_raise_recursion_error_instead_of_crashing(fakes):
    expr = 1.0
    for _ in range(100_000):
        expr = (lambda x: x, [expr])
    with pytest.raises(RecursionError):
        ec._exec_expr(expr, "A", make_context(["A"]))


# ---- cross-sectional and fixed nodes ------------------------------------------------------

def test_cross_sectional_top_node_masks_inputs_and_calls_execute_in_order(fakes):
    ctx = make_context(IDS, ndays=5, gaps={"C": [0]})
    universe = pd.DataFrame(True, index=ctx.index, columns=IDS)
    universe.iloc[2, 1] = False
    ctx.universe_mask = universe
    close, open_ = Leaf("close"), Leaf("open")
    cs = CrossSectional([close, open_], lambda a, b: a - b)
    out = ec._exec_factor(cs, IDS, ctx)
    (frames,) = cs.calls
    assert len(frames) == 2
    assert np.isnan(frames[0].iloc[2, 1]) and np.isnan(frames[1].iloc[2, 1])
    assert np.isnan(frames[0].loc[ctx.index[0], "C"])  # invalid row of the leaf
    want = (ctx.fields["close"] - ctx.fields["open"]).where(universe)
    want.loc[want.index[0], "C"] = np.nan
    pd.testing.assert_frame_equal(out, want, check_freq=False)


def test_shared_cross_sectional_dependency_is_evaluated_once_and_served(fakes):
    ctx = make_context(IDS, ndays=6, gaps={"A": [5]})
    cs = CrossSectional([Leaf("close")], rank_pct)
    node = Node((lambda a, b: a + b, [cs, cs]), dependencies=[cs, cs, Leaf("close")])
    out = ec._exec_factor(node, IDS, ctx)
    assert len(cs.calls) == 1
    assert [e for e in ctx.log if e[0] == "update"] == [("update", cs)]
    ranks = rank_pct(ctx.fields["close"].where(pd.DataFrame(ctx.masks, index=ctx.index)))
    pd.testing.assert_frame_equal(out, (2 * ranks).where(pd.DataFrame(ctx.masks,
                                                                      index=ctx.index)),
                                  check_freq=False)


def test_fixed_node_over_plain_factor_is_one_instrument_series(fakes):
    ctx = make_context(IDS, ndays=6, gaps={"A": [0, 1], "B": [0, 1]})
    inner = Node((lambda x: x * 10, [Leaf("close")]))
    fixed = Fixed(inner, "B")
    got = ec._exec_fixed(fixed, IDS, ctx)
    np.testing.assert_array_equal(got, ctx.fields["close"]["B"].to_numpy()[2:] * 10)
    assert ("mask", "B") not in ctx.log  # no mask and no alignment for the inner expression

    node = Node((lambda a, b: a - b, [Leaf("close"), fixed]), dependencies=[fixed])
    out = ec._exec_factor(node, ["A"], ctx)
    close = ctx.fields["close"]
    want = np.full(6, np.nan)
    want[2:] = close["A"].to_numpy()[2:] - close["B"].to_numpy()[2:] * 10
    np.testing.assert_allclose(column(out, "A"), want, rtol=1e-12)


def test_fixed_node_over_cross_sectional_factor_takes_its_column(fakes):
    ctx = make_context(IDS, ndays=4)
    cs = CrossSectional([Leaf("close")], rank_pct)
    got = ec._exec_fixed(Fixed(cs, "C"), IDS, ctx)
    pd.testing.assert_series_equal(got, rank_pct(ctx.fields["close"])["C"], check_freq=False)
    with pytest.raises(KeyError):
        ec._exec_fixed(Fixed(cs, "Z"), IDS, ctx)


# ---- replaced names -----------------------------------------------------------------------

def test_replaced_numpy_is_used_and_gives_the_same_frame(fakes, monkeypatch):
    ctx = make_context(IDS, ndays=9, gaps={"A": [0, 4], "B": range(3, 9), "C": [8]})
    node = Node((window_sum(3), [Leaf("close"), 3]), shift=2)
    native = ec._exec_factor(node, IDS, ctx)

    used = collections.Counter()

    def recording(name):
        def call(*args, **kwargs):
            used[name] += 1
            return getattr(np, name)(*args, **kwargs)
        return call

    fake_np = types.SimpleNamespace(nan=np.nan, full=recording("full"),
                                    nonzero=recording("nonzero"))
    monkeypatch.setattr(ec, "np", fake_np)
    through_fake = ec._exec_factor(node, IDS, ctx)
    assert used == {"full": 1, "nonzero": 3}
    pd.testing.assert_frame_equal(through_fake, native)
    # and both agree with a plain transcription of the loop
    reference = reference_exec_factor(node, IDS, ctx, ec._exec_expr)
    pd.testing.assert_frame_equal(native, reference)


def test_replaced_exec_expr_is_called_per_evaluated_instrument(fakes, monkeypatch):
    ctx = make_context(IDS, ndays=4, gaps={"C": range(4)})
    seen = []

    def fake_exec_expr(expr, order_book_id, exec_context):
        seen.append(order_book_id)
        return 1.5

    monkeypatch.setattr(ec, "_exec_expr", fake_exec_expr)
    out = ec._exec_factor(Leaf("close"), IDS, ctx)
    assert seen == ["A", "B"]
    assert (out[["A", "B"]] == 1.5).all().all() and out["C"].isna().all()


def test_random_trees_match_the_plain_transcription(fakes):
    rng = np.random.default_rng(7)
    ids = ["I{}".format(k) for k in range(25)]
    ctx = make_context(ids, ndays=30, seed=3)
    for oid in ids:
        ctx.masks[oid] = rng.random(30) < rng.uniform(0.0, 1.0)
    for window in (1, 2, 5, 9):
        node = Node((lambda c, o, n: window_sum(n)(c - o, n),
                     [Leaf("close"), Leaf("open"), window]), shift=window - 1)
        got = ec._exec_factor(node, ids, ctx)
        want = reference_exec_factor(node, ids, ctx, ec._exec_expr)
        pd.testing.assert_frame_equal(got, want)


def test_deeply_nested_cross_sectional_nodes_raise_recursion_error(fakes):
    node = Leaf("close")
    for _ in range(50_000):
        node = CrossSectional([node], lambda frame: frame)
    with pytest.raises(RecursionError):
        ec._exec_factor(node, ["A"], make_context(["A"]))


def test_replaced_cross_sectional_and_fixed_evaluators_are_used(fakes, monkeypatch):
    ctx = make_context(IDS, ndays=4)
    cs = CrossSectional([Leaf("close")], rank_pct)
    fixed = Fixed(Leaf("close"), "A")
    calls = []

    def fake_cs(factor, order_book_ids, exec_context):
        calls.append(("cs", factor))
        return 0.5

    def fake_fixed(factor, order_book_ids, exec_context):
        calls.append(("fixed", factor))
        return 2.0

    monkeypatch.setattr(ec, "_exec_cross_sectional", fake_cs)
    monkeypatch.setattr(ec, "_exec_fixed", fake_fixed)
    node = Node((lambda a, b: a * b, [cs, fixed]), dependencies=[cs, fixed])
    out = ec._exec_factor(node, IDS, ctx)
    assert sorted(c[0] for c in calls) == ["cs", "fixed"]
    assert (out == 1.0).all().all()
    assert ec._exec_factor(cs, IDS, ctx) == 0.5


def test_native_writes_and_numpy_indexing_agree_on_every_kind_of_result(fakes, monkeypatch):
    """The native column writer must give exactly what the array library's own
    assignment gives (values or error), which the engine uses with a replaced np."""
    ctx = make_context(["A", "B"], ndays=8, gaps={"A": [0, 3, 5], "B": range(8)})
    results = [np.arange(n, dtype=float) + 0.5 for n in range(8)] + [
        np.ones((2, 1)), np.ones((1, 3)), np.array(2.0), [1, 2], (3.0,), "ab", None,
        np.bool_(True), np.array([True, False]), np.array(["x"]), np.array([1 + 2j]),
        np.arange(6, dtype=np.int8)[::-2], 4, -0.0, np.float32(1.5),
    ]
    passthrough = types.SimpleNamespace(nan=np.nan, full=np.full, nonzero=np.nonzero)

    def outcome(result):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return ec._exec_factor(Node((lambda: result, [])), ["A", "B"], ctx)
        except Exception as exc:  # the comparison is about which error, not whether
            return type(exc), str(exc)

    for result in results:
        native = outcome(result)
        with monkeypatch.context() as patched:
            patched.setattr(ec, "np", passthrough)
            through_numpy = outcome(result)
        if isinstance(native, pd.DataFrame):
            assert isinstance(through_numpy, pd.DataFrame), (result, through_numpy)
            pd.testing.assert_frame_equal(native, through_numpy)
        else:
            assert native == through_numpy, result
