"""Input preparation of FactorStudyBench.analysis, frequency detection and the long factor table."""
import numpy as np
import pandas as pd
import pytest

from alvora.analysis import study_bench as sb

from _study_helpers import FakeTessal, make_panels, reference_format, replaced


class Recorder(sb.FactorAnalyser):
    def __init__(self):
        self.calls = []

    def analysis(self, factor_data, returns, periods, ascending=True):
        self.calls.append((factor_data, returns, periods, ascending))
        return None


def bench_with_recorder():
    bench = sb.FactorStudyBench()
    recorder = Recorder()
    bench.append(("r", recorder))
    return bench, recorder


# ---- frame checks ----------------------------------------------------------------------

def _shuffled(frame):
    return frame.iloc[[0, 3, 1, 2, 4]]


def _repeated(frame):
    return frame.iloc[[0, 1, 1, 2, 3]]


def _zoned(frame):
    return frame.tz_localize("Asia/Shanghai")


@pytest.mark.parametrize("table", ["factor_data", "returns"])
@pytest.mark.parametrize("change, message", [
    (_shuffled, r"dates must be ascending without repeats, but row 2 \(2020-01-02 00:00:00\) "
                r"does not come after row 1 \(2020-01-06"),
    (lambda f: f.iloc[::-1], "dates must be ascending .* row 1 .* does not come after row 0"),
    (_repeated, "dates must be ascending .* row 2 .* does not come after row 1"),
    (_zoned, r"the date index is timezone-aware \(Asia/Shanghai\)"),
])
def test_unordered_or_zoned_dates_are_refused(table, change, message):
    factor, returns = make_panels(5, 3)
    tables = {"factor_data": factor, "returns": returns}
    tables[table] = change(tables[table])
    bench, recorder = bench_with_recorder()
    with pytest.raises(ValueError, match="^{}: {}".format(table, message)):
        bench.analysis(tables["factor_data"], tables["returns"])
    assert recorder.calls == []


def test_validate_data_frame_messages():
    with pytest.raises(ValueError) as info:
        sb._validate_data_frame(df=[1], name="factor_data")
    assert str(info.value) == "factor_data: expect pd.DataFrame, got <class 'list'>"
    frame = pd.DataFrame({"a": [1.0, 2.0]})
    with pytest.raises(ValueError) as info:
        sb._validate_data_frame(frame, "returns")
    # the class as Python shows it (pandas 3 shows it as pandas.RangeIndex)
    assert str(info.value) == ("returns: expect index type=pd.DatetimeIndex, got "
                               f"{type(frame.index)}")

    class MyFrame(pd.DataFrame):
        pass
    assert sb._validate_data_frame(MyFrame({0: [1.0]}, index=pd.to_datetime(["2020-01-01"])),
                                   "x") is None


def test_analysis_input_errors():
    factor, returns = make_panels(5, 3)
    bench, recorder = bench_with_recorder()
    with pytest.raises(AssertionError, match=r"^periods must be tuple/list/int, but got <class 'float'>$"):
        bench.analysis(factor, returns, periods=2.0)
    with pytest.raises(ValueError, match=r"^factor_data: expect pd.DataFrame, got <class 'dict'>$"):
        bench.analysis({}, returns)
    with pytest.raises(ValueError, match="^factor_data: expect index type=pd.DatetimeIndex"):
        bench.analysis(factor.reset_index(drop=True), returns)
    with pytest.raises(ValueError, match="^returns: expect pd.DataFrame, got <class 'int'>$"):
        bench.analysis(factor, 3)
    for text in ("Daily", "daily ", "weekly"):
        with pytest.raises(ValueError) as info:
            bench.analysis(factor, text)
        assert str(info.value) == 'returns: expect pd.DataFrame or "daily", got {}'.format(text)
    assert recorder.calls == []
    # A bool is an int for the horizon check.
    bench.analysis(factor, returns, periods=True)
    assert recorder.calls[0][2] == [True]


def test_axis_names_are_set_on_the_callers_tables():
    factor, returns = make_panels(5, 3)
    bench, recorder = bench_with_recorder()
    bench.analysis(factor, returns)
    for table in (factor, returns):
        assert table.index.name == "datetime" and table.columns.name == "order_book_id"
    assert recorder.calls[0][0] is factor and recorder.calls[0][1] is returns


@pytest.mark.parametrize("periods, horizon, passed", [(5, 5, [5]), ((1, 3), 3, (1, 3)),
                                                      ([4, 2], 4, [4, 2])])
def test_daily_returns_are_fetched_through_the_client(periods, horizon, passed):
    factor, full_returns = make_panels(12, 3)
    factor = factor.iloc[:6]
    fake = FakeTessal(change_rate=full_returns, calendar=full_returns.index)
    bench, recorder = bench_with_recorder()
    with replaced(sb, tessal=fake):
        bench.analysis(factor, "daily", periods=periods)
    next_call, rate_call = fake.calls
    assert next_call == ("get_next_trading_date", factor.index[-1], horizon)
    kwargs = rate_call[1]
    assert kwargs["order_book_ids"] is factor.columns
    assert kwargs["start_date"] == factor.index[0]
    assert kwargs["end_date"] == full_returns.index[5 + horizon]
    assert kwargs["expect_df"] is True and kwargs["market"] == "cn"
    fetched = recorder.calls[0][1]
    assert fetched.index[-1] == full_returns.index[5 + horizon]
    assert fetched.index.name == "datetime" and fetched.columns.name == "order_book_id"
    assert recorder.calls[0][2] == passed


def test_daily_with_empty_periods_fails_in_max():
    factor, returns = make_panels(4, 2)
    bench, _ = bench_with_recorder()
    fake = FakeTessal(change_rate=returns, calendar=returns.index)
    with replaced(sb, tessal=fake), pytest.raises(ValueError, match="empty"):
        bench.analysis(factor, "daily", periods=[])


def test_client_errors_reach_the_caller():
    factor, _ = make_panels(4, 2)

    class Broken:
        def get_next_trading_date(self, date, n):
            raise ConnectionError("offline")

    bench, _ = bench_with_recorder()
    with replaced(sb, tessal=Broken()), pytest.raises(ConnectionError, match="offline"):
        bench.analysis(factor, "daily")


# ---- frequency ---------------------------------------------------------------------------

@pytest.mark.parametrize("stamps, expected", [
    ([], "1d"),
    (["2020-01-02", "2020-01-03"], "1d"),
    (["2020-01-02 09:31", "2020-01-02 09:32"], "1m"),
    (["2020-01-02 09:30:00", "2020-01-02 09:30:15"], "tick"),
    (["2020-01-02 10:00", "2020-01-02 09:31"], "1m"),
])
def test_datetime_freq(stamps, expected):
    index = pd.DatetimeIndex(stamps)
    assert sb._get_datetime_freq(index) == expected
    assert sb._is_date_frequency_index(index) is (expected == "1d")


def test_whole_hours_not_midnight_are_unknown():
    index = pd.DatetimeIndex(["2020-01-02 15:00", "2020-01-03 15:00"])
    with pytest.raises(ValueError) as info:
        sb._get_datetime_freq(index)
    assert str(info.value) == "Unknown datetime index: {}".format(index)
    with pytest.raises(ValueError, match="Unknown datetime index"):
        sb._is_date_frequency_index(index)


def test_is_date_frequency_index_uses_the_module_helper():
    with replaced(sb, _get_datetime_freq=lambda index: "1d"):
        assert sb._is_date_frequency_index(pd.DatetimeIndex(["2020-01-02 15:00"])) is True


# ---- long factor table ------------------------------------------------------------------

def test_return_fields():
    assert sb._get_return_fields(["P_1", "factor", "P_20", "xP_3"]) == ["P_1", "P_20"]
    assert sb._get_return_fields(iter(())) == []


def test_format_matches_pandas_transcription_with_nans_and_misaligned_axes():
    factor, returns = make_panels(30, 6, nan_fraction=0.25, seed=3)
    factor = factor.iloc[2:27, ::-1].copy()
    factor["ZZZ.XSHE"] = 1.0  # not in the return table: dropped
    dropped = returns.index[10]
    returns = returns.drop(dropped)  # a factor date missing from the returns
    returns["NEW.XSHE"] = 0.01  # not in the factor frame: NaN factor
    got = sb._format_factor_data(factor, returns, [1, 5, 1, 3])
    expected = reference_format(factor, returns, [1, 5, 3])
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
    assert list(got.columns) == ["P_1", "P_5", "P_3", "factor"]
    assert len(got) == 24 * 7
    assert dropped not in got.index.get_level_values("datetime")


def test_format_in_a_study_reuses_forward_returns_only_for_the_same_dates_and_values():
    """Inside a study the forward returns of one factor's table serve the next factor: never
    one over other dates, nor after the return table changed in place."""

    class StudyClient:
        _alvora_study_scope = True

    factor, returns = make_panels(30, 6, nan_fraction=0.2, seed=4)
    narrow = factor.iloc[3:20, :4] * 2.0
    calls = [lambda: factor, lambda: factor * -1.0, lambda: narrow, lambda: factor,
             lambda: returns.iloc.__setitem__((5, 2), 0.3) or factor,  # changed in place
             lambda: factor.astype("float32")]
    with replaced(sb, tessal=StudyClient()):
        for call in calls:
            frame = call()
            got = sb._format_factor_data(frame, returns, [1, 3])
            pd.testing.assert_frame_equal(got, reference_format(frame, returns, [1, 3]),
                                          check_exact=True)
            got.index.names = ["renamed", "by a step"]  # must not reach the next table


class TableRecorder(sb.FactorAnalyser):
    """Builds the long table inside the pipeline, as the IC step does."""

    def analysis(self, factor_data, returns, periods, ascending=True):
        return factor_data, sb._format_factor_data(factor_data, returns, periods)


@pytest.mark.parametrize("layout, normalize", [
    (lambda f: f, True),  # the pipeline's own row-major result: read in place
    (lambda f: f, False),  # the caller's row-major frame
    (lambda f: f.iloc[:, ::-1], False),  # instruments in another order than the returns
    (lambda f: pd.DataFrame(np.asfortranarray(f.values), f.index, f.columns), False),
    (lambda f: f.iloc[2:], False),  # fewer dates than the returns
])
def test_table_inside_a_pipeline_equals_the_table_built_alone(layout, normalize):
    factor, returns = make_panels(12, 5, nan_fraction=0.2, seed=6)
    factor = layout(factor)
    bench = sb.FactorStudyBench()
    if normalize:
        bench.append(("normalize", sb.Normalization()))
    # The rank IC flips the factor of its own table for ascending order: never the frame's.
    bench.append(("ic", sb.ICAnalysis(rank_ic=True)))
    bench.append(("table", TableRecorder()))
    seen, table = bench.analysis(factor, returns, ascending=True, periods=[1, 3])["table"]
    expected = sb.Normalization().process(factor) if normalize else factor
    pd.testing.assert_frame_equal(seen, expected, check_exact=True, check_names=False)
    pd.testing.assert_frame_equal(table, reference_format(expected, returns, [1, 3]),
                                  check_exact=True)


def test_format_growth_rules():
    dates = pd.bdate_range("2021-01-04", periods=5)
    returns = pd.DataFrame({"A": [np.nan, 0.1, np.nan, 0.2, 0.1],
                            "B": [0.0, 0.0, 0.0, 0.0, 0.0]}, index=dates)
    factor = pd.DataFrame({"A": 1.0, "B": 2.0}, index=dates)
    table = sb._format_factor_data(factor, returns, [1, 2])
    a = table.xs("A", level="order_book_id")
    # Before the first return the growth is unknown; a NaN day counts as a zero return.
    assert np.isnan(a["P_1"].iloc[0])
    assert a["P_1"].iloc[1] == pytest.approx(0.0)
    assert a["P_2"].iloc[1] == pytest.approx(0.2)
    assert a["P_2"].iloc[2] == pytest.approx(1.2 * 1.1 - 1)
    assert np.isnan(a["P_1"].iloc[4]) and np.isnan(a["P_2"].iloc[3])
    assert table.index.names == ["datetime", "order_book_id"]


def test_format_keeps_inputs_and_factor_dtype():
    factor, returns = make_panels(6, 2)
    factor32 = factor.astype("float32")
    before = factor32.copy(), returns.copy()
    table = sb._format_factor_data(factor32, returns, (2,))
    assert table["factor"].dtype == np.float32
    assert table["P_2"].dtype == np.float64
    pd.testing.assert_frame_equal(factor32, before[0])
    pd.testing.assert_frame_equal(returns, before[1])


def test_format_refuses_malformed_tables():
    factor, returns = make_panels(6, 2)
    text = returns.astype(object)
    text.iloc[0, 0] = "x"
    with pytest.raises(ValueError, match="returns: expect numeric columns"):
        sb._format_factor_data(factor, text, [1])
    with pytest.raises(ValueError, match="returns: index holds duplicate dates"):
        sb._format_factor_data(factor, pd.concat([returns, returns.iloc[:1]]), [1])
    dup = factor.copy()
    dup.columns = [factor.columns[0]] * 2
    with pytest.raises(ValueError, match="duplicate instruments"):
        sb._format_factor_data(dup, returns, [1])
    with pytest.raises(ValueError, match="factor_data: expect pd.DataFrame"):
        sb._format_factor_data(factor.values, returns, [1])
    with pytest.raises(TypeError):
        sb._format_factor_data(factor, returns, [1.5])


def test_format_empty_and_edge_horizons():
    factor, returns = make_panels(4, 3)
    empty = sb._format_factor_data(factor.iloc[:0], returns, [1])
    assert empty.shape == (0, 2) and list(empty.columns) == ["P_1", "factor"]
    table = sb._format_factor_data(factor, returns, [0, -1, 10])
    assert (table["P_0"].dropna() == 0).all()
    np.testing.assert_allclose(table["P_-1"].values,
                               reference_format(factor, returns, [-1])["P_-1"].values)
    assert table["P_10"].isna().all()
