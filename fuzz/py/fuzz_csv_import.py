"""CSV import: bars and instruments written from generated tables import and
read back equal (values, NaN cells, dates, instruments); the same files with a
few bytes changed, removed or inserted either import or are refused with
CsvFormatError, and nothing is left behind when they are refused."""
import os
import shutil
import sys
import tempfile

import atheris

with atheris.instrument_imports(include=["alvora", "tessal"]):
    import numpy as np
    import pandas as pd
    from tessal.bundle import open_bundle
    from tessal.bundle.csv_import import import_csv
    from tessal.errors import CsvFormatError

FIELDS = ("open", "high", "low", "close", "volume", "total_turnover")
WORK = tempfile.mkdtemp(prefix="fuzz_csv_")


def tables(fdp):
    n_ids = fdp.ConsumeIntInRange(1, 4)
    ids = ["{:06d}.XSHE".format(i) for i in range(n_ids)]
    days = pd.bdate_range("2021-03-01", periods=12)
    rows = []
    for d in days:
        for oid in ids:
            if fdp.ConsumeIntInRange(0, 3) == 0:
                continue  # no bar that day
            vals = [fdp.ConsumeIntInRange(1, 10**6) / 100.0 for _ in FIELDS]
            if fdp.ConsumeIntInRange(0, 7) == 0:
                vals[fdp.ConsumeIntInRange(0, 5)] = np.nan
            rows.append((d.strftime("%Y-%m-%d"), oid, vals))
    return ids, rows


def render(ids, rows):
    inst = "order_book_id,symbol,type,listed_date,de_listed_date\n" + "".join(
        "{},S{},CS,2000-01-04,\n".format(oid, i) for i, oid in enumerate(ids))
    bars = "date,order_book_id," + ",".join(FIELDS) + "\n" + "".join(
        "{},{},{}\n".format(d, oid, ",".join("" if np.isnan(v) else repr(v) for v in vals))
        for d, oid, vals in rows)
    return inst.encode(), bars.encode()


def damage(fdp, text):
    text = bytearray(text)
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        if not text:
            break
        at = fdp.ConsumeIntInRange(0, len(text) - 1)
        how = fdp.ConsumeIntInRange(0, 2)
        if how == 0:
            text[at] = fdp.ConsumeIntInRange(0, 255)
        elif how == 1:
            del text[at]
        else:
            text[at:at] = fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 6))
    return bytes(text)


def test_one(data):
    fdp = atheris.FuzzedDataProvider(data)
    ids, rows = tables(fdp)
    inst, bars = render(ids, rows)
    damaged = fdp.ConsumeBool()
    if damaged:
        if fdp.ConsumeBool():
            bars = damage(fdp, bars)
        else:
            inst = damage(fdp, inst)
    folder = tempfile.mkdtemp(dir=WORK)
    try:
        paths = [os.path.join(folder, n) for n in ("instruments.csv", "bars.csv")]
        for p, text in zip(paths, (inst, bars)):
            with open(p, "wb") as fh:
                fh.write(text)
        target = os.path.join(folder, "bundle")
        try:
            import_csv(target, bars=paths[1], instruments=paths[0])
        except CsvFormatError:
            if not damaged and rows:
                raise
            if os.path.exists(target) or any(".tmp-" in n for n in os.listdir(folder)):
                raise AssertionError("a refused import left files behind")
            return
        if damaged or not rows:
            return
        b = open_bundle(target)
        dates = sorted({d for d, _, _ in rows})
        got_dates = list(pd.DatetimeIndex(b.data_dates.astype("datetime64[ns]")).strftime("%Y-%m-%d"))
        if got_dates != dates or list(b.instruments["order_book_id"]) != ids:
            raise AssertionError("dates or instruments changed on import")
        for k, field in enumerate(FIELDS):
            want = np.full((len(dates), len(ids)), np.nan)
            for d, oid, vals in rows:
                want[dates.index(d), ids.index(oid)] = vals[k]
            np.testing.assert_array_equal(np.asarray(b.array("fields", field)), want)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()
