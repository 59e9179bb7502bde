"""Long and deep factor trees, and the look-back of trees over cross-sectional
and fixed nodes, on the embedded market."""
import functools
import operator
import pickle
import sys

import numpy as np
import pytest

from alvora import rolling
from alvora.cross_sectional import CS_RANK
from alvora.engine_v2.eval_core import execute_factor
from alvora.expression import ExpressionError, parse_factor
from alvora.expression_eval import evaluate_factor
from alvora.fix import FIX
from alvora.interface import MAX_DEPTH, ChainCombinedFactor, ExpressionDepthError
from alvora.interface import _depth_of as _depth
from alvora.leaf import close
import tessal

START, END = "2019-01-02", "2019-03-29"


@pytest.fixture(scope="module")
def ids():
    tessal.init(None)
    return list(tessal.all_instruments("CS")["order_book_id"][:12])


def test_long_chains_parse_build_and_evaluate(ids):
    text = "+".join(["close"] * 6000)  # 12,000 nodes written out
    parsed = parse_factor(text)
    built = functools.reduce(operator.add, [close] * 6000)
    assert isinstance(parsed, ChainCombinedFactor) and parsed == built
    got = execute_factor(parsed, ids, START, END)
    base = execute_factor(close, ids, START, END)
    np.testing.assert_allclose(got, base * 6000, rtol=1e-12)
    mixed = parse_factor("close - " + " - ".join(["MA(close, 3)"] * 2000))
    np.testing.assert_allclose(execute_factor(mixed, ids, START, END),
                               base - 2000 * execute_factor(parse_factor("MA(close, 3)"), ids,
                                                            START, END), rtol=1e-9)


@pytest.mark.parametrize("kind", ["negation", "rank", "rolling", "power", "fixed", "mixed"])
def test_trees_at_the_depth_limit_work_everywhere(ids, kind):
    build = {"negation": lambda f: -f, "rank": CS_RANK, "rolling": lambda f: rolling.MA(f, 1),
             "power": lambda f: f ** 1, "fixed": lambda f: FIX(f, ids[0]),
             "mixed": lambda f: CS_RANK(f) * 1}[kind]
    deep = close
    while True:  # as deep as allowed
        try:
            deep = build(deep)
        except ExpressionDepthError:
            break
    assert MAX_DEPTH - 2 <= _depth(deep) <= MAX_DEPTH
    copy = pickle.loads(pickle.dumps(deep))
    assert copy == deep and hash(copy) == hash(deep) and repr(copy) == repr(deep)
    got = execute_factor(deep, ids, START, "2019-01-31")
    assert got.shape[0] > 15 and got.notna().to_numpy().any()
    np.testing.assert_allclose(got, evaluate_factor(deep, ids, START, "2019-01-31"))


@pytest.mark.parametrize("build", [lambda f: -f, CS_RANK, lambda f: f ** 2,
                                   lambda f: rolling.MA(f, 2)])
def test_too_deep_trees_are_refused_not_crashed(build):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(100000)
    try:
        node = close
        with pytest.raises(ExpressionDepthError, match="nested too deeply"):
            for _ in range(20000):
                node = build(node)
    finally:
        sys.setrecursionlimit(old)
    with pytest.raises(ExpressionError, match="nested too deeply"):
        parse_factor("CS_RANK(" * 150 + "-" * (MAX_DEPTH - 100) + "close" + ")" * 150)


@pytest.mark.parametrize("text", [
    "CS_RANK(MA(close, 20))",
    "TS_RANK(CS_RANK(MA(close, 20)), 9)",
    "MA(FIX(MA(close, 10), '{first}'), 5) - close",
])
def test_look_back_under_cross_sectional_and_fixed_nodes(ids, text):
    factor = parse_factor(text.format(first=ids[0]))
    got = execute_factor(factor, ids, START, END)
    earlier = execute_factor(factor, ids, "2018-06-01", END).loc[got.index[0]:]
    assert not got.iloc[0].isna().all()
    # instruments that traded on every date compare exactly with a run started earlier
    prices = execute_factor(close, ids, "2018-06-01", END)
    full = prices.columns[prices.notna().all()]
    assert len(full) >= 3
    np.testing.assert_allclose(got[full], earlier[full], rtol=1e-12)
