"""The Python fallback evaluator and the compiled engine agree on real data,
through the execution context, for trees that use every kind of node."""
import numpy as np
import pandas as pd
import pytest

import tessal
from alvora import leaf
from alvora.cross_sectional import CS_RANK, CS_ZSCORE
from alvora.expression_eval import evaluate_factor
from alvora.fix import FIX
from alvora.leaf import Factor, close, volume

from _model_helpers import Windowed, window_sum

eval_core = pytest.importorskip("alvora.engine_v2.eval_core")


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    path = tmp_path_factory.mktemp("model_eval") / "market"
    tessal.bundle.generate_market(str(path), n_instruments=30, start="2023-01-03",
                                  end="2023-06-30", seed=5)
    tessal.init(str(path))
    yield
    tessal.init(None)


TREES = {
    "leaf": close,
    "aligned windows": close - Windowed(window_sum, 5, close) / 5,
    "two windows": Windowed(window_sum, 3, close) / Windowed(window_sum, 7, volume),
    "cross-sectional": CS_RANK(close / leaf.open - 1) * Windowed(window_sum, 2, close),
    "fixed index": close / FIX(Windowed(window_sum, 3, close), "000300.XSHG"),
    "fixed over cross-section": FIX(CS_ZSCORE(volume), "000002.XSHE") + 0 * close,
    "stored factor inside": Factor("pe_ratio") * (close > 0),
}


@pytest.mark.parametrize("name", list(TREES))
def test_fallback_matches_engine(market, name):
    tree = TREES[name]
    ids = list(tessal.all_instruments(type="CS")["order_book_id"])[:12]
    start, end = "2023-03-01", "2023-06-30"
    ours = evaluate_factor(tree, ids, start, end)
    engine = eval_core.execute_factor(tree, ids, start, end)
    assert list(ours.columns) == ids and ours.index.equals(engine.index)
    assert ours.index[0] >= pd.Timestamp(start)
    np.testing.assert_allclose(ours.to_numpy(), engine.to_numpy(), rtol=1e-12, equal_nan=True)
    assert np.isfinite(ours.to_numpy()).mean() > 0.5


def test_window_values_by_hand(market):
    ids = ["000001.XSHE"]
    out = evaluate_factor(Windowed(window_sum, 3, close), ids, "2023-04-03", "2023-04-28")
    panel = tessal.get_panel("close", ids, "2023-03-01", "2023-04-28")["000001.XSHE"]
    traded = panel[tessal.get_panel("volume", ids, "2023-03-01", "2023-04-28")["000001.XSHE"] > 0]
    expected = traded.rolling(3).sum().loc["2023-04-03":]
    got = out["000001.XSHE"].dropna()
    np.testing.assert_allclose(got.to_numpy(), expected.reindex(got.index).to_numpy())


def test_stored_factor_alone_is_fetched_whole(market):
    ids = list(tessal.all_instruments(type="CS")["order_book_id"])[:5]
    ours = evaluate_factor(Factor("pe_ratio"), ids, "2023-05-02", "2023-05-31")
    engine = eval_core.execute_factor(Factor("pe_ratio"), ids, "2023-05-02", "2023-05-31")
    pd.testing.assert_frame_equal(ours, engine)
    masked = evaluate_factor(Factor("pe_ratio"), ids, "2023-05-02", "2023-05-31",
                             universe=ids[:2])
    assert masked[ids[2:]].isna().all().all() and masked[ids[:2]].notna().any().all()
