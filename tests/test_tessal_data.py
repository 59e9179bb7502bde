import pickle

import numpy as np
import pandas as pd
import pytest

import tessal
from tessal.bundle import PRICE_FIELDS, STORED_FACTORS, STYLE_FACTORS
from _tessal_helpers import small_bundle, using

T = pd.Timestamp


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    with using(small_bundle(tmp_path_factory)) as b:
        yield b


@pytest.fixture(scope="module")
def stocks(bundle):
    return tessal.all_instruments("CS")


@pytest.fixture(scope="module")
def steady(stocks):
    """Stocks listed before 2020 and never de-listed."""
    keep = (stocks.listed_date < "2020-01-02") & (stocks.de_listed_date == "0000-00-00")
    return list(stocks.order_book_id[keep])


def _stock(stocks, kind):
    """A stock listed during 2020, one de-listed during 2020, or one listed throughout."""
    if kind == "new":
        rows = stocks[stocks.listed_date > "2020-01-02"]
    elif kind == "gone":
        rows = stocks[stocks.de_listed_date != "0000-00-00"]
    else:
        rows = stocks[(stocks.listed_date < "2020-01-02") & (stocks.de_listed_date == "0000-00-00")]
    assert len(rows), "the small market should hold a {} stock".format(kind)
    return rows.iloc[0]


def test_instrument_table(bundle, stocks):
    table = tessal.all_instruments()
    assert list(table.columns[:5]) == ["order_book_id", "symbol", "type", "listed_date",
                                       "de_listed_date"]
    assert isinstance(table.index, pd.RangeIndex)
    assert set(table.type) == {"CS", "INDX"} and len(stocks) == 30
    assert set(tessal.all_instruments("INDX").order_book_id) == {"000300.XSHG", "000905.XSHG"}
    assert stocks.order_book_id.str.match(r"^\d{6}\.(XSHG|XSHE)$").all()
    assert stocks.listed_date.str.match(r"^\d{4}-\d{2}-\d{2}$").all()
    # Listed on a date: listing day inclusive, de-listing day exclusive.
    gone = _stock(stocks, "gone")
    new = _stock(stocks, "new")
    on = lambda d: set(tessal.all_instruments("CS", date=d).order_book_id)  # noqa: E731
    assert gone.order_book_id in on(tessal.get_previous_trading_date(gone.de_listed_date))
    assert gone.order_book_id not in on(gone.de_listed_date)
    assert new.order_book_id in on(new.listed_date)
    assert new.order_book_id not in on(tessal.get_previous_trading_date(new.listed_date))
    with pytest.raises(ValueError, match="unknown instrument type"):
        tessal.all_instruments("ETFX")
    # Callers may modify what they get.
    table.loc[0, "symbol"] = "changed"
    assert tessal.all_instruments().loc[0, "symbol"] != "changed"


def test_instrument_records(bundle):
    idx = tessal.instruments("000300.XSHG")
    assert idx.type == "INDX" and idx.de_listed_date == "0000-00-00"
    stock = tessal.instruments("600000.XSHG")
    assert stock.type == "CS" and stock.order_book_id == "600000.XSHG"
    assert tessal.instruments("999999.XSHG") is None
    assert [r.order_book_id for r in tessal.instruments(["600000.XSHG", "nope"])] == ["600000.XSHG"]
    assert pickle.loads(pickle.dumps(stock)) == stock


def test_price_layout_and_consistency(bundle, steady):
    ids = steady[:5] + ["000300.XSHG"]
    price = tessal.get_price(ids, "2020-03-02", "2020-03-31")
    assert price.index.names == ["order_book_id", "date"]
    assert list(price.columns) == list(PRICE_FIELDS)
    assert list(price.index.get_level_values(0).unique()) == ids
    dates = price.index.get_level_values("date")
    assert dates.min() >= T("2020-03-02") and dates.max() <= T("2020-03-31")
    traded = price[price.volume > 0]
    assert (traded.low <= traded[["open", "close"]].min(axis=1)).all()
    assert (traded.high >= traded[["open", "close"]].max(axis=1)).all()
    assert (traded.total_turnover > 0).all()
    one = tessal.get_price("600000.XSHG", "2020-03-02", "2020-03-31", fields="close")
    assert list(one.columns) == ["close"]
    assert one["close"].tolist() == price.loc["600000.XSHG", "close"].tolist()


def test_suspended_days_keep_last_close(bundle, stocks):
    vol = tessal.get_panel("volume", list(stocks.order_book_id), "2020-01-02", "2020-12-31")
    close = tessal.get_panel("close", list(stocks.order_book_id), "2020-01-02", "2020-12-31")
    halted = (vol == 0) & close.shift(1).notna()
    assert halted.values.any(), "the small market should hold suspension days"
    assert np.allclose(close.values[halted.values], close.shift(1).values[halted.values])
    rates = tessal.get_price_change_rate(list(stocks.order_book_id), "2020-01-02", "2020-12-31")
    assert (rates.values[halted.values] == 0).all()
    oid = vol.columns[halted.any().values][0]
    day = halted.index[halted[oid].values][0]
    with_halts = tessal.get_price(oid, "2020-01-02", "2020-12-31")
    without = tessal.get_price(oid, "2020-01-02", "2020-12-31", skip_suspended=True)
    assert (oid, day) in with_halts.index and (oid, day) not in without.index
    assert (without.volume > 0).all()


def test_listing_and_delisting_limit_the_data(bundle, stocks):
    new, gone = _stock(stocks, "new"), _stock(stocks, "gone")
    p = tessal.get_price(new.order_book_id, "2020-01-02", "2020-12-31")
    assert p.index.get_level_values("date").min() == T(new.listed_date)
    p = tessal.get_price(gone.order_book_id, "2020-01-02", "2020-12-31")
    assert p.index.get_level_values("date").max() == tessal.get_previous_trading_date(
        gone.de_listed_date)
    panel = tessal.get_panel("close", [new.order_book_id, gone.order_book_id], "2020-01-02",
                             "2020-12-31")
    assert panel[new.order_book_id].first_valid_index() == T(new.listed_date)
    assert panel.loc[T(gone.de_listed_date):, gone.order_book_id].isna().all()
    rates = tessal.get_price_change_rate([new.order_book_id], "2020-01-02", "2020-12-31")
    assert np.isnan(rates.loc[T(new.listed_date), new.order_book_id])
    assert rates.loc[T(new.listed_date):, new.order_book_id].iloc[1:].notna().any()


def test_no_data_gives_none(bundle):
    assert tessal.get_price("600000.XSHG", "2010-01-04", "2010-02-01") is None
    assert tessal.get_price("600000.XSHG", "2021-03-01", "2021-03-05") is None
    with pytest.warns(UserWarning, match="unknown order_book_id"):
        assert tessal.get_price(["123456.XSHE"], "2020-03-02", "2020-03-31") is None


@pytest.mark.parametrize("kwargs, message", [
    ({"frequency": "1m"}, "daily bars"),
    ({"fields": "vwap"}, "unknown field"),
    ({"fields": []}, "no field"),
    ({"fields": 5}, "a name or a list of names"),
    ({"start_date": "2020-03-05", "end_date": "2020-03-01"}, "before start_date"),
    ({"adjust_type": "pre"}, "as traded"),
    ({"expect_df": False}, "expect_df"),
])
def test_price_argument_errors(bundle, kwargs, message):
    args = dict(start_date="2020-03-02", end_date="2020-03-31")
    args.update(kwargs)
    with pytest.raises(ValueError, match=message):
        tessal.get_price("600000.XSHG", **args)


def test_change_rates_follow_closes(bundle, stocks):
    ids = list(stocks.order_book_id[::3])[::-1] + ["000905.XSHG", "bogus"]
    with pytest.warns(UserWarning, match="bogus"):
        rates = tessal.get_price_change_rate(ids, "2020-02-03", "2020-06-30")
    assert list(rates.columns) == ids
    assert rates.index[0] == T("2020-02-03") and rates.index[-1] == T("2020-06-30")
    close = tessal.get_panel("close", ids[:-1], "2020-01-02", "2020-06-30")
    expected = (close / close.shift(1) - 1).loc["2020-02-03":]
    np.testing.assert_allclose(rates[ids[:-1]].values, expected.values, rtol=1e-12)
    assert rates["bogus"].isna().all()
    # The first requested day uses the close of the day before the range.
    prev = close.loc[tessal.get_previous_trading_date("2020-02-03")]
    first = close.loc[T("2020-02-03")] / prev - 1
    np.testing.assert_allclose(rates.iloc[0, :-1].values, first.values, rtol=1e-12)
    # The first day of the data has no previous close.
    assert tessal.get_price_change_rate(ids[:-1], "2020-01-02", "2020-01-02").isna().all().all()


def test_panels_match_long_tables(bundle, steady):
    ids = steady[4:12]
    panel = tessal.get_panel("close", ids, "2019-12-20", "2021-01-08")
    assert panel.index.equals(tessal.get_trading_dates("2019-12-20", "2021-01-08"))
    assert list(panel.columns) == ids and panel.dtypes.eq(np.float64).all()
    assert panel.loc[:"2019-12-31"].isna().all().all()
    assert panel.loc["2021-01-01":].isna().all().all()
    long = tessal.get_price(ids, "2019-12-20", "2021-01-08", fields="close")
    np.testing.assert_array_equal(long["close"].unstack(0)[ids].values,
                                  panel.loc["2020-01-02":"2020-12-31"].values)
    factor = tessal.get_factor(ids, "pe_ratio", "2020-05-06", "2020-05-29")
    assert factor.index.names == ["order_book_id", "date"] and list(factor.columns) == ["pe_ratio"]
    np.testing.assert_array_equal(factor["pe_ratio"].unstack("order_book_id")[ids].values,
                                  tessal.get_panel("pe_ratio", ids, "2020-05-06",
                                                   "2020-05-29").values)
    with pytest.warns(UserWarning, match="nope"):
        mixed = tessal.get_panel("volume", ["000300.XSHG", "nope", ids[0]], "2020-05-06",
                                 "2020-05-08")
    assert mixed["nope"].isna().all() and (mixed["000300.XSHG"] > 0).all()
    with pytest.raises(ValueError, match="unknown field"):
        tessal.get_panel("vwap", ids, "2020-05-06", "2020-05-08")


def test_stored_factors(bundle, stocks):
    assert set(STORED_FACTORS) <= set(tessal.list_factors())
    ids = list(stocks.order_book_id)
    f = tessal.get_factor(ids, ["market_cap", "book_to_market"], "2020-06-01", "2020-06-30")
    assert (f["market_cap"] > 1e8).all() and (f["book_to_market"] > 0).all()
    cap = tessal.get_panel("market_cap", ids, "2020-06-01", "2020-06-30")
    close = tessal.get_panel("close", ids, "2020-06-01", "2020-06-30")
    # Market value moves with the price: the share count stays put.
    shares = (cap / close).dropna(axis=1)
    np.testing.assert_allclose(shares.values, shares.iloc[[0]].values.repeat(len(shares), 0),
                               rtol=1e-9)
    empty = tessal.get_factor(ids[:2], "pe_ratio", "2010-01-04", "2010-01-29")
    assert empty.empty and empty.index.names == ["order_book_id", "date"]
    assert empty["pe_ratio"].unstack("order_book_id").empty
    with pytest.raises(ValueError, match="unknown factor"):
        tessal.get_factor(ids, "alpha42", "2020-06-01", "2020-06-30")


def test_style_exposures(bundle, stocks, steady):
    # Exposures are z-scores over every stock listed on the day.
    expo = tessal.get_style_factor_exposure(list(stocks.order_book_id), "2020-06-01", "2020-06-30")
    assert sorted(expo.columns) == sorted(STYLE_FACTORS)
    assert expo.index.names == ["order_book_id", "date"]
    by_date = expo.groupby(level="date")
    np.testing.assert_allclose(by_date.mean().values, 0, atol=1e-9)
    np.testing.assert_allclose(by_date.std(ddof=0).values, 1, atol=1e-9)
    size = expo["size"].unstack("order_book_id")
    cap = tessal.get_panel("market_cap", list(size.columns), "2020-06-01", "2020-06-30")
    rank_corr = size.rank(axis=1).corrwith(cap.rank(axis=1), axis=1)
    assert (rank_corr > 0.999).all()
    ids = steady
    one = tessal.get_style_factor_exposure(ids, "2020-06-01", "2020-06-30", factors="beta")
    assert list(one.columns) == ["beta"]
    panel = tessal.get_style_panel("beta", ids, "2020-06-01", "2020-06-30")
    np.testing.assert_array_equal(one["beta"].unstack("order_book_id")[ids].values,
                                  panel[ids].values)
    with pytest.raises(ValueError, match="unknown style factor"):
        tessal.get_style_factor_exposure(ids, "2020-06-01", "2020-06-30", factors=["Beta"])
    with pytest.raises(ValueError, match="unknown style factor"):
        tessal.get_style_panel("quality", ids, "2020-06-01", "2020-06-30")


@pytest.mark.parametrize("ids", [None, 600000, ["600000.XSHG", 5]])
def test_bad_id_arguments(bundle, ids):
    with pytest.raises(ValueError, match="order_book_ids"):
        tessal.get_price(ids, "2020-03-02", "2020-03-31")
