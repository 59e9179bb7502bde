"""The embedded default market: size, listings and the structure factor studies rely on."""
import os

import numpy as np
import pandas as pd
import pytest

import tessal
from tessal import _state
from tessal.bundle import default_bundle_path
from _tessal_helpers import pointed_at


@pytest.fixture(scope="module")
def market():
    saved = os.environ.pop(_state.ENV_BUNDLE, None)
    try:
        with pointed_at(None):
            stocks = tessal.all_instruments("CS")
            yield stocks
    finally:
        if saved is not None:
            os.environ[_state.ENV_BUNDLE] = saved


def _mean_rank_ic(factor, returns):
    """Mean over dates of the rank correlation between a factor and the next day's returns."""
    fwd = returns.shift(-1)
    ok = factor.notna() & fwd.notna()
    a = factor.where(ok).rank(axis=1)
    b = fwd.where(ok).rank(axis=1)
    a = a.sub(a.mean(axis=1), axis=0)
    b = b.sub(b.mean(axis=1), axis=0)
    ic = (a * b).sum(axis=1) / np.sqrt((a * a).sum(axis=1) * (b * b).sum(axis=1))
    return ic.dropna().mean()


def test_default_market_shape(market):
    assert _state.bundle_path() == default_bundle_path()
    assert default_bundle_path().endswith(os.path.join(".cache", "tessal", "default-v2"))
    assert len(market) == 800
    assert tessal.get_latest_trading_date() == pd.Timestamp("2023-12-29")
    dates = tessal.get_trading_dates("2017-01-01", "2023-12-31")
    assert dates[0] == pd.Timestamp("2017-01-03") and len(dates) > 5 * 240
    assert (market.listed_date > "2017-01-03").sum() >= 50
    assert (market.de_listed_date != "0000-00-00").sum() >= 10
    assert {"000300.XSHG", "000905.XSHG"} <= set(tessal.all_instruments("INDX").order_book_id)
    citics = tessal.client.get_client().execute("__internal__zx2019_industry")
    assert len({r[0] for r in citics}) == 30


def test_simple_factors_carry_information(market):
    ids = list(market.order_book_id)
    returns = tessal.get_price_change_rate(ids, "2019-01-02", "2021-12-31")
    quality = tessal.get_panel("return_on_equity", ids, "2019-01-02", "2021-12-31")
    # A persistent alpha tied to the stored factor and short-term reversal.
    assert _mean_rank_ic(quality, returns) > 0.01
    assert _mean_rank_ic(-returns, returns) > 0.02
    noise = pd.DataFrame(np.random.default_rng(0).standard_normal(returns.shape),
                         index=returns.index, columns=returns.columns)
    assert abs(_mean_rank_ic(noise, returns)) < 0.01
    # The market moves together: the two indexes are strongly correlated.
    idx = tessal.get_price_change_rate(["000300.XSHG", "000905.XSHG"], "2019-01-02", "2021-12-31")
    assert idx.corr().iloc[0, 1] > 0.7


def test_default_market_moves_like_an_equity_market(market):
    ids = list(market.order_book_id)
    index = tessal.get_price("000300.XSHG", "2017-01-03", "2023-12-29", fields="close")
    index = index["close"].droplevel(0)
    yearly = index.groupby(index.index.year).agg(lambda s: s.iloc[-1] / s.iloc[0] - 1)
    assert yearly.between(-0.25, 0.35).all() and (yearly < 0).any(), yearly
    returns = tessal.get_price_change_rate(ids, "2017-01-03", "2023-12-29")
    traded = returns.where(returns != 0)
    vol = traded.std() * np.sqrt(252)
    assert vol.median() == pytest.approx(0.35, abs=0.1) and vol.quantile(0.9) < 0.5
    limit = (traded.abs() >= 0.0995).to_numpy().mean()
    assert 0.0005 < limit < 0.01  # limit moves happen, but rarely
