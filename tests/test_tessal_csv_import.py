import os
import re

import numpy as np
import pandas as pd
import pytest

import tessal
from tessal import cli
from tessal.bundle import import_csv, open_bundle
from _tessal_helpers import export_csv, leftovers, small_bundle, using, write_csv

BARS = "date,order_book_id,open,high,low,close,volume,total_turnover"
INSTR = "order_book_id,symbol,type,listed_date,de_listed_date"
GOOD_INSTR = ["600000.XSHG,A,CS,2010-01-04,0000-00-00", "000001.XSHE,B,CS,2010-01-04,",
              "000300.XSHG,I,INDX,2005-01-04,0000-00-00"]
GOOD_BARS = ["2021-01-04,600000.XSHG,10,10.5,9.9,10.2,1000,10200",
             "2021-01-04,000001.XSHE,20,20.5,19.9,20.2,2000,40400",
             "2021-01-05,600000.XSHG,10.2,10.6,10.1,10.4,1100,11400",
             "",
             "2021-01-05,000001.XSHE,nan,,,,0,0"]


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    source = small_bundle(tmp_path_factory)
    folder = tmp_path_factory.mktemp("csv")
    return source, export_csv(source, str(folder))


def test_round_trip_keeps_everything(exported, tmp_path):
    source, files = exported
    path = import_csv(str(tmp_path / "imported"), **files)
    a, b = open_bundle(source), open_bundle(path)
    np.testing.assert_array_equal(a.calendar, b.calendar)
    assert a.meta["data_start"] == b.meta["data_start"] and a.n_dates == b.n_dates
    assert a.instruments.equals(b.instruments)
    for group in ("fields", "factors", "style"):
        assert sorted(a.names(group)) == sorted(b.names(group))
        for name in a.names(group):
            np.testing.assert_array_equal(a.array(group, name), b.array(group, name))
    for source_name in ("citics_2019", "sws"):
        assert a.industry_records(source_name) == b.industry_records(source_name)
    with using(path):
        assert tessal.get_latest_trading_date() == pd.Timestamp("2020-12-31")
    assert leftovers(tmp_path) == []


def test_minimal_import_without_calendar(tmp_path):
    bars = write_csv(tmp_path / "bars.csv", BARS, GOOD_BARS)
    inst = write_csv(tmp_path / "inst.csv", INSTR, GOOD_INSTR)
    path = import_csv(str(tmp_path / "b"), bars, inst)
    with using(path):
        assert tessal.get_latest_trading_date() == pd.Timestamp("2021-01-05")
        # Without a calendar file the weekdays of the next year are the future dates.
        assert tessal.get_next_trading_date("2021-01-05") == pd.Timestamp("2021-01-06")
        assert tessal.get_next_trading_date("2021-01-08") == pd.Timestamp("2021-01-11")
        price = tessal.get_price(["600000.XSHG", "000001.XSHE", "000300.XSHG"])
        assert len(price) == 4 and price.loc[("000001.XSHE", "2021-01-05"), "volume"] == 0
        assert np.isnan(price.loc[("000001.XSHE", "2021-01-05"), "close"])
        rows = tessal.all_instruments()
        assert rows.set_index("order_book_id").loc["000001.XSHE", "de_listed_date"] == "0000-00-00"
        with pytest.raises(tessal.BundleError, match="no citics_2019 industry records"):
            tessal.client.get_client().execute("__internal__zx2019_industry")
        assert tessal.list_style_factors() == []


def _error_case(tmp_path, bars=None, inst=None, industries=None, style=None, calendar=None):
    files = {
        "bars": write_csv(tmp_path / "bars.csv", BARS, GOOD_BARS if bars is None else bars),
        "instruments": write_csv(tmp_path / "inst.csv", INSTR,
                                 GOOD_INSTR if inst is None else inst),
    }
    if industries is not None:
        files["industries"] = write_csv(tmp_path / "ind.csv",
                                        "source,industry_name,order_book_id,start_date,version",
                                        industries)
    if style is not None:
        files["style"] = write_csv(tmp_path / "style.csv", style[0], style[1])
    if calendar is not None:
        files["calendar"] = write_csv(tmp_path / "cal.csv", "date", calendar)
    return files


@pytest.mark.parametrize("case, file, line, message", [
    ({"bars": GOOD_BARS[:2] + ["2021-13-05,600000.XSHG,1,1,1,1,1,1"]}, "bars.csv", 4,
     "bad date '2021-13-05'"),
    ({"bars": GOOD_BARS[:3] + ["2021-01-05,000001.XSHE,1,abc,1,1,1,1"]}, "bars.csv", 5,
     "non-numeric or infinite high 'abc'"),
    ({"bars": GOOD_BARS[:1] + ["2021-01-04,600001.XSHG,1,1,1,1,1,1"]}, "bars.csv", 3,
     "unknown instrument '600001.XSHG'"),
    ({"bars": GOOD_BARS + ["2021-01-04,600000.XSHG,1,1,1,1,1,1"]}, "bars.csv", 7,
     "duplicate row for this date and order_book_id \\(first on line 2\\)"),
    ({"bars": GOOD_BARS[:1] + ["2021-01-04,600000.XSHG,1,1,1,1,1,1"]}, "bars.csv", 3,
     "duplicate row .*first on line 2"),
    ({"bars": GOOD_BARS[:1] + ["2021-01-05,600000.XSHG,1,1,1,1,-5,1"]}, "bars.csv", 3,
     "negative volume"),
    ({"bars": GOOD_BARS[:1] + ["2021-01-05,600000.XSHG,1,1,1,inf,5,1"]}, "bars.csv", 3,
     "close 'inf'"),
    ({"inst": GOOD_INSTR + ["600000.XSHG,C,CS,2011-01-04,"]}, "inst.csv", 5,
     "duplicate order_book_id '600000.XSHG' \\(first on line 2\\)"),
    ({"inst": ["600000.XSHG,A,CS,04/01/2010,"]}, "inst.csv", 2, "bad listed_date"),
    ({"inst": ["600000.XSHG,A,CS,2010-01-04,2009-01-05"]}, "inst.csv", 2, "not after"),
    ({"industries": ["citics_2019,银行,600000.XSHG,2010-01-04,",
                     "gics,Banks,600000.XSHG,2010-01-04,"]}, "ind.csv", 3, "unknown source"),
    ({"industries": ["sws,银行,600000.XSHG,2010-01-04,"]}, "ind.csv", 2, "integer version"),
    ({"industries": ["sws,银行,600000.XSHG,2010-01-04,1", "sws,银行,600000.XSHG,2010-01-04,1"]},
     "ind.csv", 3, "duplicate record"),
    ({"industries": ["citics_2019,银行,600009.XSHG,2010-01-04,"]}, "ind.csv", 2,
     "unknown instrument"),
    ({"style": ("date,order_book_id,beta", ["2021-01-04,600000.XSHG,0.5",
                                            "2021-01-06,600000.XSHG,0.5"])},
     "style.csv", 3, "not a trading date with bars"),
    ({"style": ("date,order_book_id,bad name", ["2021-01-04,600000.XSHG,0.5"])},
     "style.csv", 1, "letters, digits and underscores"),
    ({"bars": GOOD_BARS[:1] + ["2021-01-05,600000.XSHG,1,1,1,1,1,1,7"]}, "bars.csv", 3,
     "9 fields, the header has 8 \\(column 9: unexpected extra field '7'\\)"),
    ({"bars": GOOD_BARS[:1] + ["2021-01-05,600000.XSHG,1,1"]}, "bars.csv", 3,
     "4 fields, the header has 8 \\(column 5: missing\\)"),
    ({"inst": GOOD_INSTR + ["600001.XSHG,C,CS"]}, "inst.csv", 5, "3 fields"),
])
def test_malformed_rows_are_named(tmp_path, case, file, line, message):
    files = _error_case(tmp_path, **case)
    target = tmp_path / "out"
    with pytest.raises(tessal.CsvFormatError, match=message) as info:
        import_csv(str(target), **files)
    assert "{}, line {}:".format(file, line) in str(info.value)
    assert not target.exists() and leftovers(tmp_path) == []


def test_header_and_file_errors(tmp_path):
    inst = write_csv(tmp_path / "inst.csv", INSTR, GOOD_INSTR)
    bars = write_csv(tmp_path / "bars.csv", "date,order_book_id,open,close", ["2021-01-04,x,1,1"])
    with pytest.raises(tessal.CsvFormatError, match=r"bars\.csv, line 1: missing column"):
        import_csv(str(tmp_path / "o"), bars, inst)
    with pytest.raises(tessal.CsvFormatError, match="no such file"):
        import_csv(str(tmp_path / "o"), str(tmp_path / "none.csv"), inst)
    empty = tmp_path / "empty.csv"
    empty.write_text("")
    with pytest.raises(tessal.CsvFormatError, match="empty file"):
        import_csv(str(tmp_path / "o"), str(empty), inst)
    calendar_files = _error_case(tmp_path, calendar=["2021-01-04"])
    with pytest.raises(tessal.CsvFormatError, match="bar date 2021-01-05 is not in the calendar"):
        import_csv(str(tmp_path / "o"), **calendar_files)
    assert not (tmp_path / "o").exists()


def test_command_line(tmp_path, capsys):
    files = _error_case(tmp_path)
    target = str(tmp_path / "cli")
    assert cli.main(["import", "--path", target, "--bars", files["bars"], "--instruments",
                     files["instruments"]]) == 0
    assert "imported bundle" in capsys.readouterr().out
    # A second import onto the same path is refused, nothing changes.
    assert cli.main(["import", "--path", target, "--bars", files["bars"], "--instruments",
                     files["instruments"]]) == 1
    assert "already exists" in capsys.readouterr().err
    bad = write_csv(tmp_path / "bad.csv", BARS, ["2021-01-04,600000.XSHG,x,1,1,1,1,1"])
    assert cli.main(["import", "--path", str(tmp_path / "bad"), "--bars", bad,
                     "--instruments", files["instruments"]]) == 1
    err = capsys.readouterr().err
    assert "bad.csv, line 2" in err and not os.path.exists(tmp_path / "bad")
    gen = str(tmp_path / "gen")
    assert cli.main(["generate", "--path", gen, "--instruments", "10", "--start", "2021-01-04",
                     "--end", "2021-03-31"]) == 0
    assert cli.main(["verify", gen]) == 0
    assert "is sound" in capsys.readouterr().out
    os.remove(os.path.join(gen, "style", "size.npy"))
    assert cli.main(["verify", gen]) == 1
    assert "size.npy" in capsys.readouterr().err


@pytest.mark.parametrize("occupant, message", [
    ("folder with a file", "holds no bundle"),
    ("the bars file", "not a bundle folder"),
    ("bundle with a file", "not part of a bundle \\(important.txt\\)"),
    ("bundle", None),
])
def test_overwrite_replaces_only_a_bundle(tmp_path, capsys, occupant, message):
    files = _error_case(tmp_path)
    target = tmp_path / "target"
    if occupant == "the bars file":
        target = tmp_path / "bars.csv"
    elif occupant == "folder with a file":
        target.mkdir()
        (target / "important.txt").write_text("keep me")
    else:
        import_csv(str(target), **files)
        if occupant == "bundle with a file":
            (target / "important.txt").write_text("keep me")
    before = sorted(p.name for p in target.iterdir()) if target.is_dir() else target.read_text()
    code = cli.main(["import", "--overwrite", "--path", str(target), "--bars", files["bars"],
                     "--instruments", files["instruments"]])
    if message is None:
        assert code == 0 and open_bundle(str(target)).n_dates == 2
        return
    assert code == 1 and re.search(message, capsys.readouterr().err)
    after = sorted(p.name for p in target.iterdir()) if target.is_dir() else target.read_text()
    assert after == before and leftovers(tmp_path) == []
