import json
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import tessal
from tessal import cli
from tessal.bundle import BundleWriter, generate_market, open_bundle, verify_checksums
from tessal.bundle.paths import ensure_bundle
from _tessal_helpers import leftovers, pointed_at, small_bundle, using

TINY = {"n_instruments": 12, "start": "2021-03-01", "end": "2021-06-30"}


@pytest.fixture
def copy(tmp_path, tmp_path_factory):
    """A private copy of a small bundle that a test may damage."""
    target = tmp_path / "bundle"
    shutil.copytree(small_bundle(tmp_path_factory), target)
    return target


def _one_stock():
    return pd.DataFrame({"order_book_id": ["600000.XSHG"], "symbol": ["A"], "type": ["CS"],
                         "listed_date": ["2000-01-04"], "de_listed_date": ["0000-00-00"]})


def test_generation_is_deterministic(tmp_path):
    a = open_bundle(generate_market(str(tmp_path / "a"), seed=1, **TINY))
    b = open_bundle(generate_market(str(tmp_path / "b"), seed=1, **TINY))
    c = open_bundle(generate_market(str(tmp_path / "c"), seed=2, **TINY))
    assert a.instruments.equals(b.instruments)
    for group in ("fields", "factors", "style"):
        for name in a.names(group):
            np.testing.assert_array_equal(a.array(group, name), b.array(group, name))
    assert not np.array_equal(a.array("fields", "close"), c.array("fields", "close"),
                              equal_nan=True)
    assert a.industry_records("sws") == b.industry_records("sws")
    assert leftovers(tmp_path) == []


def test_generate_argument_errors(tmp_path):
    with pytest.raises(ValueError, match="n_instruments"):
        generate_market(str(tmp_path / "x"), n_instruments=0)
    with pytest.raises(ValueError, match="n_instruments"):
        generate_market(str(tmp_path / "x"), n_instruments=2.5)
    with pytest.raises(ValueError, match="before start"):
        generate_market(str(tmp_path / "x"), start="2021-01-04", end="2020-01-02")
    with pytest.raises(ValueError, match="GB"):
        generate_market(str(tmp_path / "x"), n_instruments=10 ** 9)
    with pytest.raises(ValueError, match="fewer than two"):
        generate_market(str(tmp_path / "x"), start="2021-01-02", end="2021-01-04")
    assert os.listdir(tmp_path) == []


def test_failed_write_leaves_nothing(tmp_path):
    target = tmp_path / "bundle"
    with pytest.raises(RuntimeError, match="boom"):
        with BundleWriter(target) as w:
            w.set_calendar(np.array(["2021-01-04", "2021-01-05"], dtype="datetime64[D]"),
                           "2021-01-04", "2021-01-05")
            raise RuntimeError("boom")
    # An incomplete bundle (no price fields) is refused at commit, also without a trace.
    with pytest.raises(RuntimeError, match="price fields"):
        with BundleWriter(target) as w:
            w.set_calendar(np.array(["2021-01-04"], dtype="datetime64[D]"), "2021-01-04",
                           "2021-01-04")
            w.set_instruments(_one_stock())
            w.add_array("fields", "close", np.ones((1, 1)))
    assert os.listdir(tmp_path) == []


def test_existing_bundle_is_kept_unless_overwritten(tmp_path):
    path = generate_market(str(tmp_path / "b"), seed=1, **TINY)
    with pytest.raises(FileExistsError):
        generate_market(path, seed=2, **TINY)
    old = np.array(open_bundle(path).array("fields", "close"))
    generate_market(path, seed=2, overwrite=True, **TINY)
    new = open_bundle(path).array("fields", "close")
    assert not np.array_equal(old, new, equal_nan=True)
    assert leftovers(tmp_path) == []


def test_losing_writer_keeps_the_winners_bundle(tmp_path):
    target = tmp_path / "bundle"
    first = BundleWriter(target)
    second = BundleWriter(target)
    for w, value in ((first, 1.0), (second, 2.0)):
        w.set_calendar(np.array(["2021-01-04", "2021-01-05"], dtype="datetime64[D]"),
                       "2021-01-04", "2021-01-05")
        w.set_instruments(_one_stock())
        for name in tessal.bundle.PRICE_FIELDS:
            w.add_array("fields", name, np.full((2, 1), value))
    first.commit()
    assert second.commit() == str(target)
    assert open_bundle(target).array("fields", "close")[0, 0] == 1.0
    assert leftovers(tmp_path) == []


def test_concurrent_first_use_generates_one_bundle(tmp_path):
    target = str(tmp_path / "shared")
    code = ("import sys; from tessal.bundle.paths import ensure_bundle; "
            "print(ensure_bundle(sys.argv[1], n_instruments=40, start='2021-01-04', "
            "end='2021-12-31'))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    procs = [subprocess.Popen([sys.executable, "-c", code, target], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for _ in range(2)]
    results = [p.communicate(timeout=120) for p in procs]
    assert [p.returncode for p in procs] == [0, 0], results
    assert all(out.strip() == target for out, _ in results)
    open_bundle(target, check_sums=True)
    assert leftovers(tmp_path) == []
    assert ensure_bundle(target) == target


def _meta(path):
    with open(path / "meta.json", encoding="utf-8") as fh:
        return json.load(fh)


def _write_meta(path, meta):
    with open(path / "meta.json", "w", encoding="utf-8") as fh:
        json.dump(meta, fh)


def test_truncated_array_is_named(copy):
    target = copy / "fields" / "close.npy"
    with open(target, "r+b") as fh:
        fh.truncate(os.path.getsize(target) - 8)
    with pytest.raises(tessal.BundleError, match=r"close\.npy.*truncated"):
        open_bundle(copy)


def test_missing_file_is_named(copy):
    os.remove(copy / "style" / "beta.npy")
    with pytest.raises(tessal.BundleError, match=r"missing file .*beta\.npy"):
        open_bundle(copy)
    os.remove(copy / "meta.json")
    with pytest.raises(tessal.BundleError, match=r"missing file .*meta\.json"):
        open_bundle(copy)


def test_wrong_version_and_garbage_meta(copy):
    meta = _meta(copy)
    meta["version"] = 99
    _write_meta(copy, meta)
    with pytest.raises(tessal.BundleError, match="unsupported bundle version 99"):
        open_bundle(copy)
    (copy / "meta.json").write_text("{not json")
    with pytest.raises(tessal.BundleError, match=r"meta\.json"):
        open_bundle(copy)
    with pytest.raises(tessal.BundleError, match="no bundle directory"):
        open_bundle(copy / "nowhere")


def test_array_of_the_wrong_shape_is_refused(copy):
    target = copy / "factors" / "pe_ratio.npy"
    arr = np.load(target)
    np.save(target, arr.reshape(arr.shape[1], arr.shape[0]))  # same size, wrong layout
    with pytest.raises(tessal.BundleError, match=r"pe_ratio\.npy.*expected float64"):
        open_bundle(copy)


def test_meta_that_disagrees_with_the_calendar(copy):
    meta = _meta(copy)
    meta["shape"][0] += 1
    _write_meta(copy, meta)
    with pytest.raises(tessal.BundleError, match="disagree"):
        open_bundle(copy)


def _set_listed(meta, value):
    meta["instruments"]["listed_date"][0] = value


def _set_delisted(meta, value):
    meta["instruments"]["de_listed_date"][0] = value


def _set_shape(meta, value):
    meta["arrays"]["fields/close"]["shape"] = value


@pytest.mark.parametrize("change, value, message", [
    (_set_listed, "yesterday", "listed_date 'yesterday'"),
    (_set_delisted, "2020-02-30", "de_listed_date '2020-02-30'"),
    (_set_shape, [3, 7], "describes fields/close as <f8 \\[3, 7\\]"),
])
def test_meta_entries_are_checked_on_open_and_verify(copy, capsys, change, value, message):
    meta = _meta(copy)
    change(meta, value)
    _write_meta(copy, meta)
    with pytest.raises(tessal.BundleError, match=message):
        open_bundle(copy)
    assert cli.main(["verify", str(copy)]) == 1 and re.search(message, capsys.readouterr().err)


def test_checksums_catch_changed_bytes(copy):
    target = copy / "fields" / "volume.npy"
    with open(target, "r+b") as fh:
        fh.seek(-8, os.SEEK_END)
        fh.write(np.float64(123.0).tobytes())
    open_bundle(copy)  # sizes still agree
    with pytest.raises(tessal.BundleError, match=r"volume\.npy: checksum mismatch"):
        verify_checksums(copy)


def test_escaping_file_entry_is_refused(copy):
    meta = _meta(copy)
    meta["arrays"]["fields/close"]["file"] = "../outside.npy"
    _write_meta(copy, meta)
    with pytest.raises(tessal.BundleError, match="bad file entry"):
        open_bundle(copy)


def test_init_with_a_damaged_bundle_fails_on_first_use(copy):
    os.remove(copy / "fields" / "open.npy")
    with pointed_at(copy):
        with pytest.raises(tessal.BundleError, match=r"open\.npy"):
            tessal.get_latest_trading_date()


def test_init_switches_bundles(tmp_path, tmp_path_factory):
    other = generate_market(str(tmp_path / "other"), **TINY)
    with using(small_bundle(tmp_path_factory)):
        assert str(tessal.get_latest_trading_date().date()) == "2020-12-31"
        tessal.init(other)
        assert str(tessal.get_latest_trading_date().date()) == "2021-06-30"
    with pytest.raises(TypeError):
        tessal.init(42)
