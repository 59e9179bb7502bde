"""Winzorization and Normalization steps of study_bench."""
import pickle

import numpy as np
import pandas as pd
import pytest

from alvora.analysis import study_bench as sb

from _preprocess_helpers import factor_frame, transcribe_normalize

IDS = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600519.XSHG", "300750.XSHE"]


class RecordingRoutine:
    def __init__(self, transform=lambda s: s.clip(-1.0, 1.0)):
        self.rows = []
        self.transform = transform

    def __call__(self, row):
        self.rows.append(row.copy())
        return self.transform(row)


def test_winzorization_constructor_rules():
    assert sb.Winzorization().method == "mad"
    assert sb.Winzorization("percentile").method == "percentile"
    with pytest.raises(ValueError) as err:
        sb.Winzorization(method="MAD")
    assert str(err.value) == "method: expect one of ('mad', 'std', 'percentile'), got MAD"
    with pytest.raises(ValueError):
        sb.Winzorization("mad ")
    assert isinstance(sb.Winzorization(), sb.FactorPreprocessor)


def test_winzorization_calls_the_routine_once_per_date(monkeypatch):
    factor = factor_frame(4, IDS, nan_fraction=0.2)
    routine = RecordingRoutine()
    monkeypatch.setattr(sb, "WINSORIZE_METHODS", {"std": routine})
    out = sb.Winzorization("std").process(factor)

    assert len(routine.rows) == len(factor)
    for date, row in zip(factor.index, routine.rows):
        assert row.name == date
        assert list(row.index) == IDS
        np.testing.assert_array_equal(row.to_numpy(), factor.loc[date].to_numpy())
    pd.testing.assert_frame_equal(out, factor.clip(-1.0, 1.0))


def test_winzorization_looks_the_routine_up_at_every_call(monkeypatch):
    factor = factor_frame(3, IDS)
    step = sb.Winzorization("mad")
    monkeypatch.setattr(sb, "WINSORIZE_METHODS", {"mad": lambda s: s * 0 + 1})
    assert (step.process(factor) == 1).all().all()
    monkeypatch.setattr(sb, "WINSORIZE_METHODS", {"mad": lambda s: s * 0 + 2})
    assert (step.process(factor) == 2).all().all()
    monkeypatch.setattr(sb, "WINSORIZE_METHODS", {"std": lambda s: s})
    with pytest.raises(KeyError):
        step.process(factor)


def test_winzorization_keeps_axes_and_aligns_results(monkeypatch):
    factor = factor_frame(3, ["z", "a", "m"])
    factor.index.name = "datetime"
    # A routine that returns its row in another order, one instrument short.
    monkeypatch.setattr(sb, "WINSORIZE_METHODS",
                        {"mad": lambda s: s.sort_index().drop("m") * 10})
    out = sb.Winzorization().process(factor)
    assert out.index.equals(factor.index) and out.index.name == "datetime"
    assert list(out.columns) == ["z", "a", "m"]
    np.testing.assert_allclose(out[["z", "a"]].to_numpy(), factor[["z", "a"]].to_numpy() * 10)
    assert out["m"].isna().all()

    monkeypatch.setattr(sb, "WINSORIZE_METHODS", {"mad": lambda s: np.zeros(2)})
    with pytest.raises(ValueError, match="shape"):
        sb.Winzorization().process(factor)


def test_winzorization_with_the_packaged_routines():
    from alvora.analysis import winsorize
    factor = factor_frame(6, IDS + ["a", "b", "c"], nan_fraction=0.1)
    factor.iloc[2, 3] = 50.0
    for method in ("mad", "std", "percentile"):
        if method not in sb.WINSORIZE_METHODS:
            pytest.skip("winsorizing routines not available")
        expected = factor.apply(winsorize.WINSORIZE_METHODS[method], axis=1)
        pd.testing.assert_frame_equal(sb.Winzorization(method).process(factor), expected,
                                      check_names=False)


def test_normalization_matches_the_pandas_formula():
    factor = factor_frame(30, [f"s{i}" for i in range(40)], seed=5,
                          nan_fraction=0.15) * 3.0 + 7.0
    out = sb.Normalization().process(factor)
    expected = transcribe_normalize(factor)
    assert out.index.equals(factor.index) and out.columns.equals(factor.columns)
    np.testing.assert_array_equal(out.isna().to_numpy(), expected.isna().to_numpy())
    np.testing.assert_allclose(out.to_numpy(), expected.to_numpy(), rtol=1e-12, atol=1e-12)


def test_normalization_degenerate_rows():
    index = pd.bdate_range("2022-01-03", periods=6)
    factor = pd.DataFrame(
        [[np.nan, 2.0, np.nan],     # one value: undefined deviation
         [4.0, 4.0, 4.0],           # all equal: 0 / 0
         [np.nan, np.nan, np.nan],  # nothing
         [1e-320, 0.0, 0.0],        # deviation underflows to 0: +-inf -> 0
         [1.0, np.inf, 3.0],        # an infinite input poisons its row
         [1.0, np.nan, 3.0]],
        index=index, columns=["a", "b", "c"])
    out = sb.Normalization().process(factor)
    expected = transcribe_normalize(factor)
    pd.testing.assert_frame_equal(out, expected)
    assert out.iloc[:3].isna().all().all()
    assert (out.iloc[3] == 0).all()
    assert out.iloc[4].isna().all()
    np.testing.assert_allclose(out.iloc[5].to_numpy(), [-np.sqrt(0.5), np.nan, np.sqrt(0.5)])


def test_steps_leave_their_input_unchanged(monkeypatch):
    monkeypatch.setattr(sb, "WINSORIZE_METHODS", {"mad": lambda s: s.clip(-0.5, 0.5)})
    factor = factor_frame(4, IDS, nan_fraction=0.2)  # float64: one block pandas may expose
    before = factor.copy()
    for step in (sb.Normalization(), sb.Winzorization()):
        out = step.process(factor)
        pd.testing.assert_frame_equal(factor, before)
        assert not np.shares_memory(out.to_numpy(), factor.to_numpy())


def test_normalization_inputs_and_outputs():
    ints = pd.DataFrame({"a": [1, 2], "b": [3, 5], "c": [2, 2]},
                        index=pd.DatetimeIndex(["2022-01-03", "2022-01-04"]))
    before = ints.copy()
    out = sb.Normalization().process(ints)
    pd.testing.assert_frame_equal(ints, before)
    assert out.dtypes.eq(np.float64).all()
    np.testing.assert_allclose(out.iloc[0].to_numpy(), [-1.0, 1.0, 0.0])

    empty = pd.DataFrame(index=pd.DatetimeIndex([]), columns=["a"], dtype=float)
    assert sb.Normalization().process(empty).shape == (0, 1)
    with pytest.raises(ValueError, match="expect pd.DataFrame"):
        sb.Normalization().process(np.ones((2, 2)))
    with pytest.raises(ValueError):
        sb.Normalization().process(pd.DataFrame({"a": ["x", "y"]}))


def test_steps_pickle_by_reference_and_run_in_a_pipeline(monkeypatch):
    for cls in (sb.Winzorization, sb.Normalization):
        assert pickle.loads(pickle.dumps(cls)) is cls
    step = pickle.loads(pickle.dumps(sb.Winzorization("std")))
    assert type(step) is sb.Winzorization and step.method == "std"

    monkeypatch.setattr(sb, "WINSORIZE_METHODS", {"mad": lambda s: s.clip(-1.0, 1.0)})
    factor = factor_frame(5, IDS)
    bench = sb.FactorStudyBench()
    bench.append(("w", sb.Winzorization()))
    bench.append(("n", sb.Normalization()))
    out = bench.analysis(factor, factor * 0.0, periods=1, keep_preprocess_result=True)
    pd.testing.assert_frame_equal(out["w"], factor.clip(-1.0, 1.0), check_names=False)
    pd.testing.assert_frame_equal(out["n"], transcribe_normalize(factor.clip(-1.0, 1.0)),
                                  check_names=False)


def awkward_frame(seed=5):
    """Odd and even counts, ties, infinities, a single value, empty and constant rows."""
    rng = np.random.default_rng(seed)
    values = rng.standard_t(3, size=(12, 1201))  # wide enough for the bracketed selection
    values[rng.random(values.shape) < 0.15] = np.nan
    values[1, :] = np.round(values[1, :])          # many ties
    values[2, 5], values[2, 9] = np.inf, -np.inf
    values[3, :] = np.nan
    values[3, 7] = 4.0                             # a single value
    values[4, :] = np.nan                          # nothing finite
    values[5, :] = 2.5                             # constant
    values[6, :-1] = np.nan                        # an infinity alone: nothing finite
    values[6, -1] = np.inf
    values[7, ::2] = np.nan                        # even count
    values[8, :700] = np.nan                       # odd count below the bracketing size
    values[9, :] = np.round(values[9, :] * 3) / 3  # heavy ties around the middle
    return pd.DataFrame(values, index=pd.bdate_range("2022-01-03", periods=12),
                        columns=[f"{i:06d}.XSHE" for i in range(1201)])


@pytest.mark.parametrize("method", ["mad", "std", "percentile"])
@pytest.mark.parametrize("constants", [{}, {"N_DEVIATIONS": 1.0, "MAD_SCALE": 2,
                                            "PERCENTILE_LIMITS": (10, 90.5)}])
def test_native_clipping_equals_calling_the_routine(monkeypatch, method, constants):
    from alvora.analysis import winsorize
    for name, value in constants.items():
        monkeypatch.setattr(winsorize, name, value)
    factor = awkward_frame()
    native = sb.Winzorization(method).process(factor)
    original = winsorize.WINSORIZE_METHODS[method]
    monkeypatch.setattr(sb, "WINSORIZE_METHODS", {method: lambda row: original(row)})
    called = sb.Winzorization(method).process(factor)
    pd.testing.assert_frame_equal(native, called, rtol=1e-12, atol=1e-12)
    assert not native.equals(factor)


def test_a_replaced_helper_of_the_routine_is_honoured(monkeypatch):
    from alvora.analysis import winsorize
    monkeypatch.setattr(winsorize, "_mad_bounds", lambda x: (-0.1, 0.1))
    out = sb.Winzorization("mad").process(awkward_frame()).to_numpy()
    assert np.abs(out[np.isfinite(out)]).max() == 0.1


def test_results_in_reused_memory_are_whole_and_independent(monkeypatch):
    # Large enough for the memory of a dropped result to be handed to the next one.
    first = factor_frame(260, [f"{i:06d}.XSHE" for i in range(1100)], seed=8, nan_fraction=0.1)
    second = first * -3.0 + 1.0
    second.iloc[5] = np.nan  # a row without values must not keep the old cells
    kept = sb.Winzorization("mad").process(first)
    snapshot = kept.copy()
    for _ in range(2):
        sb.Winzorization("std").process(first)  # dropped: its memory is kept
        native = sb.Winzorization("percentile").process(second)
        sb.Normalization().process(first)
        normalized = sb.Normalization().process(second)
    pd.testing.assert_frame_equal(kept, snapshot)
    pd.testing.assert_frame_equal(normalized, transcribe_normalize(second), rtol=1e-12,
                                  atol=1e-12)
    from alvora.analysis import winsorize
    original = winsorize.WINSORIZE_METHODS["percentile"]
    monkeypatch.setattr(sb, "WINSORIZE_METHODS", {"percentile": lambda row: original(row)})
    pd.testing.assert_frame_equal(native, sb.Winzorization("percentile").process(second),
                                  rtol=1e-12, atol=1e-12)
