import datetime as dt

import numpy as np
import pandas as pd
import pytest

import tessal
from tessal.trading_calendar import holidays_of_year, make_calendar
from _tessal_helpers import small_bundle, using

T = pd.Timestamp


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    with using(small_bundle(tmp_path_factory)) as b:
        yield b


def test_holiday_rules():
    cal = {str(d) for d in make_calendar("2017-01-01", "2020-12-31")}
    # New Year on a Sunday moves to Monday; the Spring Festival week starts on the eve.
    assert "2017-01-02" not in cal and "2017-01-03" in cal
    assert "2020-01-23" in cal and "2020-01-24" not in cal and "2020-01-30" not in cal
    assert "2020-01-31" in cal
    assert not any(d in cal for d in ("2020-05-01", "2020-10-01", "2020-10-07", "2020-10-03"))
    assert "2020-10-08" in cal and "2020-01-04" not in cal  # a Saturday
    assert dt.date(2021, 10, 7) in holidays_of_year(2021)
    assert make_calendar("2020-02-01", "2020-01-01").size == 0


def test_latest_and_range(bundle):
    assert tessal.get_latest_trading_date() == T("2020-12-31")
    dates = tessal.get_trading_dates("2020-01-20", "2020-02-04")
    assert isinstance(dates, pd.DatetimeIndex)
    assert list(dates.strftime("%Y-%m-%d")) == [
        "2020-01-20", "2020-01-21", "2020-01-22", "2020-01-23", "2020-01-31", "2020-02-03",
        "2020-02-04"]
    assert len(tessal.get_trading_dates("2020-01-25", "2020-01-26")) == 0
    assert len(tessal.get_trading_dates("2020-02-04", "2020-01-20")) == 0
    # The calendar starts years before the data and runs a year past it.
    assert tessal.get_trading_dates("2015-01-01", "2015-12-31").size > 200
    assert tessal.get_trading_dates("2021-06-01", "2021-06-30").size > 15


def test_offsets_across_holidays(bundle):
    assert tessal.trading_date_offset("2020-01-31", -1) == T("2020-01-23")
    assert tessal.trading_date_offset("2020-01-31", -2) == T("2020-01-22")
    assert tessal.trading_date_offset("2020-01-31", 0) == T("2020-01-31")
    assert tessal.trading_date_offset("2020-01-31", 1) == T("2020-02-03")
    # A holiday: counting starts from the surrounding trading dates.
    assert tessal.trading_date_offset("2020-01-27", -1) == T("2020-01-23")
    assert tessal.trading_date_offset("2020-01-27", 0) == T("2020-01-23")
    assert tessal.trading_date_offset("2020-01-27", 1) == T("2020-01-31")
    assert tessal.get_previous_trading_date("2020-01-31") == T("2020-01-23")
    assert tessal.get_previous_trading_date("2020-01-27") == T("2020-01-23")
    assert tessal.get_previous_trading_date("2020-01-31", 2) == T("2020-01-22")
    assert tessal.get_next_trading_date("2020-01-23") == T("2020-01-31")
    assert tessal.get_next_trading_date("2020-01-23", 2) == T("2020-02-03")
    assert tessal.get_next_trading_date("2020-01-27", 0) == T("2020-01-31")
    assert tessal.get_next_trading_date("2020-01-31", 0) == T("2020-01-31")
    # Look-backs reach before the first data date and look-aheads past the last one.
    assert tessal.trading_date_offset("2020-01-02", -1) == T("2019-12-31")
    assert tessal.get_next_trading_date("2020-12-31") == T("2021-01-04")
    assert tessal.get_next_trading_date("2020-12-31", 200) > T("2021-10-01")


def test_offsets_match_stepping_day_by_day(bundle):
    cal = bundle.calendar
    trading = set(cal.tolist())
    rng = np.random.default_rng(0)
    for _ in range(60):
        d = cal[300] + np.timedelta64(int(rng.integers(0, 800)), "D")
        n = int(rng.integers(1, 40))
        back, k = d, 0
        while k < n:
            back -= np.timedelta64(1, "D")
            k += back.tolist() in trading
        fwd, k = d, 0
        while k < n:
            fwd += np.timedelta64(1, "D")
            k += fwd.tolist() in trading
        assert tessal.trading_date_offset(str(d), -n) == T(back)
        assert tessal.trading_date_offset(str(d), n) == T(fwd)
        assert tessal.get_next_trading_date(str(d), n) == T(fwd)
        assert tessal.get_previous_trading_date(str(d), n) == T(back)


def test_calendar_ends_are_errors(bundle):
    first, last = str(bundle.calendar[0]), str(bundle.calendar[-1])
    with pytest.raises(ValueError, match="outside the trading calendar"):
        tessal.get_previous_trading_date(first)
    with pytest.raises(ValueError, match="outside the trading calendar"):
        tessal.get_next_trading_date(last)
    with pytest.raises(ValueError, match="outside the trading calendar"):
        tessal.trading_date_offset("2020-06-01", -100000)
    assert tessal.get_next_trading_date(last, 0) == T(last)


@pytest.mark.parametrize("date", ["2020-01-31", dt.date(2020, 1, 31), dt.datetime(2020, 1, 31, 15),
                                  T("2020-01-31 09:30"), np.datetime64("2020-01-31"), 20200131])
def test_date_forms(bundle, date):
    assert tessal.trading_date_offset(date, -1) == T("2020-01-23")


@pytest.mark.parametrize("call", [
    lambda: tessal.trading_date_offset("2020-01-31", 1.5),
    lambda: tessal.trading_date_offset("2020-01-31", True),
    lambda: tessal.get_next_trading_date("2020-01-31", -1),
    lambda: tessal.get_previous_trading_date("2020-01-31", 0),
    lambda: tessal.trading_date_offset("not a date", -1),
    lambda: tessal.trading_date_offset(None, -1),
    lambda: tessal.get_trading_dates("2020-13-01", "2020-12-31"),
    lambda: tessal.trading_date_offset(2020, -1),
])
def test_bad_arguments(bundle, call):
    with pytest.raises(ValueError):
        call()
