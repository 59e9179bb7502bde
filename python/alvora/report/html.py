"""A self-contained HTML tear sheet of one or several factor studies.

Everything is in one file: styles inline, figures as embedded PNG (data
URIs), no scripts and no network fetches.  The layout is one column that
reads at phone width; wide tables scroll sideways inside their box.
"""
import base64
import html
import io
import os
import re
import warnings

import numpy as np
import pandas as pd

from ..analysis import performance as perf

__all__ = ["write_html", "render_html", "result_fragment", "leaderboard", "figure_png"]

_CSS = """
body{font-family:-apple-system,Segoe UI,Helvetica,Arial,"WenQuanYi Micro Hei","Noto Sans CJK SC",sans-serif;margin:0;color:#1b1f24;
background:#f6f7f9;line-height:1.4}
main{max-width:1000px;margin:0 auto;padding:12px}
h1{font-size:1.5em;margin:.4em 0}h2{font-size:1.25em;margin:1.2em 0 .4em;
border-bottom:2px solid #d0d7de;padding-bottom:.2em}h3{font-size:1.05em;margin:1em 0 .3em}
section{background:#fff;border-radius:6px;padding:8px 14px;margin:12px 0;
box-shadow:0 1px 2px rgba(0,0,0,.08)}
.table{overflow-x:auto;margin:.4em 0}
table{border-collapse:collapse;font-size:.85em;font-variant-numeric:tabular-nums}
th,td{padding:3px 8px;border-bottom:1px solid #e5e8eb;text-align:right;white-space:nowrap}
th:first-child,td:first-child{text-align:left}thead th{background:#f0f2f4}
figure{margin:.6em 0}figure img{width:100%;height:auto;display:block}
figcaption{font-size:.8em;color:#57606a}
.note{color:#8a5a00;background:#fff8e5;border-left:3px solid #d4a72c;padding:4px 8px;
font-size:.9em}
code{background:#f0f2f4;padding:1px 4px;border-radius:3px;word-break:break-all}
dl{display:grid;grid-template-columns:max-content 1fr;gap:2px 12px;font-size:.9em}
dt{color:#57606a}dd{margin:0}nav a{margin-right:10px}
"""

_SECTION_TITLES = {"ICAnalysisResult": "Information coefficient",
                   "QuantileReturnAnalysisResult": "Quantile groups",
                   "FactorReturnAnalysisResult": "Factor return"}


def figure_png(fig, dpi=90):
    """A Figure as a base64 PNG data URI."""
    buffer = io.BytesIO()
    with warnings.catch_warnings():  # a name without a font shows boxes, said once is enough
        warnings.filterwarnings("ignore", message="Glyph .* missing from font")
        fig.savefig(buffer, format="png", dpi=dpi)
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def _esc(value):
    return html.escape(str(value), quote=True)


def _anchor(text):
    return re.sub(r"[^a-z0-9]+", "-", str(text).lower()).strip("-") or "section"


def _fmt_cell(value):
    if isinstance(value, (float, np.floating)):
        if not np.isfinite(value):
            return "–"
        return "{:.4g}".format(value) if abs(value) >= 1e4 or value == 0 else "{:.4f}".format(
            value)
    return _esc(value)


def _table(frame, note="no data"):
    if frame is None or (hasattr(frame, "empty") and frame.empty):
        return _note(note)
    if isinstance(frame, pd.Series):
        frame = frame.to_frame()
    head = "".join("<th>{}</th>".format(_esc(c)) for c in frame.columns)
    rows = []
    for label, values in zip(frame.index, frame.itertuples(index=False, name=None)):
        cells = "".join("<td>{}</td>".format(_fmt_cell(v)) for v in values)
        rows.append("<tr><th>{}</th>{}</tr>".format(_esc(label), cells))
    return ('<div class="table"><table><thead><tr><th></th>{}</tr></thead><tbody>{}</tbody>'
            "</table></div>".format(head, "".join(rows)))


def _note(text):
    return '<p class="note">{}</p>'.format(_esc(text))


def _figure_html(name, fig):
    try:
        uri = figure_png(fig)
    finally:
        fig.clear()
    return ('<figure data-figure="{0}"><img alt="{0}" src="{1}"><figcaption>{0}</figcaption>'
            "</figure>".format(_esc(name.replace("_", " ")), uri))


def _missing_notes(result):
    """Plain words for the parts of a result that hold no data."""
    notes = []
    kind = type(result).__name__
    if kind == "ICAnalysisResult":
        if result.ic is None or not np.isfinite(result.ic.to_numpy(dtype=float)).any():
            notes.append("No IC could be computed (no date with enough values).")
        else:
            empty = result.ic.index[~np.isfinite(result.ic.to_numpy(dtype=float)).any(axis=1)]
            if len(empty):
                notes.append("{} of {} dates have no IC (too few values on that date).".format(
                    len(empty), len(result.ic)))
            if result.ic_p_value is not None and result.ic_p_value.shape == result.ic.shape:
                # the analysis gives IC 0 with p-value 0 where under two pairs are usable
                void = ((result.ic.to_numpy(dtype=float) == 0)
                        & (result.ic_p_value.to_numpy(dtype=float) == 0)).all(axis=1)
                if void.any():
                    notes.append("{} of {} dates have fewer than two usable values: their IC is "
                                 "0 with p-value 0, which pulls the IC mean towards 0.".format(
                                     int(void.sum()), len(result.ic)))
        if result.ic_decay is None:
            notes.append("IC decay: not computed (decay lags off).")
        if result.ic_industry_distribute is None:
            notes.append("IC by industry: no industry classification was given.")
    elif kind == "QuantileReturnAnalysisResult":
        if result.quantile_returns is None or result.quantile_returns.empty:
            notes.append("No quantile returns.")
        if result.benchmark_return is None:
            notes.append("No benchmark: the quantile plot shows the groups only.")
    elif kind == "FactorReturnAnalysisResult":
        if result.factor_returns is None or result.factor_returns.empty:
            notes.append("No factor returns.")
    return notes


def result_fragment(result, main_only=False, anchor=None):
    """HTML of one analysis result: notes on missing data, its summary tables
    and its figures (only the main one with ``main_only``)."""
    parts = ['<div class="result">']
    parts.extend(_note(n) for n in _missing_notes(result))
    try:
        summary = result.summary()
    except Exception as exc:  # shown, not raised: the rest of the report still renders
        summary, parts = None, parts + [_note("summary unavailable: {}".format(exc))]
    parts.append("<h3>Summary</h3>")
    parts.append(_table(summary))
    if not main_only:
        for title, table in result.extra_summaries().items():
            parts.append("<h3>{}</h3>".format(_esc(title)))
            parts.append(_table(table))
    if main_only:
        fig = result.plot().figure
        parts.append(_figure_html(type(result).__name__, fig))
    else:
        for name, fig in result.figures().items():
            parts.append(_figure_html(name, fig))
    parts.append("</div>")
    return "".join(parts)


def _aligned(frame, like):
    """``frame`` as a float array on the dates and instruments of ``like``
    (no copy when it already has them)."""
    if not (frame.index.equals(like.index) and frame.columns.equals(like.columns)):
        frame = frame.reindex(index=like.index, columns=like.columns)
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def _preprocessing_section(stages, progress):
    """What each step did (values changed, values lost, mean and spread
    after) and the distribution at every stage; each panel is read once."""
    from . import plots
    rows = {}
    old = stages[0][1].to_numpy(dtype=np.float64, na_value=np.nan)
    old_ok = np.isfinite(old)
    for name, after in stages[1:]:
        new = _aligned(after, stages[0][1])
        new_ok = np.isfinite(new)
        with np.errstate(invalid="ignore"):
            moved = np.abs(old - new) > 1e-12 * np.abs(old)
        count = int(new_ok.sum())
        mean = float(np.nansum(new) / count) if count else np.nan
        rows[name] = {"values in": int(old_ok.sum()),
                      "changed": int((moved & old_ok & new_ok).sum()),
                      "became missing": int((old_ok & ~new_ok).sum()),
                      "mean after": mean,
                      "std after": float(np.sqrt(np.nansum((new - mean) ** 2) / count))
                      if count else np.nan}
        old, old_ok = new, new_ok
    body = [_table(pd.DataFrame.from_dict(rows, orient="index"), note="no preprocessing step")]
    body.append(_figure_html("preprocessing", plots.preprocessing_panel(stages)))
    progress()
    return body


def _factor_sections(key, study, progress):
    """The sections of one factor: overview, preprocessing, each analysis."""
    results = study.get("results") or {}
    frame = study.get("factor_frame")
    sections = []
    overview = ["<dl>"]
    if study.get("expression"):
        overview.append("<dt>expression</dt><dd><code>{}</code></dd>".format(
            _esc(study["expression"])))
    if frame is not None and len(frame.index):
        overview.append("<dt>data</dt><dd>{} .. {}, {} dates x {} instruments</dd>".format(
            _esc(_date(frame.index[0])), _esc(_date(frame.index[-1])), *frame.shape))
        valued = np.isfinite(frame.to_numpy(dtype=np.float64, na_value=np.nan))
        overview.append("<dt>values</dt><dd>{:.1%} of the cells</dd>".format(
            valued.mean() if valued.size else 0.0))
        empty = frame.index[~valued.any(axis=1)] if valued.size else frame.index
        if len(empty):
            overview.append("</dl>" + _note("{} no factor value at all (first: {}).".format(
                "1 date has" if len(empty) == 1 else "{} dates have".format(len(empty)),
                _date(empty[0]))) + "<dl>")
    for label, value in (study.get("details") or {}).items():
        overview.append("<dt>{}</dt><dd>{}</dd>".format(_esc(label), _esc(value)))
    overview.append("</dl>")
    sections.append(("overview", "Overview", "".join(overview)))

    frames = [(n, r) for n, r in results.items() if isinstance(r, pd.DataFrame)]
    if frame is not None:
        stages = [("raw", frame)] + frames
        if len(stages) > 1:
            sections.append(("preprocessing", "Preprocessing",
                             "".join(_preprocessing_section(stages, progress))))
        else:
            sections.append(("preprocessing", "Preprocessing", _note("No preprocessing step.")))
    else:
        sections.append(("preprocessing", "Preprocessing",
                         _note("The raw factor was not given: no preprocessing figures.")))
    for name, result in results.items():
        if isinstance(result, pd.DataFrame) or not hasattr(result, "summary"):
            continue
        title = "{} ({})".format(_SECTION_TITLES.get(type(result).__name__, "Analysis"), name)
        sections.append((_anchor(name), title, result_fragment(result)))
        progress()
    expected = set(_SECTION_TITLES)
    present = {type(r).__name__ for r in results.values()}
    for kind in sorted(expected - present):
        sections.append((_anchor(kind), _SECTION_TITLES[kind],
                         _note("This study has no {} step.".format(_SECTION_TITLES[kind].lower()))))
    return [("{}-{}".format(key, a) if key else a, t, b) for a, t, b in sections]


def _date(value):
    try:
        return pd.Timestamp(value).strftime("%Y-%m-%d")
    except (TypeError, ValueError):
        return str(value)


def leaderboard(studies):
    """One row per factor: IC mean and IR of its first horizon, the
    top-minus-bottom Sharpe of that horizon, the mean group turnover and the
    factor-return Sharpe, computed from each factor's results.  ``studies``:
    factor name -> step results, or -> dict with the key ``results``."""
    rows = {}
    for name, study in _normalise(studies, None, None, None).items():
        row = {"IC mean": np.nan, "IR": np.nan, "top-bottom sharpe": np.nan,
               "turnover": np.nan, "factor-return sharpe": np.nan}
        for result in (study.get("results") or {}).values():
            kind = type(result).__name__
            if kind == "ICAnalysisResult":
                s = result.summary()
                if len(s):
                    row["IC mean"], row["IR"] = s["IC mean"].iloc[0], s["IR"].iloc[0]
            elif kind == "QuantileReturnAnalysisResult":
                s = result.horizon_summary()
                if s is not None and len(s):
                    row["top-bottom sharpe"] = s.get("top-bottom sharpe", pd.Series(
                        [np.nan])).iloc[0]
                    row["turnover"] = s["mean turnover"].iloc[0]
            elif kind == "FactorReturnAnalysisResult":
                s = result.summary()
                if len(s):
                    row["factor-return sharpe"] = s["sharpe"].iloc[0]
        rows[name] = row
    return pd.DataFrame.from_dict(rows, orient="index")


def _leaderboard_html(studies):
    board = leaderboard(studies)
    board = board.sort_values("IR", key=lambda s: -s.abs(), na_position="last")
    head = "".join("<th>{}</th>".format(_esc(c)) for c in board.columns)
    rows = []
    for k, (name, values) in enumerate(zip(board.index, board.itertuples(index=False, name=None))):
        link = '<a href="#{}">{}</a>'.format(_esc(studies[name]["_key"]), _esc(name))
        cells = "".join("<td>{}</td>".format(_fmt_cell(v)) for v in values)
        rows.append("<tr><th>{}</th>{}</tr>".format(link, cells))
    return ('<div class="table"><table id="leaderboard"><thead><tr><th>factor</th>{}</tr>'
            "</thead><tbody>{}</tbody></table></div>".format(head, "".join(rows)))


def _normalise(results, factor_frame, expression, details):
    """A dict factor name -> study dict (results, factor_frame, expression,
    details) from either one study's results or several factors' results."""
    if isinstance(results, dict) and results and all(
            isinstance(v, dict) for v in results.values()):
        studies = {}
        for name, value in results.items():
            if "results" in value and isinstance(value["results"], dict):
                studies[str(name)] = dict(value)
            else:
                studies[str(name)] = {"results": value, "expression": str(name)}
        return studies
    return {"": {"results": dict(results or {}), "factor_frame": factor_frame,
                 "expression": expression, "details": details or {}}}


def render_html(results, title="Factor study", factor_frame=None, expression=None, details=None,
                progress=None):
    """The report as one HTML string; see :func:`write_html`."""
    if results is not None and not isinstance(results, dict):
        raise TypeError("results must be a dict of step name -> result (or factor name -> "
                        "such a dict), got {}".format(type(results).__name__))
    studies = _normalise(results, factor_frame, expression, details)
    many = len(studies) > 1 or "" not in studies
    tick = progress or (lambda: None)
    body = ["<h1>{}</h1>".format(_esc(title))]
    if many:
        for k, (name, study) in enumerate(studies.items()):
            study["_key"] = "f{}".format(k + 1)
        body.append('<section id="leaderboard-section"><h2>Leaderboard</h2>{}</section>'.format(
            _leaderboard_html(studies)))
    for name, study in studies.items():
        key = study.get("_key", "")
        sections = _factor_sections(key, study, tick)
        if many:
            body.append('<h2 id="{}">Factor: {}</h2>'.format(_esc(key), _esc(name)))
        nav = " ".join('<a href="#{}">{}</a>'.format(_esc(a), _esc(t)) for a, t, _ in sections)
        body.append("<nav>{}</nav>".format(nav))
        for anchor, heading, content in sections:
            body.append('<section id="{}" data-section="{}"><h2>{}</h2>{}</section>'.format(
                _esc(anchor), _esc(heading), _esc(heading), content))
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            "<title>{}</title><style>{}</style></head><body><main>{}</main></body></html>\n"
            .format(_esc(title), _CSS, "".join(body)))


def write_html(results, path, title="Factor study", factor_frame=None, expression=None,
               details=None, progress=None):
    """Write a self-contained HTML report to ``path`` and return the path.

    ``results`` is what ``FactorStudyBench.analysis`` returned (step name ->
    result; preprocessing outputs kept with ``keep_preprocess_result=True``
    feed the preprocessing panel, with ``factor_frame`` the raw factor), or a
    dict factor name -> such results (or -> dict with keys ``results``,
    ``factor_frame``, ``expression``, ``details``) for one report comparing
    several factors behind a leaderboard.  ``progress`` is called once per
    drawn section."""
    text = render_html(results, title=title, factor_frame=factor_frame, expression=expression,
                       details=details, progress=progress)
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    temporary = path + ".partial"
    with open(temporary, "w", encoding="utf-8") as handle:
        handle.write(text)
    os.replace(temporary, path)
    return path
