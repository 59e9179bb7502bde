"""Small generated bundles and CSV exports shared by the tessal tests."""
import contextlib
import os

import numpy as np
import pandas as pd

import tessal
from tessal import _state
from tessal.bundle import generate_market, open_bundle

SMALL = {"n_instruments": 30, "start": "2020-01-02", "end": "2020-12-31", "seed": 3}
_made = {}


def small_bundle(tmp_path_factory, **overrides):
    """Path of a generated bundle (30 stocks over 2020 unless overridden), made once per session."""
    settings = dict(SMALL, **overrides)
    key = tuple(sorted(settings.items()))
    if key not in _made:
        root = tmp_path_factory.mktemp("tessal_bundle")
        _made[key] = generate_market(str(root / "bundle"), **settings)
    return _made[key]


@contextlib.contextmanager
def pointed_at(path):
    """Points tessal at `path` for the duration of the block, then restores the previous choice."""
    saved = (_state._chosen, _state._opened)
    tessal.init(path)
    try:
        yield
    finally:
        _state._chosen, _state._opened = saved


@contextlib.contextmanager
def using(path):
    """Like `pointed_at`, yielding the opened bundle."""
    with pointed_at(path):
        yield open_bundle(path)


def leftovers(folder):
    """Temporary or lock entries a writer left in `folder`."""
    return [n for n in os.listdir(folder) if ".tmp-" in n]


def export_csv(bundle_path, folder):
    """Writes a bundle's contents as the CSV files the importer reads; returns their paths."""
    b = open_bundle(bundle_path)
    ids = b.instruments["order_book_id"].to_numpy()
    dates = pd.DatetimeIndex(b.data_dates.astype("datetime64[ns]")).strftime("%Y-%m-%d")
    files = {}

    def long(group, names):
        parts = {n: np.asarray(b.array(group, n)) for n in names}
        has = np.zeros(parts[names[0]].shape, dtype=bool)
        for v in parts.values():
            has |= ~np.isnan(v)
        r, c = np.nonzero(has)
        frame = pd.DataFrame({"date": dates[r], "order_book_id": ids[c]})
        for n in names:
            frame[n] = parts[n][r, c]
        return frame

    files["bars"] = os.path.join(folder, "bars.csv")
    long("fields", list(tessal.bundle.PRICE_FIELDS)).to_csv(files["bars"], index=False,
                                                            float_format="%.17g")
    files["instruments"] = os.path.join(folder, "instruments.csv")
    b.instruments.to_csv(files["instruments"], index=False)
    files["style"] = os.path.join(folder, "style.csv")
    long("style", sorted(b.names("style"))).to_csv(files["style"], index=False,
                                                   float_format="%.17g")
    files["factors"] = os.path.join(folder, "factors.csv")
    long("factors", sorted(b.names("factors"))).to_csv(files["factors"], index=False,
                                                       float_format="%.17g")
    rows = []
    for source in ("citics_2019", "sws"):
        for rec in b.industry_records(source):
            version = rec[3] if len(rec) == 4 else ""
            rows.append((source, rec[0], rec[1], rec[2].strftime("%Y-%m-%d"), version))
    files["industries"] = os.path.join(folder, "industries.csv")
    pd.DataFrame(rows, columns=["source", "industry_name", "order_book_id", "start_date",
                                "version"]).to_csv(files["industries"], index=False)
    files["calendar"] = os.path.join(folder, "calendar.csv")
    pd.DataFrame({"date": [str(d) for d in b.calendar]}).to_csv(files["calendar"], index=False)
    return files


def write_csv(path, header, rows):
    """Writes a small CSV file from a header line and rows of texts."""
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(header + "\n")
        for row in rows:
            fh.write(row + "\n")
    return str(path)
