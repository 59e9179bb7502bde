"""Rolling nodes and the operator catalogue of alvora.rolling."""
import pickle
import subprocess
import sys

import numpy as np
import pytest

from alvora import rolling
from alvora.interface import AbstractFactor, BinaryCombinedFactor, LeafFactor, ShiftedFactor


class Leaf(LeafFactor):
    """A named leaf whose look-back can be changed by a test."""

    def __init__(self, name, shift=0):
        self.name = name
        self._fake_shift = shift

    @property
    def shift(self):
        return self._fake_shift

    def __repr__(self):
        return self.name


@pytest.fixture
def x():
    return Leaf("x")


@pytest.fixture
def y():
    return Leaf("y")


# ---- RollingWindowFactor ------------------------------------------------------


def test_rolling_node_attributes_and_properties(x):
    node = rolling.RollingWindowFactor(rolling.ma, 5, x)
    assert isinstance(node, AbstractFactor)
    assert list(vars(node)) == ["_func", "_factor", "_window"]
    assert node._func is rolling.ma and node._factor is x and node._window == 5
    assert node.expr == (rolling.ma, (x, 5))
    assert node.expr[1][0] is x.expr
    assert node.shift == 4
    assert node.dependencies is x.dependencies or node.dependencies == x.dependencies
    assert repr(node) == "ma(x, 5)"
    with pytest.raises(AttributeError):
        node.shift = 3


def test_rolling_shift_is_recomputed(x):
    inner = rolling.RollingWindowFactor(rolling.ma, 3, x)
    outer = rolling.RollingWindowFactor(rolling.std, 5, inner)
    assert rolling.RollingWindowFactor(rolling.ma, 1, x).shift == 0
    assert outer.shift == 6
    x._fake_shift = 10
    assert outer.shift == 16
    assert repr(outer) == "std(ma(x, 3), 5)"


def test_dependencies_object_is_passed_through():
    class Node(LeafFactor):
        deps = ["a", "b"]

        @property
        def dependencies(self):
            return self.deps

    leaf = Node()
    assert rolling.RollingWindowFactor(rolling.ma, 2, leaf).dependencies is Node.deps


def test_assertions_follow_the_interpreter_flag(x):
    with pytest.raises(AssertionError) as info:
        rolling.RollingWindowFactor(rolling.ma, 5, 3.0)
    assert info.value.args == ()
    with pytest.raises(AssertionError):
        rolling.CombinedRollingWindowFactor(rolling.correlation, 5, x, "y")
    with pytest.raises(AssertionError):
        rolling.MA(np.ones(3), 5)
    # with -O the constructor stores whatever it is given
    code = ("import alvora.rolling as r; n = r.RollingWindowFactor(r.ma, 5, 3.0); "
            "print(n._factor)")
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "3.0"


def test_window_is_not_validated(x):
    node = rolling.RollingWindowFactor(rolling.ma, "w", x)
    assert node._window == "w"
    with pytest.raises(TypeError):
        node.shift


# ---- CombinedRollingWindowFactor -----------------------------------------------


def test_combined_node_shift_alignment(x):
    ma5 = rolling.MA(x, 5)
    node = rolling.CombinedRollingWindowFactor(rolling.correlation, 10, x, ma5)
    assert list(vars(node)) == ["_func", "_window", "_factors", "_shift"]
    first, second = node._factors
    assert isinstance(first, ShiftedFactor) and first.shift == 4
    assert second is ma5
    assert node.shift == 13
    assert node.expr == (rolling.correlation, (10, first.expr, ma5.expr))
    assert repr(node) == "correlation(ShiftedFactor(x, 4), ma(x, 5))"


def test_combined_equal_shifts_stay_unwrapped(x, y):
    node = rolling.CombinedRollingWindowFactor(rolling.covariance, 20, x, y)
    assert node._factors[0] is x and node._factors[1] is y
    assert node.shift == 19
    assert node.expr == (rolling.covariance, (20, x.expr, y.expr))
    assert isinstance(node._factors, list)


def test_combined_dependencies_keep_duplicates(x):
    node = rolling.CombinedRollingWindowFactor(rolling.covariance, 3, x, x)
    deps = node.dependencies
    assert deps == x.dependencies + x.dependencies
    assert deps is not node.dependencies  # a new list each time


def test_combined_shift_is_fixed_at_construction(x, y):
    node = rolling.CORRELATION(x, y, 4)
    x._fake_shift = 7
    assert node.shift == 3


def test_combined_without_factors_fails_like_max(x):
    with pytest.raises(ValueError):
        rolling.CombinedRollingWindowFactor(rolling.covariance, 3)


def test_combined_three_arguments(x, y):
    z = Leaf("z", shift=2)
    node = rolling.CombinedRollingWindowFactor(rolling.covariance, 2, x, z, y)
    assert [f.shift for f in node._factors] == [2, 2, 2]
    assert node._factors[1] is z
    assert node.shift == 3


# ---- pickling and hashing ---------------------------------------------------------


def test_nodes_pickle_by_reference_and_hash(x, y):
    tree = rolling.CORRELATION(rolling.TS_RANK(Leaf("x"), 5), Leaf("y"), 10)
    back = pickle.loads(pickle.dumps(tree))
    assert type(back) is rolling.CombinedRollingWindowFactor
    assert back._func is rolling.correlation
    assert back._factors[0]._func is rolling.ts_rank
    assert isinstance(back._factors[1], ShiftedFactor)
    assert repr(back) == repr(tree)
    assert back.shift == tree.shift
    assert pickle.loads(pickle.dumps(rolling.ma)) is rolling.ma
    a, b = rolling.MA(x, 5), rolling.MA(x, 5)
    assert len({a, b, rolling.MA(x, 6)}) == 2
    assert rolling.RollingWindowFactor.__module__ == "alvora.rolling"


# ---- operators ----------------------------------------------------------------------

EXPECTED_ALL = [
    "COUNT", "TS_RANK", "EVERY", "PRODUCT", "COV", "COVARIANCE", "TS_REGRESSION",
    "TS_ZSCORE", "TS_SKEW", "TS_KURT", "AVEDEV", "TS_ARGMAX", "TS_ARGMIN", "CORR",
    "CORRELATION", "MA", "EMA", "WMA", "SMA", "STD", "STDDEV", "VAR", "DECAY_LINEAR",
    "SLOPE", "SUM", "TS_MIN", "TS_MAX", "HHV", "LLV",
]

SINGLE = {
    "COUNT": ("count", "滑动真值计数"), "TS_RANK": ("ts_rank", "滑动排序（在时间序列上）"),
    "PRODUCT": ("product", "滑动乘积"), "TS_ZSCORE": ("zscore", "滑动z分数"),
    "TS_SKEW": ("skew", "滑动偏度"), "TS_KURT": ("kurt", "滑动峰度"),
    "AVEDEV": ("avedev", "滑动平均绝对离差"), "TS_ARGMAX": ("ts_argmax", "滑动最大值索引"),
    "TS_ARGMIN": ("ts_argmin", "滑动最小值索引"), "MA": ("ma", "简单移动平均"),
    "EMA": ("ema", "指数移动平均 (平滑系数=2)"), "WMA": ("wma", "加权移动平均"),
    "STD": ("std", "移动标准差"), "VAR": ("var", "移动方差"),
    "SLOPE": ("slope", "滑动线性拟合斜率"), "SUM": ("sum", "滑动求和"),
    "TS_MIN": ("ts_min", "滑动最小值"), "TS_MAX": ("ts_max", "滑动最大值"),
}
PAIR = {"COVARIANCE": ("covariance", "滑动协方差"),
        "CORRELATION": ("correlation", "滑动皮尔逊相关系数")}


def test_all_and_star_import():
    assert rolling.__all__ == EXPECTED_ALL
    namespace = {}
    exec("from alvora.rolling import *", namespace)
    namespace.pop("__builtins__")
    assert sorted(namespace) == sorted(EXPECTED_ALL)


def test_aliases_are_the_same_functions():
    assert rolling.SMA is rolling.MA and rolling.SMA.__name__ == "MA"
    assert rolling.COV is rolling.COVARIANCE
    assert rolling.CORR is rolling.CORRELATION
    assert rolling.DECAY_LINEAR is rolling.WMA
    assert rolling.STDDEV is rolling.STD
    assert rolling.HHV is rolling.TS_MAX
    assert rolling.LLV is rolling.TS_MIN


@pytest.mark.parametrize("name", sorted(SINGLE))
def test_single_factor_operators(name, x):
    kernel, summary = SINGLE[name]
    op = getattr(rolling, name)
    node = op(x, 7)
    assert type(node) is rolling.RollingWindowFactor
    assert node._func is getattr(rolling, kernel) and node._window == 7 and node._factor is x
    doc = op.__doc__
    assert doc.splitlines()[0] == summary
    for section in ("Parameters\n----------", "Returns\n-------",
                    "alvora.rolling.RollingWindowFactor",
                    "factor : alvora.interface.AbstractFactor", "window : int"):
        assert section in doc


def test_pair_operators_and_regression_order(x, y):
    for name, (kernel, summary) in PAIR.items():
        op = getattr(rolling, name)
        node = op(x, y, 10)
        assert type(node) is rolling.CombinedRollingWindowFactor
        assert node._func is getattr(rolling, kernel) and node._factors == [x, y]
        assert op.__doc__.splitlines()[0] == summary
        assert "alvora.rolling.CombinedRollingWindowFactor" in op.__doc__
        assert op(a=x, b=y, window=3)._window == 3
    assert rolling.TS_REGRESSION(y, x, 20)._factors == [x, y]
    assert rolling.TS_REGRESSION(x, y, 20)._factors == [y, x]
    assert rolling.TS_REGRESSION(Y=y, X=x, window=20)._func is rolling.regression
    assert rolling.TS_REGRESSION.__doc__.splitlines()[0] == "滑动拟合回归"


def test_argmax_takes_n_not_window(x):
    assert rolling.TS_ARGMAX(x, 5)._window == 5
    assert rolling.TS_ARGMAX(x, n=5)._window == 5
    assert rolling.TS_ARGMIN(factor=x, n=4)._window == 4
    with pytest.raises(TypeError):
        rolling.TS_ARGMAX(x, window=5)
    assert "See also\n--------\nTS_ARGMIN: vice versa" in rolling.TS_ARGMAX.__doc__
    assert "See also\n--------\nTS_ARGMAX: vice versa" in rolling.TS_ARGMIN.__doc__


def test_bad_operator_calls(x):
    with pytest.raises(TypeError):
        rolling.MA(x)
    with pytest.raises(TypeError):
        rolling.MA(x, 5, 6)
    with pytest.raises(TypeError):
        rolling.MA(x, size=5)


def test_every_builds_an_equality_with_count(x):
    node = rolling.EVERY(x, 5)
    assert type(node) is BinaryCombinedFactor
    assert node._op is np.equal and node._right == 5
    assert type(node._left) is rolling.RollingWindowFactor
    assert node._left._func is rolling.count and node._left._window == 5
    assert rolling.EVERY.__doc__.splitlines()[0] == "滑动计数全部为真"
    assert "alvora.interface.BinaryCombinedFactor" in rolling.EVERY.__doc__
    # evaluated by hand the way the engine does: true where all three are non-zero
    series = np.array([1.0, 2.0, 0.0, 3.0, 4.0, 5.0])
    counted = rolling.count(series, 3)
    assert np.equal(counted, 3).tolist() == [False, False, False, True]


def test_operators_look_up_names_at_call_time(monkeypatch, x):
    def fake_ma(s, n):
        return s

    monkeypatch.setattr(rolling, "ma", fake_ma)
    assert rolling.MA(x, 5)._func is fake_ma
    built = []

    class FakeNode:
        def __init__(self, *args):
            built.append(args)

    monkeypatch.setattr(rolling, "RollingWindowFactor", FakeNode)
    rolling.STD(x, 3)
    assert built == [(rolling.std, 3, x)]
    monkeypatch.setattr(rolling, "COUNT", lambda f, w: ("count", f, w))
    monkeypatch.setattr(rolling, "BinaryCombinedFactor", lambda *a: a)
    assert rolling.EVERY(x, 2) == (np.equal, ("count", x, 2), 2)


def test_class_docstrings():
    doc = rolling.RollingWindowFactor.__doc__
    assert doc.startswith("滑动窗口因子类")
    for part in ("func : function", "函数", "window : int", "窗口大小",
                 "factor : alvora.interface.AbstractFactor"):
        assert part in doc
    doc = rolling.CombinedRollingWindowFactor.__doc__
    assert doc.startswith("组合滑动因子类")
    assert "args : alvora.interface.AbstractFactor" in doc
    assert "Note\n----\nargs中所有参数都必须为AbstractFactor的子类对象" in doc
