"""What a factor's folder holds after a study: a summary, one CSV per table
of every step result and the HTML tear sheet (``index.html``)."""
import os

import pandas as pd

from .. import report

__all__ = ["study_summary", "write_study"]

TEAR_SHEET = "index.html"


def study_summary(name, node, results):
    lines = ["factor {}: {!r}".format(name, node)]
    for step, result in results.items():
        lines.append("")
        lines.append("== {} ({})".format(step, type(result).__name__))
        summary = getattr(result, "summary", None)
        if callable(summary):
            with pd.option_context("display.width", 160, "display.max_columns", 30):
                lines.append(summary().to_string())
    return "\n".join(lines) + "\n"


def write_study(folder, name, node, results, tear_sheet=True):
    """Writes the study's files into ``folder``; returns their paths."""
    analyses = {k: v for k, v in results.items() if not isinstance(v, pd.DataFrame)}
    paths = report.write_report(folder, study_summary(name, node, analyses), results=analyses)
    write_html = getattr(report, "write_html", None)
    if tear_sheet and callable(write_html):
        paths.append(write_html(results, os.path.join(folder, TEAR_SHEET),
                                title="Factor study: {}".format(name), expression=repr(node)))
    return paths
