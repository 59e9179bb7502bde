import numpy as np
import pytest

from alvora import leaf
from alvora.cross_sectional import CS_RANK
from alvora.fix import FIX
from alvora.interface import ShiftedFactor
from alvora.leaf import Factor, close, volume
from alvora.utils import (get_fixed_order_book_ids, get_leaves, is_cross_sectional, iter_nodes,
                          rolling_window, use_dma)

from _model_helpers import Windowed, window_sum

opn = leaf.open


class Warm(Windowed):
    use_dma = True


def test_leaves_reach_every_corner_once():
    tree = (close - Windowed(window_sum, 3, opn)) + CS_RANK(volume * Factor("pe")) \
        + FIX(Factor("high") + close, "IDX") + ShiftedFactor(Factor("low"), 2)
    leaves = get_leaves(tree)
    assert leaves == [close, opn, volume, Factor("pe"), Factor("high"), Factor("low")]
    assert get_leaves(close) == [close]


def test_leaves_of_combined_nodes_with_lists():
    class Pair(Windowed):
        def __init__(self, *factors):
            self._factors = list(factors)

    assert get_leaves(Pair(close, Pair(opn, close))) == [close, opn]


def test_use_dma_marks():
    assert not use_dma(close - Windowed(window_sum, 3, opn))
    assert use_dma(close - Warm(window_sum, 3, opn))
    assert use_dma(CS_RANK(Warm(window_sum, 3, opn)))
    node = Windowed(window_sum, 3, close)
    node.use_dma = True  # per node as well as per class
    assert use_dma(node + 1)


def test_is_cross_sectional():
    assert is_cross_sectional(CS_RANK(close))
    assert is_cross_sectional(CS_RANK(close) * 2)
    assert not is_cross_sectional(close * 2)
    assert not is_cross_sectional(FIX(close, "IDX"))


def test_fixed_order_book_ids():
    tree = FIX(close, "IDX") + FIX(opn, "B") + FIX(volume, "IDX") + CS_RANK(FIX(close, "Z"))
    assert get_fixed_order_book_ids(tree, ["A", "B"]) == ["IDX", "Z"]
    assert get_fixed_order_book_ids(tree, ["IDX", "B", "Z"]) == []
    assert get_fixed_order_book_ids(close, []) == []


def test_helpers_refuse_non_nodes():
    for fn in (get_leaves, use_dma, is_cross_sectional):
        with pytest.raises(TypeError, match="expect a factor node"):
            fn("close")


def test_shared_subtrees_are_visited_once():
    shared = close - opn
    tree = shared * shared + shared
    assert sum(1 for n in iter_nodes(tree) if n is shared) == 1


class TestRollingWindow:
    def test_matrix_layout(self):
        x = np.arange(6.0)
        m = rolling_window(x, 4)
        assert m.shape == (3, 4)
        np.testing.assert_array_equal(m[1], [1, 2, 3, 4])
        assert np.shares_memory(m, x) and not m.flags.writeable
        np.testing.assert_array_equal(rolling_window(x, 6), [x])
        np.testing.assert_array_equal(rolling_window(x, 1)[:, 0], x)
        assert rolling_window([True, False, True], np.int64(2)).dtype == bool

    @pytest.mark.parametrize("x, n, exc, message", [
        (np.zeros((2, 3)), 1, ValueError, "expect a one-dimensional series, got 2 dimensions"),
        (np.float64(1.0), 1, ValueError, "expect a one-dimensional series, got 0 dimensions"),
        (np.zeros(5), 2.0, TypeError, "window must be an integer, got float"),
        (np.zeros(5), True, TypeError, "window must be an integer, got bool"),
        (np.zeros(5), None, TypeError, "window must be an integer, got NoneType"),
        (np.zeros(5), 0, ValueError, "window must be at least 1, got 0"),
        (np.zeros(5), -3, ValueError, "window must be at least 1, got -3"),
        (np.zeros(5), 6, ValueError, r"window 6 is longer than the series \(5 values\)"),
        (np.zeros(0), 1, ValueError, r"window 1 is longer than the series \(0 values\)"),
        (np.zeros(5), 2 ** 62, ValueError, "longer than the series"),
    ])
    def test_errors(self, x, n, exc, message):
        with pytest.raises(exc, match=message):
            rolling_window(x, n)
