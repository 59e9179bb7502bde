import pickle

import numpy as np
import pandas as pd
import pytest

from alvora import leaf
from alvora.cross_sectional import CS_DEMEAN, CS_RANK, CS_SCALE, CS_ZSCORE, CrossSectionalFactor
from alvora.fix import FIX, FixedFactor
from alvora.interface import (BinaryCombinedFactor, LeafFactor, ShiftedFactor,
                              UnaryCombinedFactor, drop_oldest)
from alvora.leaf import Factor, _Factor, close, volume

from _model_helpers import Windowed, window_sum

opn = leaf.open


def run(expr, series):
    """Evaluate an expression for one instrument whose leaves map to series."""
    if isinstance(expr, LeafFactor):
        return series[expr.name]
    if not isinstance(expr, tuple):
        return expr
    func, args = expr
    return func(*[run(a, series) for a in args])


class TestLeaves:
    def test_leaf_protocol(self):
        assert close.expr is close
        assert close.shift == 0
        assert close.dependencies == [close]
        assert repr(close) == "close" and repr(opn) == "open"
        assert Factor("pe_ratio").name == "pe_ratio"

    @pytest.mark.parametrize("bad, exc", [(3, TypeError), ("", ValueError), (None, TypeError)])
    def test_bad_names(self, bad, exc):
        with pytest.raises(exc):
            _Factor(bad)

    def test_star_import_keeps_builtin_open(self):
        ns = {}
        exec("from alvora.leaf import *", ns)
        assert "open" not in ns and ns["close"] == close

class TestStructuralIdentity:
    def test_equal_trees_hash_and_dedupe(self):
        a = (close - opn) / Factor("volume")
        b = (Factor("close") - Factor("open")) / volume
        assert a == b and hash(a) == hash(b)
        assert len({a, b, close - opn}) == 2
        assert a != (close - opn) * volume
        assert close in {Factor("close")}
        assert (close + 1) != (close + 2) and (close + 1) != (1 + close)

    def test_nan_constants_compare_equal(self):
        assert close + float("nan") == close + float("nan")
        assert hash(close + float("nan")) == hash(close + float("nan"))

    def test_comparisons_with_non_nodes(self):
        assert (close == 3) is False
        assert close != "close"
        assert close not in [1, "close", None]

    def test_truth_value_is_refused(self):
        with pytest.raises(TypeError, match="truth value"):
            bool(close > opn)

    def test_equality_builders(self):
        node = close.equal(3)
        assert isinstance(node, BinaryCombinedFactor) and node._op is np.equal
        assert run(node.expr, {"close": np.array([3.0, 4.0])}).tolist() == [True, False]
        assert close.not_equal(opn)._op is np.not_equal
        with pytest.raises(TypeError):
            close.equal("x")


class TestBinaryNodes:
    def test_arithmetic_builds_ufunc_nodes(self):
        cases = {
            close + 1: np.add, 1 + close: np.add, close - opn: np.subtract,
            2 - close: np.subtract, close * 2: np.multiply, close / opn: np.true_divide,
            1 / close: np.true_divide, close ** 2: np.power, 2 ** close: np.power,
            close < 1: np.less, close <= 1: np.less_equal, close > opn: np.greater,
            close >= 1: np.greater_equal, (close > 1) & (opn > 1): np.logical_and,
            (close > 1) | (opn > 1): np.logical_or,
        }
        for node, op in cases.items():
            assert isinstance(node, BinaryCombinedFactor) and node._op is op

    def test_reflected_operands_keep_order(self):
        x = {"close": np.array([1.0, 2.0, 4.0])}
        np.testing.assert_allclose(run((10 - close).expr, x), [9, 8, 6])
        np.testing.assert_allclose(run((1 / close).expr, x), [1, 0.5, 0.25])
        np.testing.assert_allclose(run((2 ** close).expr, x), [2, 4, 16])
        np.testing.assert_array_equal(run((3 < close).expr, x), [False, False, True])

    def test_numpy_scalars_on_the_left_defer_to_the_node(self):
        node = np.float64(2.0) * close
        assert isinstance(node, BinaryCombinedFactor)
        assert repr(node) == "(2.0 * close)"

    def test_unsupported_operands(self):
        with pytest.raises(TypeError):
            close + "x"
        with pytest.raises(TypeError):
            close + np.array([1.0])
        with pytest.raises(TypeError):
            BinaryCombinedFactor(np.add, close, "x")
        with pytest.raises(TypeError):
            BinaryCombinedFactor("add", close, 1)

    def test_unary_nodes(self):
        x = {"close": np.array([-1.0, 2.0])}
        assert isinstance(-close, UnaryCombinedFactor)
        np.testing.assert_allclose(run((-close).expr, x), [1, -2])
        np.testing.assert_allclose(run(abs(close).expr, x), [1, 2])
        np.testing.assert_array_equal(run((~(close > 0)).expr, x), [True, False])
        assert +close is close
        assert repr(-close) == "-close" and repr(abs(close - opn)) == "abs((close - open))"

    def test_shift_dependencies_and_repr(self):
        ma5 = Windowed(window_sum, 5, close)
        node = close - ma5
        assert node.shift == 4
        assert node.dependencies == [close, close]
        assert repr(node) == "(close - window_sum(close, 5))"
        both_numbers = BinaryCombinedFactor(np.add, 1, 2)
        assert both_numbers.shift == 0 and both_numbers.dependencies == []
        assert run(both_numbers.expr, {}) == 3

    def test_lower_shift_operand_is_aligned(self):
        # close - sum5(close): both series must end on the newest row
        ma5 = Windowed(window_sum, 5, close)
        node = close - ma5
        func, (left, right) = node.expr
        assert func is np.subtract and left[0] is drop_oldest and left[1] == (close, 4)
        values = np.arange(1.0, 9.0)
        out = run(node.expr, {"close": values})
        expected = values[4:] - np.array([values[i:i + 5].sum() for i in range(4)])
        np.testing.assert_allclose(out, expected)

    def test_alignment_with_two_windows(self):
        node = Windowed(window_sum, 3, close) / Windowed(window_sum, 2, opn)
        assert node.shift == 2
        c, o = np.arange(1.0, 7.0), np.arange(10.0, 16.0)
        out = run(node.expr, {"close": c, "open": o})
        np.testing.assert_allclose(out, window_sum(c, 3) / window_sum(o, 2)[1:])


class TestShiftedFactor:
    def test_shift_and_series(self):
        s = ShiftedFactor(Windowed(window_sum, 3, close), 2)
        assert s.shift == 4 and s.dependencies == [close]
        out = run(s.expr, {"close": np.arange(1.0, 8.0)})
        np.testing.assert_allclose(out, [12, 15, 18])  # oldest two window sums dropped
        assert repr(s) == "ShiftedFactor(window_sum(close, 3), 2)"

    def test_constants_pass_through(self):
        assert drop_oldest(5.0, 3) == 5.0

    @pytest.mark.parametrize("n, exc", [(0, ValueError), (-1, ValueError), (1.5, TypeError),
                                        (True, TypeError), ("2", TypeError)])
    def test_bad_counts(self, n, exc):
        with pytest.raises(exc):
            ShiftedFactor(close, n)

    def test_needs_a_node(self):
        with pytest.raises(TypeError):
            ShiftedFactor(3.0, 1)
        assert ShiftedFactor(close, np.int64(2)).shift == 2


class TestTerminalNodes:
    def test_cross_sectional_protocol(self):
        node = CS_RANK(close - opn)
        assert isinstance(node, CrossSectionalFactor)
        assert node.expr is node and node.shift == 0 and node.dependencies == [node]
        assert node.sub_factors == (close - opn,)
        assert repr(node) == "CS_RANK((close - open))"
        assert CS_RANK(close) == CS_RANK(Factor("close")) and CS_RANK(close) != CS_ZSCORE(close)

    def test_cross_sectional_validation(self):
        with pytest.raises(ValueError):
            CrossSectionalFactor(lambda f: f)
        with pytest.raises(TypeError):
            CrossSectionalFactor(lambda f: f, 3)
        with pytest.raises(TypeError):
            CrossSectionalFactor("rank", close)

    def test_execute_checks_its_result(self):
        frame = pd.DataFrame([[1.0, 2.0]], index=pd.to_datetime(["2024-01-02"]), columns=["A", "B"])
        with pytest.raises(TypeError, match="expected a DataFrame"):
            CrossSectionalFactor(lambda f: f.values, close).execute(frame)
        with pytest.raises(ValueError, match="does not match"):
            CrossSectionalFactor(lambda f: f[["A"]], close).execute(frame)
        with pytest.raises(ValueError, match="expected 1 frames"):
            CS_RANK(close).execute(frame, frame)

    def test_fixed_protocol(self):
        node = FIX(close, "000300.XSHG")
        assert isinstance(node, FixedFactor)
        assert node.expr is node and node.shift == 0 and node.dependencies == [node]
        assert node.factor is close and node.order_book_id == "000300.XSHG"
        assert FIX(close, "X") == FixedFactor(close, "X") and FIX(close, "X") != FIX(close, "Y")
        with pytest.raises(TypeError):
            FixedFactor(close, 300)
        with pytest.raises(TypeError):
            FixedFactor("close", "X")

    def test_fixed_over_cross_sectional_tree_is_wrapped(self):
        inner = CS_RANK(close) * 2
        node = FIX(inner, "A")
        assert isinstance(node.factor, CrossSectionalFactor)
        assert node.factor.sub_factors == (inner,)
        assert repr(node) == "FIX((CS_RANK(close) * 2), 'A')"
        plain = FIX(CS_RANK(close), "A")
        assert plain.factor == CS_RANK(close)


class TestPickling:
    def test_trees_round_trip(self):
        trees = [
            close,
            (close - opn) / volume,
            -abs(close) ** 2,
            ShiftedFactor(close, 3) + 1,
            CS_ZSCORE(close - Windowed(window_sum, 3, opn)),
            FIX(CS_RANK(close) * 2, "A") + close.equal(4),
        ]
        for tree in trees:
            back = pickle.loads(pickle.dumps(tree))
            assert back == tree and hash(back) == hash(tree) and repr(back) == repr(tree)


class TestCrossSectionalOperators:
    frame = pd.DataFrame(
        [[1.0, 2.0, 3.0, np.nan], [np.inf, 1.0, 3.0, 5.0], [np.nan] * 4, [2.0, 2.0, 2.0, 2.0]],
        index=pd.bdate_range("2024-01-01", periods=4), columns=list("abcd"))

    def test_rank(self):
        out = CS_RANK(close).execute(self.frame)
        np.testing.assert_allclose(out.iloc[0, :3], [1 / 3, 2 / 3, 1.0])
        assert np.isnan(out.iloc[0, 3]) and out.iloc[1, 0] == 1.0
        assert out.iloc[2].isna().all()
        np.testing.assert_allclose(out.iloc[3], [0.625] * 4)

    def test_zscore_demean_scale(self):
        z = CS_ZSCORE(close).execute(self.frame)
        np.testing.assert_allclose(z.iloc[0, :3], [-1.0, 0.0, 1.0])
        # the infinity counts as missing instead of poisoning the date
        assert np.isnan(z.iloc[1, 0])
        np.testing.assert_allclose(z.iloc[1, 1:], [-1.0, 0.0, 1.0])
        assert z.iloc[2].isna().all() and z.iloc[3].isna().all()  # empty / no dispersion
        d = CS_DEMEAN(close).execute(self.frame)
        np.testing.assert_allclose(d.iloc[0, :3], [-1.0, 0.0, 1.0])
        np.testing.assert_allclose(d.iloc[3], [0.0] * 4)
        s = CS_SCALE(close).execute(self.frame)
        np.testing.assert_allclose(s.iloc[0, :3], [1 / 6, 2 / 6, 3 / 6])
        np.testing.assert_allclose(s.iloc[1, 1:], [1 / 9, 3 / 9, 5 / 9])
        zero = CS_SCALE(close).execute(self.frame * 0)
        assert zero.isna().all().all()
        assert self.frame.iloc[1, 0] == np.inf  # input untouched
