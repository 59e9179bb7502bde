"""get_panel_values: the stored rows read once into a column-major panel."""
import warnings

import numpy as np
import pandas as pd
import pytest

import tessal
from tessal import _query, _state
from tessal.bundle import column_reader
from _tessal_helpers import small_bundle, using


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    with using(small_bundle(tmp_path_factory)) as b:
        yield b


def _stored(bundle, field, ids, start, end):
    """What the panel must hold, built from the memory-mapped array by labels."""
    data = pd.DataFrame(np.array(bundle.array("fields", field)),
                        index=pd.DatetimeIndex(bundle.data_dates.astype("datetime64[ns]")),
                        columns=list(bundle.instruments.order_book_id))
    return data.reindex(index=tessal.get_trading_dates(start, end), columns=ids).to_numpy()


@pytest.mark.parametrize("block_bytes", [1 << 21, 200], ids=["one-block", "rows-per-block"])
@pytest.mark.parametrize("pick, start, end", [
    ("all", "2020-01-02", "2020-12-31"),  # every column in stored order
    ("some", "2019-12-20", "2021-01-08"),  # reordered columns, dates beyond the data
    ("unknown", "2020-05-06", "2020-06-30"),  # unknown ids: NaN columns
    ("some", "2019-12-02", "2019-12-20"),  # no data rows at all
])
def test_values_are_the_stored_rows(bundle, monkeypatch, block_bytes, pick, start, end):
    monkeypatch.setattr(column_reader, "BLOCK_BYTES", block_bytes)
    stored = list(bundle.instruments.order_book_id)
    ids = {"all": stored, "some": stored[9:2:-2] + stored[20:23],
           "unknown": ["nope", stored[3], "gone", stored[0]]}[pick]
    for field in ("close", "volume"):
        values = tessal.get_panel_values(field, ids, start, end, warn=False)
        assert values.flags.f_contiguous and values.dtype == np.float64
        np.testing.assert_array_equal(values, _stored(bundle, field, ids, start, end))
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        frame = tessal.get_panel("close", ids, start, end)
    assert [str(w.message).count("nope") for w in seen] == ([1] if pick == "unknown" else [])
    np.testing.assert_array_equal(frame.to_numpy(), _stored(bundle, "close", ids, start, end))


def test_an_array_in_memory_block_by_block(monkeypatch):
    monkeypatch.setattr(column_reader, "BLOCK_BYTES", 2 * 5 * 8)  # two rows per block
    stored = np.arange(40.0).reshape(8, 5)
    out = np.empty((5, 3), order="F")
    column_reader.read_rows_into(stored, 2, 7, np.array([4, -1, 0]), out)
    want = stored[2:7][:, [4, 0, 0]]
    want[:, 1] = np.nan
    np.testing.assert_array_equal(out, want)
    with pytest.raises(ValueError, match="outside the array's 5 columns"):
        column_reader.read_rows_into(stored, 0, 5, np.array([5]), np.empty((5, 1)))


def test_out_is_filled_and_checked_before_use(bundle, monkeypatch):
    ids = list(bundle.instruments.order_book_id[:4])
    want = tessal.get_panel_values("high", ids, "2020-03-02", "2020-03-31")
    out = np.full(want.shape, 7.0, order="F")
    assert tessal.get_panel_values("high", ids, "2020-03-02", "2020-03-31", out=out) is out
    np.testing.assert_array_equal(out, want)
    shapes = []
    made = tessal.get_panel_values("high", ids, "2020-03-02", "2020-03-31",
                                   out=lambda *shape: shapes.append(shape) or np.empty(shape))
    assert shapes == [want.shape]
    np.testing.assert_array_equal(made, want)
    for bad in (np.empty((1, 4)), np.empty(want.shape, dtype=np.float32), "out",
                np.broadcast_to(0.0, want.shape)):
        with pytest.raises(ValueError, match="out must be a writable float64 array"):
            tessal.get_panel_values("high", ids, "2020-03-02", "2020-03-31", out=bad)
    # a panel over the limit is refused before anything is allocated
    monkeypatch.setattr(_query, "MAX_PANEL_CELLS", 10)
    with pytest.raises(ValueError, match="exceeds the limit"):
        tessal.get_panel_values("high", ids, "2020-03-02", "2020-03-31",
                                out=lambda *shape: pytest.fail("allocated"))


def test_a_file_replaced_since_the_bundle_was_opened_is_not_read(bundle, monkeypatch):
    ids = list(bundle.instruments.order_book_id[:6])
    want = _stored(bundle, "close", ids, "2020-02-03", "2020-04-30")
    path, offset, identity = bundle.array_file("fields", "close")
    fh = column_reader._open_same((path, offset, identity), bundle.array("fields", "close"))
    assert fh is not None  # the genuine file is read directly
    fh.close()
    # the same shape of data under the file's name, but not the file that was mapped
    other = bundle.array_file("fields", "open")[0]
    monkeypatch.setitem(_state.current()._files, "fields/close", (other, offset, identity))
    for block_bytes in (1 << 21, 200):
        monkeypatch.setattr(column_reader, "BLOCK_BYTES", block_bytes)
        np.testing.assert_array_equal(
            tessal.get_panel_values("close", ids, "2020-02-03", "2020-04-30"), want)
