import os
import re
import shutil

import numpy as np
import pandas as pd
import pytest

from alvora.analysis.analysis_result import FactorReturnAnalysisResult
from alvora.report import write_html
from alvora.report.html import leaderboard

from test_report_figures import ic_result, quantile_result

pytest.importorskip("matplotlib")
CHROMIUM = os.environ.get("ALVORA_CHROMIUM") or shutil.which("chromium") or "/usr/bin/chromium"


def full_study():
    """A factor frame, its three preprocessing outputs and the three analyses."""
    dates = pd.bdate_range("2024-01-01", periods=30, name="datetime")
    rng = np.random.default_rng(9)
    raw = pd.DataFrame(rng.lognormal(size=(30, 12)), index=dates,
                       columns=["{:06d}.XSHE".format(k) for k in range(12)])
    clipped = raw.clip(upper=raw.quantile(0.9, axis=1), axis=0)
    ranked = clipped.rank(axis=1)
    normal = ranked.sub(ranked.mean(axis=1), axis=0).div(ranked.std(axis=1), axis=0)
    quantile, _ = quantile_result(groups=5)
    factor = FactorReturnAnalysisResult(factor_returns=pd.DataFrame(
        {"P_1": np.cumprod(1 + rng.normal(0, 0.01, 30)) - 1}, index=quantile.benchmark_return.index),
        name="factor_return")
    results = {"winsorize": clipped, "neutralize": ranked, "normalize": normal,
               "ic": ic_result(), "quantile": quantile, "factor_return": factor}
    return raw, results


def sparse_study():
    """No industry source, no decay, no benchmark, one horizon, no factor-return step."""
    ic = ic_result(industry=False, decay=False)
    ic.ic = ic.ic[["P_1"]]
    quantile, _ = quantile_result(groups=3, benchmark=False)
    return {"ic": ic, "quantile": quantile}


def test_one_study_report_has_every_section_and_figure(tmp_path):
    raw, results = full_study()
    path = write_html(results, str(tmp_path / "r" / "index.html"), title="Reversal",
                      factor_frame=raw, expression="-(close / MA(close, 5) - 1)")
    text = open(path, encoding="utf-8").read()
    sections = re.findall(r'data-section="([^"]+)"', text)
    assert sections == ["Overview", "Preprocessing", "Information coefficient (ic)",
                        "Quantile groups (quantile)", "Factor return (factor_return)"]
    figures = re.findall(r'<figure data-figure="([^"]+)"', text)
    assert figures == ["preprocessing", "ic series", "ic histogram", "ic decay", "ic industry",
                       "quantile cumulative", "top minus bottom", "quantile turnover",
                       "factor cumulative"]
    assert "<script" not in text and "http" not in text.replace("http-equiv", "")
    assert "1 of 40 dates have no IC" in text  # the all-NaN date is named


def test_missing_pieces_render_with_notes(tmp_path):
    text = open(write_html(sparse_study(), str(tmp_path / "s.html")), encoding="utf-8").read()
    for note in ("IC by industry: no industry classification was given.",
                 "IC decay: not computed (decay lags off).",
                 "No benchmark: the quantile plot shows the groups only.",
                 "This study has no factor return step.",
                 "The raw factor was not given: no preprocessing figures."):
        assert note in text
    assert text.count("<figure") == 7
    with pytest.raises(TypeError, match="results must be a dict"):
        write_html([sparse_study()], str(tmp_path / "x.html"))


def test_leaderboard_links_each_factor_and_uses_its_results(tmp_path):
    _, full = full_study()
    studies = {"reversal": {"results": full, "expression": "-(close / MA(close, 5) - 1)"},
               "sparse": sparse_study()}
    board = leaderboard(studies)
    ic = full["ic"].summary()
    assert board.loc["reversal", "IR"] == pytest.approx(ic.loc["P_1", "IR"])
    assert board.loc["sparse", "top-bottom sharpe"] == pytest.approx(
        studies["sparse"]["quantile"].horizon_summary().loc["P_1", "top-bottom sharpe"])
    assert np.isnan(board.loc["sparse", "factor-return sharpe"])
    text = open(write_html(studies, str(tmp_path / "m.html")), encoding="utf-8").read()
    links = re.findall(r'<a href="#(f\d)">([^<]+)</a>', text.split("</table>")[0])
    assert sorted(links) == [("f1", "reversal"), ("f2", "sparse")]
    assert 'id="f1"' in text and 'id="f2"' in text


@pytest.mark.skipif(not os.path.exists(CHROMIUM), reason="no Chromium (scripts/setup.sh installs it)")
def test_report_in_a_real_browser(tmp_path):
    sync_api = pytest.importorskip("playwright.sync_api")
    raw, full = full_study()
    studies = {"reversal": {"results": full, "factor_frame": raw, "expression": "-close"},
               "sparse": sparse_study()}
    path = write_html(studies, str(tmp_path / "index.html"), title="Two factors")
    with sync_api.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        try:
            for width, height in ((1280, 900), (390, 844)):
                page = browser.new_page(viewport={"width": width, "height": height})
                problems, requests = [], []
                page.on("console", lambda m: problems.append(m.text) if m.type == "error" else 0)
                page.on("pageerror", lambda e: problems.append(str(e)))
                page.on("requestfailed", lambda r: problems.append("failed: " + r.url))
                page.on("request", lambda r: requests.append(r.url))
                page.goto("file://" + os.path.abspath(path), wait_until="load")
                assert problems == []
                assert all(u.startswith(("file:", "data:")) for u in requests), requests
                sections = page.eval_on_selector_all(
                    "section", "els => els.map(e => [e.id, e.getBoundingClientRect().height])")
                assert len(sections) == 1 + 5 + 5 and all(h > 0 for _, h in sections)
                images = page.eval_on_selector_all("figure img", """els => els.map(e => [
                    e.complete, e.naturalWidth, e.getBoundingClientRect().width,
                    e.getBoundingClientRect().height])""")
                assert len(images) == 9 + 7
                assert all(ok and n > 0 and w > 0 and h > 0 for ok, n, w, h in images)
                # the page itself never scrolls sideways; wide tables scroll in their box
                assert page.evaluate("document.documentElement.scrollWidth") <= width
                page.click('#leaderboard a[href="#f2"]')
                assert page.evaluate("location.hash") == "#f2"
                shot = tmp_path / "report-{}.png".format(width)
                page.screenshot(path=str(shot), full_page=True)
                assert shot.stat().st_size > 0
                page.close()
        finally:
            browser.close()


def test_real_study_with_missing_pieces_renders(tmp_path):
    """No industry source, no benchmark, one horizon and a date where the
    factor has no value at all, through the real pipeline."""
    study_bench = pytest.importorskip("alvora.analysis.study_bench")
    import tessal
    from alvora.cli import _execute
    from alvora.expression import parse_factor
    path = str(tmp_path / "market")
    tessal.bundle.generate_market(path, n_instruments=25, start="2023-01-03", end="2023-04-28",
                                  seed=3)
    tessal.init(path)
    try:
        ids = list(tessal.all_instruments("CS").order_book_id)
        frame = _execute(parse_factor("-(close / MA(close, 5) - 1)"), ids, "2023-02-01",
                         "2023-04-28", None, print)
        frame.iloc[10] = np.nan
        bench = study_bench.FactorStudyBench()
        bench.append(("normalize", study_bench.Normalization()))
        bench.append(("ic", study_bench.ICAnalysis(industry_classification=None, max_decay=3)))
        bench.append(("quantile", study_bench.QuantileReturnAnalysis(quantile=4)))
        bench.append(("factor_return", study_bench.FactorReturnAnalysis()))
        results = bench.analysis(frame, "daily", periods=(1,), keep_preprocess_result=True)
    finally:
        tessal.init(None)
    text = open(write_html(results, str(tmp_path / "r.html"), factor_frame=frame),
                encoding="utf-8").read()
    assert "IC by industry: no industry classification was given." in text
    assert "No benchmark: the quantile plot shows the groups only." in text
    assert "1 date has no factor value at all (first: {})".format(
        frame.index[10].strftime("%Y-%m-%d")) in text
    assert re.search(r"[1-9]\d* of {} dates have fewer than two usable values".format(
        len(frame)), text)
    assert text.count("<figure") == 9
