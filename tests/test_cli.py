import io
import os
import sys
import types

import numpy as np
import pandas as pd
import pytest

import tessal
from alvora import cli
from alvora.analysis.analysis_result import FactorReturnAnalysisResult, ICAnalysisResult


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "market"
    tessal.bundle.generate_market(str(path), n_instruments=40, start="2023-01-03",
                                  end="2023-12-29", seed=11)
    yield str(path)
    tessal.init(None)


def run(argv):
    out, err = io.StringIO(), io.StringIO()
    code = cli.main(argv, stdout=out, stderr=err)
    return code, out.getvalue(), err.getvalue()


def test_check_shows_the_tree():
    code, out, _ = run(["check", "CS_RANK(close - open) + FIX(volume, '000300.XSHG')"])
    assert code == 0
    assert "factor: (CS_RANK((close - open)) + FIX(volume, '000300.XSHG'))" in out
    assert "look-back: 0 rows" in out and "leaves: close, open, volume" in out


def test_bad_expressions_and_arguments():
    code, out, err = run(["check", "close.__class__"])
    assert code == 2 and out == "" and "bad expression: not allowed" in err
    code, _, err = run(["eval", "os.system('x')"])
    assert code == 2 and "only operators can be called" in err
    for argv in (["study", "--periods", "0"], ["study", "--periods", "1,x"],
                 ["study", "--quantiles", "-2"], ["eval", "close", "--start", "notadate"]):
        with pytest.raises(SystemExit) as info:
            cli.build_parser().parse_args(argv)
        assert info.value.code == 2
    assert cli.build_parser().parse_args(["study", "--periods", "1,5"]).periods == [1, 5]


@pytest.mark.parametrize("argv, code, text", [
    (["check", "-close"], 0, "factor: -close"),
    (["check", "-MA(close, 5) / close"], 0, "look-back: 4 rows"),
    (["check", "MA(close, close, 5)"], 2,
     "MA takes 1 factor argument and a window, as MA(factor, window), got 2 factor arguments"),
    (["check", "CORR(close, 5)"], 2, "CORR takes 2 factor arguments and a window"),
    (["check", "close * " + "9" * 4400], 2, "number too large"),
    (["check", "+".join(["close"] * 6000)], 0, "look-back: 0 rows"),
])
def test_expressions_from_the_command_line(argv, code, text):
    got, out, err = run(argv)
    assert got == code and text in (out if code == 0 else err)


def test_eval_on_a_bundle(bundle, tmp_path):
    target = tmp_path / "f.csv"
    code, out, err = run(["eval", "CS_RANK(close / open)", "--bundle", bundle,
                          "--instruments", "12", "--days", "30", "--out", str(target)])
    assert code == 0, err
    assert "instruments: 12, dates:" in out and "frame: 30 dates x 12 instruments" in out
    frame = pd.read_csv(target, index_col=0, parse_dates=True)
    assert frame.shape == (30, 12)
    values = frame.to_numpy()
    ok = np.isfinite(values)
    assert ok.mean() > 0.5 and (values[ok] > 0).all() and (values[ok] <= 1).all()
    # every date's ranks are a permutation of k/n: their mean is (n + 1) / (2n)
    row = frame.iloc[-1].dropna()
    assert row.mean() == pytest.approx((len(row) + 1) / (2 * len(row)))


def test_eval_ids_and_empty_ranges(bundle):
    code, out, _ = run(["eval", "close", "--bundle", bundle, "--ids", "000001.XSHE,000300.XSHG",
                        "--days", "5"])
    assert code == 0 and "frame: 5 dates x 2 instruments" in out
    code, _, err = run(["eval", "close", "--bundle", bundle, "--start", "2023-06-01",
                        "--end", "2023-05-01"])
    assert code == 1 and "is after end" in err


# -- study, with a stand-in analysis module ------------------------------------------

class _Preprocessor:
    pass


class _Analyser:
    step_name = "FactorAnalysisStep"


def fake_study_module(fail_pipeline=False, missing=()):
    module = types.ModuleType("alvora.analysis.study_bench")
    log = []

    class Bench:
        def __init__(self):
            self.steps = []

        def append(self, step):
            self.steps.append(step)

        def analysis(self, factor_data, returns, ascending=False, periods=1,
                     keep_preprocess_result=False):
            log.append(("analysis", [n for n, _ in self.steps], returns, ascending, periods))
            if fail_pipeline and len(self.steps) > 1:
                raise RuntimeError("industry data missing")
            out = {}
            for name, step in self.steps:
                if isinstance(step, _Preprocessor):
                    factor_data = step.process(factor_data)
                    if keep_preprocess_result:
                        out[name] = factor_data.copy()
            out.update({name: step.analysis(factor_data, returns, periods, ascending=ascending)
                        for name, step in self.steps if isinstance(step, _Analyser)})
            return out

    def preprocessor(name):
        class Step(_Preprocessor):
            def __init__(self, **kwargs):
                log.append((name, kwargs))

            def process(self, frame):
                return frame.rank(axis=1)
        return Step

    class ICAnalysis(_Analyser):
        def __init__(self, **kwargs):
            log.append(("ICAnalysis", kwargs))

        def analysis(self, factor_data, returns, periods, ascending=True):
            ic = pd.DataFrame({"P_{}".format(p): 0.05 for p in periods},
                              index=factor_data.index)
            return ICAnalysisResult(ic=ic, ic_p_value=ic * 0, ic_decay=None,
                                    ic_industry_distribute=None, name="ic")

    class FactorReturnAnalysis(_Analyser):
        def __init__(self, **kwargs):
            log.append(("FactorReturnAnalysis", kwargs))

        def analysis(self, factor_data, returns, periods, ascending=True):
            if fail_pipeline:
                raise ValueError("no returns")
            cum = pd.DataFrame({"P_1": np.linspace(0, 0.1, len(factor_data))},
                               index=factor_data.index)
            return FactorReturnAnalysisResult(factor_returns=cum, name="factor_return")

    module.FactorStudyBench = Bench
    module.FactorPreprocessor = _Preprocessor
    module.FactorAnalyser = _Analyser
    module.Winzorization = preprocessor("Winzorization")
    module.Neutralization = preprocessor("Neutralization")
    module.Normalization = preprocessor("Normalization")
    module.ICAnalysis = ICAnalysis
    module.FactorReturnAnalysis = FactorReturnAnalysis
    for name in missing:
        delattr(module, name)
    return module, log


def test_study_builds_steps_and_writes_a_report(bundle, tmp_path, monkeypatch):
    module, log = fake_study_module()
    monkeypatch.setitem(sys.modules, "alvora.analysis.study_bench", module)
    out_dir = tmp_path / "rep"
    code, out, err = run(["study", "--bundle", bundle, "--instruments", "10", "--days", "40",
                          "--periods", "1,3", "--max-decay", "4", "--winsorize-method", "std",
                          "--out", str(out_dir)])
    assert code == 0, err
    assert "factor: -((close / ma(close, 5)) - 1)" in out
    assert "notice: QuantileReturnAnalysis is not available; skipping step quantile" in out
    assert "steps: winsorize, neutralize, normalize, ic, factor_return" in out
    assert ("Winzorization", {"method": "std"}) in log
    assert ("Neutralization", {"industry": "citics_2019"}) in log
    assert ("ICAnalysis", {"industry_classification": "citics_2019", "max_decay": 4}) in log
    (call,) = [entry for entry in log if entry[0] == "analysis"]
    assert call[1:] == (["winsorize", "neutralize", "normalize", "ic", "factor_return"],
                        "daily", False, [1, 3])
    assert "== ic (ICAnalysisResult)" in out and "IC mean" in out
    assert "== factor_return (FactorReturnAnalysisResult)" in out
    # every preprocessing step says what it did; the stand-in steps rank each date
    lines = out.splitlines()
    start = lines.index("== preprocessing")
    assert [line.split(":")[0] for line in lines[start + 1:start + 4]] == [
        "winsorize", "neutralize", "normalize"]
    assert "became missing" in lines[start + 1]
    files = set(os.listdir(out_dir))
    assert {"summary.txt", "factor.csv", "ic_ic.csv", "ic_ic_p_value.csv", "ic_summary.csv",
            "factor_return_factor_returns.csv", "factor_return_summary.csv"} <= files
    summary = (out_dir / "summary.txt").read_text()
    assert "== ic (ICAnalysisResult)" in summary and "steps: winsorize" in summary
    ic = pd.read_csv(out_dir / "ic_ic.csv", index_col=0)
    assert list(ic.columns) == ["P_1", "P_3"] and len(ic) == 40


def test_study_switches_and_fallback(bundle, tmp_path, monkeypatch):
    module, log = fake_study_module(fail_pipeline=True)
    monkeypatch.setitem(sys.modules, "alvora.analysis.study_bench", module)
    code, out, err = run(["study", "close", "--bundle", bundle, "--instruments", "8",
                          "--days", "20", "--no-neutralize", "--no-winsorize", "--ascending",
                          "--no-html", "--quiet", "--out", str(tmp_path / "r")])
    assert code == 0, err
    assert "steps: normalize, ic, factor_return" in out
    assert "notice: the pipeline failed (RuntimeError: industry data missing)" in out
    assert "notice: step factor_return failed (ValueError: no returns); skipped" in out
    assert "== ic (ICAnalysisResult)" in out and "== factor_return" not in out
    assert "normalize: " in out  # the step-by-step path still reports preprocessing
    assert [e[3] for e in log if e[0] == "analysis"] == [True, True, True]
    assert not (tmp_path / "r" / "index.html").exists() and "html report" not in out


def test_study_without_the_analysis_module(monkeypatch):
    monkeypatch.setitem(sys.modules, "alvora.analysis.study_bench", None)
    code, _, err = run(["study"])
    assert code == 1 and "analysis module is not available" in err


def test_instrument_selection_respects_listing(monkeypatch):
    table = pd.DataFrame({
        "order_book_id": ["C", "A", "B", "D"],
        "listed_date": ["2010-01-01", "2010-01-01", "2023-05-01", "2010-01-01"],
        "de_listed_date": ["0000-00-00", "2022-12-30", "0000-00-00", "2023-02-01"],
    })
    fake = types.SimpleNamespace(all_instruments=lambda type=None: table)
    monkeypatch.setattr(cli, "tessal", fake)
    args = cli.build_parser().parse_args(["eval", "close", "--instruments", "5"])
    # A left before the range, B listed after it; D left inside it
    assert cli._instruments(args, pd.Timestamp("2023-01-03"), pd.Timestamp("2023-03-31")) == \
        ["C", "D"]
    args.instruments = 1
    assert cli._instruments(args, pd.Timestamp("2023-01-03"), pd.Timestamp("2023-03-31")) == ["C"]
    args.ids = " X , Y,X "
    assert cli._instruments(args, None, None) == ["X", "Y"]


def test_eval_with_a_universe_list(bundle, tmp_path):
    target = tmp_path / "u.csv"
    code, _, err = run(["eval", "close", "--bundle", bundle, "--instruments", "4", "--days", "10",
                        "--universe", "000001.XSHE,000002.XSHE", "--out", str(target)])
    assert code == 0, err
    frame = pd.read_csv(target, index_col=0)
    inside = [c for c in frame.columns if c in ("000001.XSHE", "000002.XSHE")]
    outside = [c for c in frame.columns if c not in inside]
    assert inside and outside
    assert frame[outside].isna().all().all() and frame[inside].notna().any().all()


def test_study_end_to_end(bundle, tmp_path):
    pytest.importorskip("alvora.analysis.study_bench")
    out_dir = tmp_path / "report"
    code, out, err = run(["study", "--bundle", bundle, "--instruments", "30", "--days", "60",
                          "--periods", "1,5", "--out", str(out_dir)])
    assert code == 0, err
    assert "steps: winsorize, neutralize, normalize, ic, quantile, factor_return" in out
    for section in ("== ic (ICAnalysisResult)", "== quantile (QuantileReturnAnalysisResult)",
                    "== factor_return (FactorReturnAnalysisResult)"):
        assert section in out
    assert "failed" not in out
    quantiles = pd.read_csv(out_dir / "quantile_summary.csv", index_col=0)
    assert list(quantiles.index[:5]) == ["q1", "q2", "q3", "q4", "q5"]
    ic = pd.read_csv(out_dir / "ic_ic.csv", index_col=0)
    assert list(ic.columns) == ["P_1", "P_5"] and ic.abs().max().max() <= 1
    page = (out_dir / "index.html").read_text(encoding="utf-8")
    assert "html report: {}".format(out_dir / "index.html") in out
    assert page.count("<figure") == 9 and "Quantile groups (quantile)" in page


def test_study_of_several_factors_shares_inputs_and_ranks_them(bundle, tmp_path):
    study_bench = pytest.importorskip("alvora.analysis.study_bench")
    out_dir = tmp_path / "reports"
    study_bench._cache_industry_data.cache_clear()  # this bundle's records only here
    code, out, err = run(["study", "-(close / MA(close, 5) - 1)", "close / MA(close, 20)",
                          "--bundle", bundle, "--instruments", "25", "--days", "50",
                          "--periods", "1,5", "--out", str(out_dir)])
    assert code == 0, err
    assert "analysed 2 factors together" in out and "failed" not in out
    board = out.split("== leaderboard")[1].splitlines()
    assert "IC mean" in board[1] and "turnover" in board[1]
    assert sorted(line.split()[0] for line in board[3:5]) == ["factor_1", "factor_2"]
    for name in ("factor_1", "factor_2"):
        assert (out_dir / name / "ic_ic.csv").exists()
    study_bench._cache_industry_data.cache_clear()


def test_eval_several_factors_and_a_factor_file(bundle, tmp_path):
    path = tmp_path / "alphas.txt"
    path.write_text("# two alphas\n\nrev = -DELTA(close, 3)  # reversal\n"
                    "a101 = (close - open) / ((high - low) + 0.001)\n")
    out_dir = tmp_path / "frames"
    code, out, err = run(["eval", "RETURNS", "--factors", str(path), "--bundle", bundle,
                          "--instruments", "8", "--days", "20", "--out", str(out_dir)])
    assert code == 0, err
    assert "factors: 3" in out and "== factor_1" in out and "== a101" in out
    assert sorted(os.listdir(out_dir)) == ["a101.csv", "factor_1.csv", "rev.csv"]
    rev = pd.read_csv(out_dir / "rev.csv", index_col=0, parse_dates=True)
    assert rev.shape == (20, 8) and np.isfinite(rev.to_numpy()).mean() > 0.5


@pytest.mark.parametrize("text, message", [
    ("ok = close\nbroken line\n", "alphas.txt:2: expected 'name = expression'"),
    ("ok = close\nok = open\n", "alphas.txt:2: factor 'ok' is defined twice"),
    ("# nothing\n", "no factor in the file"),
    ("1x = close\n", "alphas.txt:1: '1x' is not a valid factor name"),
    ("x = DELAY(close, -2)\n", "alphas.txt:1: bad expression for x: the delay of DELAY"),
])
def test_bad_factor_files(tmp_path, text, message):
    path = tmp_path / "alphas.txt"
    path.write_text(text)
    code, _, err = run(["eval", "--factors", str(path)])
    assert code == 1 and message in err


def test_study_of_several_factors_writes_one_report_with_a_leaderboard(bundle, tmp_path):
    pytest.importorskip("alvora.analysis.study_bench")
    out_dir = tmp_path / "many"
    code, out, err = run(["study", "-DELTA(close, 3)", "close / open", "--bundle", bundle,
                          "--instruments", "20", "--days", "40", "--periods", "1",
                          "--quiet", "--out", str(out_dir)])
    assert code == 0, err
    assert sorted(p for p in os.listdir(out_dir)) == ["factor_1", "factor_2", "index.html"]
    page = (out_dir / "index.html").read_text(encoding="utf-8")
    board = page.split('id="leaderboard"')[1].split("</table>")[0]
    assert '<a href="#f1">factor_1</a>' in board and '<a href="#f2">factor_2</a>' in board
    ic = pd.read_csv(out_dir / "factor_2" / "ic_summary.csv", index_col=0)
    assert "{:.4f}".format(ic.loc["P_1", "IC mean"]) in board


def test_progress_shows_on_a_terminal_only(bundle, tmp_path, monkeypatch):
    pytest.importorskip("alvora.analysis.study_bench")
    from alvora import progress

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    monkeypatch.setattr(progress, "DELAY", 0.0)
    argv = ["study", "--bundle", bundle, "--instruments", "10", "--days", "30", "--periods", "1",
            "--out", str(tmp_path / "p")]
    for extra, shown in (([], True), (["--quiet"], False)):
        terminal = Terminal()
        monkeypatch.setattr(sys, "stderr", terminal)
        code, _, _ = run(argv + extra)
        assert code == 0
        text = terminal.getvalue()
        assert ("analysis" in text and "report" in text) == shown, text
