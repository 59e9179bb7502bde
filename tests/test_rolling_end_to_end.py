"""Rolling operators evaluated by execute_factor on a small generated market
with suspensions: values are those of the kernels over each instrument's
valid rows, right-aligned."""
import warnings

import numpy as np
import pandas as pd
import pytest

import tessal
import alvora.engine_v2.eval_core as ec
from alvora import rolling
from alvora.engine_v2.exec_context import ThreadingExecContext
from alvora.leaf import close, open as open_

FIRST, START, END = "2022-01-04", "2022-04-01", "2022-06-30"


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    path = tmp_path_factory.mktemp("rolling") / "bundle"
    tessal.bundle.generate_market(path, n_instruments=30, start=FIRST, end=END, seed=11,
                                  checksums=False)
    tessal.init(path)
    yield list(tessal.all_instruments("CS").order_book_id)
    tessal.init(None)


def valid_series(field, oid):
    """The instrument's values on its valid rows over the whole bundle."""
    ctx = ThreadingExecContext([field], [oid], pd.Timestamp(FIRST), pd.Timestamp(END))
    mask = ctx.get_mask_for(oid)
    values = tessal.get_panel(field.name, [oid], FIRST, END)[oid]
    return values[mask]


def expected(oid, compute):
    s_close = valid_series(close, oid)
    s_open = valid_series(open_, oid)
    out = compute(s_close.to_numpy(), s_open.to_numpy())
    return pd.Series(out, index=s_close.index[len(s_close) - len(out):])


CASES = {
    "ma": (lambda: rolling.MA(close, 5), lambda c, o: rolling.ma(c, 5)),
    "kurt3": (lambda: rolling.TS_KURT(close, 3), lambda c, o: rolling.kurt(c, 3)),
    "rank_of_corr": (
        lambda: rolling.TS_RANK(rolling.CORRELATION(close, rolling.MA(open_, 5), 10), 4),
        lambda c, o: rolling.ts_rank(rolling.correlation(10, c[4:], rolling.ma(o, 5)), 4)),
    "regression": (lambda: rolling.TS_REGRESSION(close, open_, 8),
                   lambda c, o: rolling.regression(8, o, c)),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_operators_through_the_engine(market, name):
    build, compute = CASES[name]
    ids = market[:12]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        frame = ec.execute_factor(build(), ids, START, END)
    assert list(frame.columns) == ids
    compared = 0
    for oid in ids:
        want = expected(oid, compute).reindex(frame.index)
        got = frame[oid]
        have = got.notna()
        # every value the engine produced is the kernel's value on valid rows
        np.testing.assert_allclose(got[have].to_numpy(), want[have].to_numpy(), rtol=1e-9)
        compared += int(have.sum())
        # and it produced one wherever enough valid history lies in its look-back
        assert have.sum() >= 0.8 * want.notna().sum()
    assert compared > 0.5 * frame.size


def test_market_has_suspension_gaps(market):
    days = len(tessal.get_trading_dates(FIRST, END))
    gaps = [oid for oid in market[:12] if len(valid_series(close, oid)) < days]
    assert gaps  # otherwise the alignment above would not be exercised
