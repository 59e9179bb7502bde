"""Every public entry point against hostile input: the dtype x shape x layout x
window x NaN/inf grid for the kernels, wrong types and values for the engine,
the study and the market-data client.  Each cell gets the kernel's result on a
plain contiguous copy of the same data, or a ValueError/TypeError with a
message; never another exception, a crash or a read out of bounds.

The default run covers a sample of the grid; ``-m slow`` runs all of it."""
import itertools
import os

import numpy as np
import pandas as pd
import pytest

import tessal
from alvora import rolling
from alvora.analysis.study_bench import FactorStudyBench, ICAnalysis
from alvora.engine_v2.eval_core import execute_factor
from alvora.leaf import close
from tessal.bundle import generate_market, open_bundle

from _tessal_helpers import pointed_at

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning", "ignore::RuntimeWarning")

PAIRWISE = ("covariance", "correlation", "regression")
KERNELS = sorted(n for n in dir(rolling) if n.islower() and callable(getattr(rolling, n))
                 and n not in ("chain", "rolling_window", "np"))
DTYPES = ("float64", "float32", "int64", "int32", "uint8", "uint64", "bool")
CLEAR = (ValueError, TypeError)


def call(name, x, n, y=None):
    kernel = getattr(rolling, name)
    return kernel(n, x, x if y is None else y) if name in PAIRWISE else kernel(x, n)


def unaligned(a):
    raw = np.empty(a.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(a.dtype)
    view[:] = a
    return view


LAYOUTS = {
    "strided": lambda a: np.repeat(a, 2)[::2],
    "reversed view": lambda a: a[::-1].copy()[::-1],
    "big-endian": lambda a: a.astype(a.dtype.newbyteorder(">")),
    "unaligned": unaligned,
    "read-only": lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),
    "column of a 2-D array": lambda a: np.stack([a, a + 1], axis=1)[:, 0],
    "list": lambda a: a.tolist(),
}


def series(dtype, length, content, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=length) * 10
    if content != "finite" and length:
        x[rng.integers(0, length, size=max(1, length // 5))] = np.nan if content == "nan" else np.inf
        if content == "inf" and length > 2:
            x[-2] = -np.inf
    if dtype == "bool":
        return x > 0
    if np.dtype(dtype).kind in "iu":
        return np.abs(np.nan_to_num(x, posinf=50, neginf=7)).astype(dtype)
    return x.astype(dtype)


def check_cell(name, dtype, layout, content, length, n):
    x = series(dtype, length, content)
    y = series(dtype, length, content, seed=1)
    want = call(name, x, n, y)
    got = call(name, LAYOUTS[layout](x), n, LAYOUTS[layout](y))
    np.testing.assert_array_equal(np.asarray(got), np.asarray(want),
                                  err_msg="{} {} {} {} L={} n={}".format(
                                      name, dtype, layout, content, length, n))
    assert np.asarray(got).shape == (length - n + 1,)


def grid(lengths):
    for dtype, layout, content, length in itertools.product(
            DTYPES, LAYOUTS, ("finite", "nan", "inf"), lengths):
        if content != "finite" and dtype not in ("float64", "float32"):
            continue
        for n in sorted({1, 2, 3, length // 2, length} - {0}):
            if n <= length:
                yield dtype, layout, content, length, n


@pytest.mark.parametrize("name", KERNELS)
def test_layouts_and_dtypes_give_the_contiguous_result(name):
    sample = list(grid((9,)))
    for cell in sample[::7]:
        check_cell(name, *cell)


@pytest.mark.slow
@pytest.mark.parametrize("name", KERNELS)
def test_full_grid(name):
    for cell in grid((1, 2, 4, 9, 33, 130)):
        check_cell(name, *cell)


BAD_WINDOWS = [0, -1, 10, 2 ** 70, 2.5, np.float64(3), True, None, "3", [3]]
BAD_SERIES = [np.ones((3, 3)), np.float64(1.0), np.array(["a", "b", "c"]), np.ones(3, complex),
              np.array([1, 2, 3], dtype=object), np.arange(3).astype("datetime64[D]"), None, "abc"]


@pytest.mark.parametrize("name", KERNELS)
def test_bad_windows_and_series_are_refused_clearly(name):
    x = np.arange(9.0)
    for n in BAD_WINDOWS:
        with pytest.raises(CLEAR, match="window"):
            call(name, x, n)
    for bad in BAD_SERIES:
        with pytest.raises(CLEAR, match="series|dtype|dimension"):
            call(name, bad, 1)
    if name in PAIRWISE:
        with pytest.raises(ValueError, match="same length"):
            call(name, x, 2, x[:-1])


# ---- engine, study and market-data client: one wrong argument at a time ---------------

WRONG = [None, 123, "not-a-date", [], object(), np.nan, ""]


@pytest.fixture(scope="module")
def ids():
    return list(tessal.all_instruments("CS").order_book_id[:3])


def expect_clear_or_result(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except CLEAR as exc:
        assert str(exc), "an exception without a message"


@pytest.mark.parametrize("position", range(4))
def test_execute_factor_wrong_arguments(ids, position):
    good = [close, ids, "2023-01-03", "2023-01-20"]
    for bad in WRONG:
        args = list(good)
        args[position] = bad
        expect_clear_or_result(execute_factor, *args)
    with pytest.raises(ValueError, match="is after end_date"):
        execute_factor(close, ids, "2023-01-20", "2023-01-03")


TESSAL_CALLS = {
    "get_price": lambda ids, b: [lambda: tessal.get_price(b, "2023-01-03", "2023-01-10"),
                                 lambda: tessal.get_price(ids, b, "2023-01-10"),
                                 lambda: tessal.get_price(ids, "2023-01-03", "2023-01-10", fields=b)],
    "get_panel": lambda ids, b: [lambda: tessal.get_panel(b, ids, "2023-01-03", "2023-01-10"),
                                 lambda: tessal.get_panel("close", b, "2023-01-03", "2023-01-10")],
    "get_factor": lambda ids, b: [lambda: tessal.get_factor(b, "market_cap"),
                                  lambda: tessal.get_factor(ids, b)],
    "calendar": lambda ids, b: [lambda: tessal.get_trading_dates(b, "2023-01-10"),
                                lambda: tessal.trading_date_offset("2023-01-03", b),
                                lambda: tessal.get_previous_trading_date(b),
                                lambda: tessal.is_trading_date(b)],
    "instruments": lambda ids, b: [lambda: tessal.instruments(b),
                                   lambda: tessal.all_instruments(b)],
    "style": lambda ids, b: [lambda: tessal.get_style_factor_exposure(ids, "2023-01-03",
                                                                      "2023-01-10", factors=b)],
}


@pytest.mark.parametrize("group", sorted(TESSAL_CALLS))
def test_market_data_wrong_arguments(ids, group):
    for bad in WRONG:
        for thunk in TESSAL_CALLS[group](ids, bad):
            expect_clear_or_result(thunk)


def _frames(kind):
    dates = pd.bdate_range("2023-01-02", periods=6)
    ids = ["{:06d}.XSHE".format(i) for i in range(4)]
    values = np.random.default_rng(0).normal(size=(6, 4))
    frame = pd.DataFrame(values, index=dates, columns=ids)
    return {
        "empty": frame.iloc[:0],
        "no columns": frame.iloc[:, :0],
        "integer index": frame.reset_index(drop=True),
        "repeated dates": pd.concat([frame, frame.iloc[:2]]).sort_index(),
        "unsorted dates": frame.iloc[::-1],
        "repeated ids": frame.rename(columns={ids[1]: ids[0]}),
        "object values": frame.astype(object),
        "all NaN": frame * np.nan,
        "infinities": frame.where(frame > 0, np.inf),
        "float32": frame.astype("float32"),
    }[kind]


@pytest.mark.parametrize("kind", ["empty", "no columns", "integer index", "repeated dates",
                                  "unsorted dates", "repeated ids", "object values", "all NaN",
                                  "infinities", "float32"])
@pytest.mark.parametrize("side", ["factor", "returns"])
def test_study_malformed_tables(kind, side):
    good = _frames("float32").astype(float)
    bad = _frames(kind)
    factor, returns = (bad, good) if side == "factor" else (good, bad)
    bench = FactorStudyBench()
    bench.append(("ic", ICAnalysis()))
    try:
        result = bench.analysis(factor, returns, periods=(1, 2))
    except CLEAR as exc:
        assert str(exc)
        return
    ic = result["ic"].ic.to_numpy(dtype=float)
    assert (np.abs(ic[np.isfinite(ic)]) <= 1 + 1e-12).all()


# ---- damaged bundles ---------------------------------------------------------------------

@pytest.fixture(scope="module")
def tiny_bundle(tmp_path_factory):
    return generate_market(str(tmp_path_factory.mktemp("bad") / "b"), n_instruments=3,
                           start="2020-01-02", end="2020-01-31", seed=2)


@pytest.mark.parametrize("damage", ["npy header", "npy cut short", "meta index not a dict"])
def test_damaged_bundle_is_refused_with_bundle_error(tiny_bundle, tmp_path, damage):
    import json
    import shutil
    path = str(tmp_path / "copy")
    shutil.copytree(tiny_bundle, path)
    npy = os.path.join(path, "fields", "close.npy")
    if damage == "npy header":
        with open(npy, "r+b") as fh:  # an unbalanced bracket in the header dict
            fh.seek(10)
            fh.write(b"\n\n0\n0")
    elif damage == "npy cut short":
        with open(npy, "r+b") as fh:
            fh.truncate(100)
    else:
        meta = os.path.join(path, "meta.json")
        with open(meta) as fh:
            doc = json.load(fh)
        doc["arrays"] = list(doc["arrays"])
        with open(meta, "w") as fh:
            json.dump(doc, fh)
    with pytest.raises(tessal.BundleError):
        open_bundle(path)
    with pointed_at(path), pytest.raises(tessal.BundleError):
        tessal.get_price("000001.XSHE", "2020-01-02", "2020-01-10")


# ---- resource limits: refused before anything large is allocated ----------------------

def test_panel_size_limit(ids, monkeypatch):
    from tessal import _query
    monkeypatch.setattr(_query, "MAX_PANEL_CELLS", 40)
    assert tessal.get_panel("close", ids[:2], "2023-01-03", "2023-01-20").size <= 40
    for request in (lambda: tessal.get_panel("close", ids, "2023-01-03", "2023-01-20"),
                    lambda: tessal.get_price_change_rate(ids, "2023-01-03", "2023-01-20"),
                    lambda: execute_factor(close, ids, "2023-01-03", "2023-01-20")):
        with pytest.raises(ValueError, match="exceeds the limit of 40 cells"):
            request()


@pytest.mark.parametrize("request_", ["window beyond the calendar", "window beyond the series",
                                      "expression too long"])
def test_oversized_requests_are_refused(ids, request_):
    from alvora.expression import MAX_LENGTH, ExpressionError, parse_factor
    from alvora.rolling import MA
    if request_ == "window beyond the calendar":
        with pytest.raises(ValueError, match="outside the trading calendar"):
            execute_factor(MA(close, 2 ** 62), ids, "2023-01-03", "2023-01-20")
    elif request_ == "window beyond the series":
        with pytest.raises(ValueError, match="longer than the series"):
            rolling.rolling_window(np.arange(10.0), 2 ** 40)
    else:
        with pytest.raises(ExpressionError, match="longer than"):
            parse_factor("close" + " + close" * MAX_LENGTH)


@pytest.mark.parametrize("row", ["2021-03-01,A,1,2,3,4,5,6,7", "2021-03-01,A,1,2,3,4,5,6,7,8"])
def test_csv_row_longer_than_header_is_refused(tmp_path, row):
    from tessal.bundle.csv_import import import_csv
    inst = tmp_path / "i.csv"
    bars = tmp_path / "b.csv"
    inst.write_text("order_book_id,symbol,type,listed_date,de_listed_date\nA,S,CS,2000-01-04,\n")
    bars.write_text("date,order_book_id,open,high,low,close,volume,total_turnover\n" + row + "\n")
    with pytest.raises(tessal.CsvFormatError, match=r"line 2: \d+ fields, the header has 8"):
        import_csv(str(tmp_path / "bundle"), bars=str(bars), instruments=str(inst))
    assert not (tmp_path / "bundle").exists()
