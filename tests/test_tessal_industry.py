import pandas as pd
import pytest

import tessal
from _tessal_helpers import small_bundle, using

T = pd.Timestamp


def _edition_in_force(start):
    """The sws edition kept for a record starting on `start`."""
    if start > T("2021-07-31"):
        return 3
    if start > T("2014-01-01"):
        return 2
    return 1


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    # Two years spanning the edition change of 2021-07-31, with enough stocks to see changes.
    path = small_bundle(tmp_path_factory, n_instruments=200, start="2020-06-01",
                        end="2022-05-31", seed=5)
    with using(path) as b:
        yield b


@pytest.fixture(scope="module")
def records(bundle):
    client = tessal.client.get_client()
    return (client.execute("__internal__zx2019_industry"),
            client.execute("__internal__shenwan_industry"))


def test_record_shapes(records):
    citics, sws = records
    assert all(isinstance(r, tuple) and len(r) == 3 for r in citics)
    assert all(isinstance(r, tuple) and len(r) == 4 for r in sws)
    assert all(isinstance(r[2], pd.Timestamp) for r in citics + sws)
    assert {r[3] for r in sws} == {1, 2, 3}
    assert 20 <= len({r[0] for r in citics}) <= 30


def test_every_stock_classified_from_its_listing(records):
    citics, _ = records
    stocks = tessal.all_instruments("CS")
    first = pd.DataFrame(citics, columns=["name", "id", "start"]).groupby("id")["start"].min()
    assert set(first.index) == set(stocks.order_book_id)
    listed = stocks.set_index("order_book_id")["listed_date"].map(T)
    assert (first == listed[first.index]).all()


def test_classification_changes_mid_period(records):
    citics, _ = records
    frame = pd.DataFrame(citics, columns=["name", "id", "start"])
    moved = frame.groupby("id").filter(lambda g: len(g) > 1)
    assert moved["id"].nunique() >= 3
    for _, g in moved.groupby("id"):
        g = g.sort_values("start")
        assert g["name"].iloc[0] != g["name"].iloc[1]
        assert T("2020-06-01") < g["start"].iloc[1] <= T("2022-05-31")


def test_sws_editions_give_one_timeline(records):
    _, sws = records
    frame = pd.DataFrame(sws, columns=["name", "id", "start", "version"])
    kept = frame[frame["version"] == frame["start"].map(_edition_in_force)]
    dropped = frame[frame["version"] != frame["start"].map(_edition_in_force)]
    assert len(dropped) > 0 and len(kept) > 0
    # After the filter no instrument has two records on one start date.
    assert not kept.duplicated(["id", "start"]).any()
    # Stocks listed before 2021 switch to the third edition on 2021-08-02.
    listed = tessal.all_instruments("CS").set_index("order_book_id")["listed_date"]
    old = listed[listed <= "2021-08-02"].index
    switch = kept[kept["start"] == T("2021-08-02")]
    assert set(switch["id"]) == set(old)
    assert (switch["version"] == 3).all()
    names = kept.groupby("version")["name"].nunique()
    assert names[3] > names[2] >= 20
    # Stocks listed before 2014 start with an edition-1 record, then an edition-2 one.
    early = listed[listed <= "2014-01-01"].index[0]
    mine = kept[kept["id"] == early].sort_values("start")
    assert list(mine["version"][:2]) == [1, 2]
    assert mine["start"].iloc[1] == T("2014-01-02")


def test_unknown_method(bundle):
    with pytest.raises(ValueError, match="unknown method"):
        tessal.client.get_client().execute("__internal__gics_industry")
    with pytest.raises(TypeError):
        tessal.client.get_client().execute("__internal__zx2019_industry", 1)


def test_records_follow_the_bundle_in_use(bundle, tmp_path_factory):
    before = tessal.client.get_client().execute("__internal__zx2019_industry")
    with using(small_bundle(tmp_path_factory)):
        other = tessal.client.get_client().execute("__internal__zx2019_industry")
    assert {r[1] for r in other} != {r[1] for r in before}
    assert tessal.client.get_client().execute("__internal__zx2019_industry") == before
