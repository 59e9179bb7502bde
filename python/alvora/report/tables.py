"""A study report folder: CSV tables plus a summary text."""
import os
import re

import pandas as pd

__all__ = ["result_tables", "write_report"]


def _safe(name):
    """A file-name fragment: letters, digits, dot, dash and underscore only."""
    return re.sub(r"[^A-Za-z0-9._-]+", "_", str(name)).strip("._") or "step"


def result_tables(result):
    """The tables of a step result: its ``tables()`` when it has one, else
    every DataFrame or Series attribute; a bare table stands for itself."""
    if isinstance(result, (pd.DataFrame, pd.Series)):
        return {"table": result}
    tables = getattr(result, "tables", None)
    if callable(tables):
        return dict(tables())
    return {k: v for k, v in sorted(vars(result).items())
            if isinstance(v, (pd.DataFrame, pd.Series))} if hasattr(result, "__dict__") else {}


def write_report(out_dir, summary_text, factor_frame=None, results=None):
    """Write ``summary.txt``, ``factor.csv`` and ``<step>_<table>.csv`` for
    every table of every step result into ``out_dir``; returns the paths."""
    os.makedirs(out_dir, exist_ok=True)
    written = []

    def save(frame, name):
        path = os.path.join(out_dir, name)
        frame.to_csv(path)
        written.append(path)

    if factor_frame is not None:
        save(factor_frame, "factor.csv")
    for step, result in (results or {}).items():
        for table, frame in result_tables(result).items():
            save(frame, "{}_{}.csv".format(_safe(step), _safe(table)))
        summary = getattr(result, "summary", None)
        if callable(summary):
            save(summary(), "{}_summary.csv".format(_safe(step)))
    path = os.path.join(out_dir, "summary.txt")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(summary_text)
    written.append(path)
    return written
