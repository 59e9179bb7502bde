import datetime as dt

import numpy as np
import pandas as pd
import pytest

from tessal import decorators
from tessal.decorators import ttl_cache
from tessal.utils import to_date_str


@pytest.fixture
def clock(monkeypatch):
    now = [1000.0]
    monkeypatch.setattr(decorators, "_now", lambda: now[0])
    return now


def test_ttl_cache_memoises_and_expires(clock):
    calls = []

    @ttl_cache(3600)
    def load(source="citics_2019"):
        calls.append(source)
        return [source, len(calls)]

    first = load(source="sws")
    assert load(source="sws") is first and load("sws") is first
    assert load() is load("citics_2019") is load(source="citics_2019")
    assert calls == ["sws", "citics_2019"]
    clock[0] += 3599.0
    assert load("sws") is first
    clock[0] += 1.0
    fresh = load("sws")
    assert fresh is not first and fresh == ["sws", 3]
    assert load.cache_info()["size"] == 2
    load.cache_clear()
    load("sws")
    assert calls == ["sws", "citics_2019", "sws", "sws"]


def test_ttl_cache_does_not_keep_failures(clock):
    attempts = []

    @ttl_cache(10)
    def flaky(x):
        attempts.append(x)
        if len(attempts) == 1:
            raise RuntimeError("down")
        return x * 2

    with pytest.raises(RuntimeError):
        flaky(2)
    assert flaky(2) == 4 and flaky(2) == 4
    assert attempts == [2, 2]


def test_ttl_cache_unhashable_arguments_are_computed_each_time(clock):
    calls = []

    @ttl_cache(10)
    def total(values):
        calls.append(1)
        return sum(values)

    assert total([1, 2]) == 3 and total([1, 2]) == 3
    assert len(calls) == 2
    assert total((1, 2)) == 3 and total((1, 2)) == 3
    assert len(calls) == 3


def test_ttl_cache_keeps_the_name_and_checks_its_argument():
    @ttl_cache(5)
    def named():
        """doc"""
        return 1

    assert named.__name__ == "named" and named.__doc__ == "doc"
    with pytest.raises(ValueError):
        ttl_cache(-1)
    with pytest.raises(TypeError):
        ttl_cache("3600")


@pytest.mark.parametrize("value", [
    "2014-01-01", "20140101", 20140101, dt.date(2014, 1, 1), dt.datetime(2014, 1, 1, 15, 30),
    pd.Timestamp("2014-01-01 09:31"), np.datetime64("2014-01-01T10:00"),
])
def test_to_date_str(value):
    assert to_date_str(value) == "2014-01-01"


@pytest.mark.parametrize("value", [None, "yesterday", float("nan"), 2014, pd.NaT])
def test_to_date_str_rejects_non_dates(value):
    with pytest.raises(ValueError):
        to_date_str(value)
