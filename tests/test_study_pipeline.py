"""FactorStudyBench: step registration, ordering, outputs, warnings and pickling."""
import pickle
import warnings
from collections import defaultdict

import numpy as np
import pandas as pd
import pytest

from alvora.analysis import study_bench as sb

from _study_helpers import make_panels


class AddOne(sb.FactorPreprocessor):
    def __init__(self):
        self.seen = []

    def process(self, factor_data):
        self.seen.append(factor_data)
        return factor_data + 1


class Double(sb.FactorPreprocessor):
    def process(self, factor_data):
        return factor_data * 2


class Recorder(sb.FactorAnalyser):
    def __init__(self):
        self.calls = []

    def analysis(self, factor_data, returns, periods, ascending=True):
        self.calls.append((factor_data, returns, periods, ascending))
        return ("result", self.step_name)


class Both(sb.FactorPreprocessor, sb.FactorAnalyser):
    def process(self, factor_data):
        return factor_data


@pytest.fixture
def panels():
    return make_panels(6, 3, nan_fraction=0.0)


def test_module_surface():
    assert sb.__all__ == ["Winzorization", "Normalization", "Neutralization", "ICAnalysis",
                          "QuantileReturnAnalysis", "FactorReturnAnalysis", "FactorStudyBench"]
    assert sb.VALID_INDUSTRY_SOURCE == ("citics_2019", "sws")
    assert sb.VALID_WINSORIZE_METHODS == ("mad", "std", "percentile")
    for cls in (sb.FactorPreprocessor, sb.FactorAnalyser, sb.FactorStudyBench):
        assert cls.__bases__ == (object,)
        assert cls.__module__ == "alvora.analysis.study_bench"
        assert cls.__doc__ and "Example" in cls.__doc__
    assert ":param step:" in sb.FactorStudyBench.append.__doc__
    assert sb.FactorAnalyser.step_name == "FactorAnalysisStep"


def test_base_methods_raise_not_implemented():
    with pytest.raises(NotImplementedError, match="^Need implement FactorPreprocessor.process$"):
        sb.FactorPreprocessor().process(None)
    with pytest.raises(NotImplementedError, match="^Need implement FactorAnalyser.analysis$"):
        sb.FactorAnalyser().analysis(None, None, [1])


def test_new_bench_is_empty_and_private_names_are_mangled():
    bench = sb.FactorStudyBench()
    assert bench.preprocess_pipelines == []
    assert isinstance(bench.analysis_pipelines, defaultdict)
    assert bench.analysis_pipelines.default_factory is sb.FactorAnalyser
    assert bench._FactorStudyBench__exists_step_names == []


def test_append_sorts_steps_by_kind_and_keeps_the_tuple():
    bench = sb.FactorStudyBench()
    step = ("w", AddOne())
    recorder = Recorder()
    assert bench.append(("ic", recorder)) is None
    bench.append(step)
    assert bench.preprocess_pipelines[0] is step
    assert bench.analysis_pipelines["ic"] is recorder
    assert recorder.step_name == "ic"
    assert "step_name" not in vars(sb.FactorAnalyser())  # class value stays
    assert bench._FactorStudyBench__exists_step_names == ["ic", "w"]
    both = Both()
    bench.append(("both", both))
    assert bench.preprocess_pipelines[-1][1] is both
    assert "both" not in bench.analysis_pipelines


def test_append_refusals():
    bench = sb.FactorStudyBench()
    bench.append(("a", AddOne()))
    with pytest.raises(RuntimeError, match=r"^pipeline step name=a already exists, please use another name\.$"):
        bench.append(("a", Recorder()))
    plain = object()
    with pytest.raises(ValueError) as info:
        bench.append(("x", plain))
    assert str(info.value) == "Invalid step=x, unknown processor={}".format(plain)
    # The refused name stays taken.
    with pytest.raises(RuntimeError, match="name=x already"):
        bench.append(("x", Recorder()))
    with pytest.raises(TypeError):
        bench.append(["y", Recorder()])
    with pytest.raises(TypeError):
        bench.append(None)
    with pytest.raises(ValueError):
        bench.append(("only-one",))
    with pytest.raises(ValueError):
        bench.append(("n", Recorder(), 3))
    assert bench._FactorStudyBench__exists_step_names == ["a", "x"]


def test_same_analyser_under_two_names_carries_the_later_name(panels):
    factor, returns = panels
    bench = sb.FactorStudyBench()
    recorder = Recorder()
    bench.append(("first", recorder))
    bench.append(("second", recorder))
    out = bench.analysis(factor, returns)
    assert out == {"first": ("result", "second"), "second": ("result", "second")}


def test_empty_pipeline_warns_and_returns_none_without_checking_inputs():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert sb.FactorStudyBench().analysis("not a table", None, periods=2.5) is None
    assert [str(w.message) for w in caught] == ["no pipelines to execute."]
    assert caught[0].category is UserWarning


def test_preprocessing_runs_first_and_feeds_analysers(panels):
    factor, returns = panels
    bench = sb.FactorStudyBench()
    recorder = Recorder()
    add = AddOne()
    bench.append(("ic", recorder))
    bench.append(("add", add))
    bench.append(("double", Double()))
    out = bench.analysis(factor, returns, periods=(1, 3))
    assert list(out) == ["ic"]
    assert add.seen[0] is factor
    final, passed_returns, periods, ascending = recorder.calls[0]
    pd.testing.assert_frame_equal(final, (factor + 1) * 2)
    assert passed_returns is returns
    assert periods == (1, 3) and ascending is False


def test_keep_preprocess_result_stores_copies_in_order(panels):
    factor, returns = panels
    bench = sb.FactorStudyBench()
    bench.append(("w", AddOne()))
    bench.append(("n", Double()))
    bench.append(("r", Recorder()))
    out = bench.analysis(factor, returns, keep_preprocess_result=1)
    assert list(out) == ["w", "n", "r"]
    pd.testing.assert_frame_equal(out["w"], factor + 1)
    pd.testing.assert_frame_equal(out["n"], (factor + 1) * 2)


def test_only_preprocessing_returns_empty_dict_after_running_steps(panels):
    factor, returns = panels
    bench = sb.FactorStudyBench()
    add = AddOne()
    bench.append(("w", add))
    assert bench.analysis(factor, returns) == {}
    assert len(add.seen) == 1


def test_periods_forms_reach_analysers(panels):
    factor, returns = panels
    bench = sb.FactorStudyBench()
    recorder = Recorder()
    bench.append(("r", recorder))
    bench.analysis(factor, returns, True, 5)
    bench.analysis(factor, returns, periods=[2, 2])
    assert recorder.calls[0][2] == [5] and recorder.calls[0][3] is True
    assert recorder.calls[1][2] == [2, 2]


def test_indexing_unknown_name_adds_bare_analyser_that_fails(panels):
    factor, returns = panels
    bench = sb.FactorStudyBench()
    bench.append(("p", AddOne()))
    assert isinstance(bench.analysis_pipelines["ghost"], sb.FactorAnalyser)
    with pytest.raises(NotImplementedError, match="FactorAnalyser.analysis"):
        bench.analysis(factor, returns)


def test_step_errors_propagate_and_axis_names_remain(panels):
    factor, returns = panels

    class Boom(sb.FactorAnalyser):
        def analysis(self, *args, **kwargs):
            raise KeyError("boom")

    bench = sb.FactorStudyBench()
    bench.append(("b", Boom()))
    with pytest.raises(KeyError, match="boom"):
        bench.analysis(factor, returns)
    assert factor.index.name == "datetime" and returns.columns.name == "order_book_id"


def test_bench_and_steps_pickle_by_reference(panels):
    bench = sb.FactorStudyBench()
    bench.append(("w", Double()))
    bench.append(("ic", sb.ICAnalysis(rank_ic=False, max_decay=3)))
    clone = pickle.loads(pickle.dumps(bench))
    assert type(clone) is sb.FactorStudyBench
    assert clone._FactorStudyBench__exists_step_names == ["w", "ic"]
    step = clone.analysis_pipelines["ic"]
    assert type(step) is sb.ICAnalysis and step.max_decay == 3 and step.step_name == "ic"
    x = pd.Series(np.arange(5.0))
    assert step.ic_func(x, x * 2)[0] == pytest.approx(1.0)
    assert pickle.loads(pickle.dumps(sb._format_factor_data)) is sb._format_factor_data
