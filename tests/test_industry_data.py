"""Industry history, per-date industry lookup and listing masks, against a fake client."""
import numpy as np
import pandas as pd
import pytest

from alvora.analysis import study_bench as sb

from _study_helpers import FakeTessal, instrument_table, replaced

T = pd.Timestamp

ZX = [
    ("Banks", "000001.XSHE", T("2015-01-05")),
    ("Insurance", "000001.XSHE", T("2020-06-01")),
    ("Steel", "600000.XSHG", T("2016-03-01")),
    ("Media", "000002.XSHE", T("2019-01-02")),
]
SW = [
    ("Old", "000001.XSHE", T("2010-01-04"), 1),
    ("Old2", "000001.XSHE", T("2010-01-04"), 2),
    ("EditionTwoOnBoundary", "000002.XSHE", T("2014-01-01"), 2),
    ("EditionOneOnBoundary", "000002.XSHE", T("2014-01-01"), 1),
    ("EditionTwo", "000001.XSHE", T("2014-01-02"), 2),
    ("EditionOneLate", "000001.XSHE", T("2014-01-02"), 1),
    ("LastOfTwo", "000001.XSHE", T("2021-07-31"), 2),
    ("EditionThree", "000001.XSHE", T("2021-08-02"), 3),
    ("WrongEdition", "000001.XSHE", T("2021-08-02"), 2),
]
LISTING = instrument_table([
    ("000001.XSHE", "2010-01-01", "0000-00-00"),
    ("000002.XSHE", "2020-01-02", "2021-03-01"),
    ("600000.XSHG", "2000-01-01", "0000-00-00"),
    ("NORECORD.XSHE", "2000-01-01", "0000-00-00"),
])


@pytest.fixture
def fake():
    client = FakeTessal(instruments=LISTING, zx_records=ZX, sw_records=SW)
    sb._cache_industry_data.cache_clear()
    with replaced(sb, tessal=client):
        yield client
    sb._cache_industry_data.cache_clear()


def test_citics_history_table(fake):
    history = sb._cache_industry_data()
    assert fake.execute_client.calls == ["__internal__zx2019_industry"]
    assert history.name == "first_industry_name"
    assert history.index.names == ["order_book_id", "start_date"]
    assert history.index.is_monotonic_increasing
    assert list(history) == ["Banks", "Insurance", "Media", "Steel"]


def test_shenwan_edition_boundaries(fake):
    history = sb._cache_industry_data(source="sws")
    assert history.name == "index_name"
    assert sorted(history) == sorted(["Old", "EditionOneOnBoundary", "EditionTwo", "LastOfTwo",
                                      "EditionThree"])


def test_unknown_source(fake):
    for source in ("SWS", "citics", None):
        with pytest.raises(ValueError) as info:
            sb._cache_industry_data(source=source)
        assert str(info.value) == ("source: invalid source={}, expect one of "
                                   "[sws, citics_2019]".format(source))
    with pytest.raises(ValueError, match="invalid source=SWS"):
        sb._load_industry_data(["000001.XSHE"], [T("2020-01-02")], source="SWS")


def test_cache_downloads_once_per_hour(fake):
    decorators = pytest.importorskip("tessal.decorators")
    if not hasattr(decorators, "_now"):
        pytest.skip("the client's cache clock cannot be moved")
    clock = [1000.0]
    with replaced(decorators, _now=lambda: clock[0]):
        sb._cache_industry_data.cache_clear()
        first = sb._cache_industry_data(source="citics_2019")
        clock[0] += 3599
        assert sb._cache_industry_data(source="citics_2019") is first
        assert len(fake.execute_client.calls) == 1
        clock[0] += 2
        sb._cache_industry_data(source="citics_2019")
        assert len(fake.execute_client.calls) == 2


def test_listing_mask_boundaries_and_order(fake):
    dates = [T("2021-03-01"), T("2020-01-01"), T("2020-01-02"), T("2021-02-26")]
    mask = sb._get_listed_date_mask_series(["000002.XSHE", "000001.XSHE", "000002.XSHE"], dates)
    assert mask.dtype == bool
    assert mask.index.names == [None, None]
    assert list(mask.index) == [(d, i) for d in dates for i in ["000002.XSHE", "000001.XSHE"]]
    listed = mask.xs("000002.XSHE", level=1)
    assert list(listed) == [False, False, True, True]
    assert mask.xs("000001.XSHE", level=1).all()  # never de-listed
    assert fake.calls == [("all_instruments", "CS")]


def test_listing_mask_unknown_instrument(fake):
    with pytest.raises(KeyError, match="GHOST"):
        sb._get_listed_date_mask_series(["GHOST"], [T("2020-01-02")])


def test_industry_changes_on_its_start_date(fake):
    dates = pd.to_datetime(["2020-05-29", "2020-06-01", "2020-06-02"])
    series = sb._load_industry_data(["000001.XSHE"], dates, source="citics_2019")
    assert series.index.names == ["datetime", "order_book_id"]
    assert list(series) == ["Banks", "Insurance", "Insurance"]


def test_no_record_yet_is_missing_not_a_neighbours_industry(fake):
    # 000002 has its first record on 2019-01-02 and the instrument sorted before it (000001)
    # has records; NORECORD has none at all and sorts after everything else.
    dates = pd.to_datetime(["2018-12-31", "2019-01-02"])
    series = sb._load_industry_data(["NORECORD.XSHE", "000001.XSHE", "600000.XSHG"],
                                    dates, source="citics_2019")
    assert np.isnan(series[(T("2019-01-02"), "NORECORD.XSHE")])
    assert series[(T("2019-01-02"), "000001.XSHE")] == "Banks"
    # Before its first record, 600000 has no industry (not 000002's or 000001's).
    steel = sb._load_industry_data(["600000.XSHG"], pd.to_datetime(["2016-02-29", "2016-03-01"]))
    assert np.isnan(steel.iloc[0]) and steel.iloc[1] == "Steel"
    # Missing industries drop out of counting and grouping; only occurring names are categories.
    assert series.value_counts().to_dict() == {"Banks": 2, "Steel": 2}
    assert list(series.cat.categories) == ["Banks", "Steel"]


def test_listing_filter_is_aligned_by_label(fake):
    # Instruments in descending order and a repeated date: a positional filter would pair
    # the wrong flags with the wrong pairs.
    dates = pd.to_datetime(["2021-03-01", "2020-06-01", "2020-01-01", "2020-06-01"])
    series = sb._load_industry_data(["000002.XSHE", "000001.XSHE"], dates)
    pairs = list(series.index)
    assert pairs == sorted(pairs)
    # 000002 is listed only on 2020-06-01 (twice requested); 000001 on every date.
    assert [p for p in pairs if p[1] == "000002.XSHE"] == [(T("2020-06-01"), "000002.XSHE")] * 2
    assert list(series.loc[[(T("2020-01-01"), "000001.XSHE")]]) == ["Banks"]
    assert len(series) == 6
    assert (series.xs("000002.XSHE", level="order_book_id") == "Media").all()


def test_dates_before_listing_are_left_out(fake):
    dates = pd.to_datetime(["2019-12-31", "2020-01-02"])
    series = sb._load_industry_data(["000002.XSHE"], dates)
    assert list(series.index) == [(T("2020-01-02"), "000002.XSHE")]


def test_load_uses_the_replaceable_mask_helper(fake):
    dates = pd.to_datetime(["2020-01-02", "2020-01-03"])
    ids = ["000001.XSHE", "600000.XSHG"]

    def only_first_date(order_book_ids, trading_dates):
        index = pd.MultiIndex.from_product([pd.to_datetime(trading_dates), order_book_ids])
        return pd.Series([True, True, False, False], index=index)

    with replaced(sb, _get_listed_date_mask_series=only_first_date):
        series = sb._load_industry_data(ids, dates, source="citics_2019")
    assert list(series.index.get_level_values("datetime").unique()) == [T("2020-01-02")]
    assert list(series) == ["Banks", "Steel"]


def test_shenwan_lookup_respects_editions(fake):
    dates = pd.to_datetime(["2013-12-31", "2014-01-02", "2021-07-31", "2021-08-02"])
    series = sb._load_industry_data(["000001.XSHE"], dates, source="sws")
    assert list(series) == ["Old", "EditionTwo", "LastOfTwo", "EditionThree"]
