"""Bundle reader: a small bundle with one file damaged (bytes changed, cut
short or extended) either opens and reads back arrays of the shapes its index
promises, or is refused with BundleError; opened with checksum verification,
any change to an indexed file must be refused."""
import os
import shutil
import sys
import tempfile

import atheris

with atheris.instrument_imports(include=["alvora", "tessal"]):
    import numpy as np
    from tessal.bundle import generate_market, open_bundle
    from tessal.errors import BundleError

WORK = tempfile.mkdtemp(prefix="fuzz_bundle_")
PRISTINE = generate_market(os.path.join(WORK, "pristine"), n_instruments=3,
                           start="2020-01-02", end="2020-02-28", seed=1)
FILES = sorted(os.path.relpath(os.path.join(d, f), PRISTINE)
               for d, _, names in os.walk(PRISTINE) for f in names)
ORIGINAL = {}
for _rel in FILES:
    with open(os.path.join(PRISTINE, _rel), "rb") as _fh:
        ORIGINAL[_rel] = _fh.read()
# One working copy for every input: each input damages one file and puts its
# original back afterwards (a copy of the whole bundle per input cost half
# the time of an execution).
TARGET = os.path.join(WORK, "damaged")
shutil.copytree(PRISTINE, TARGET)


def replace(path, text):
    """Writes a new file in place of `path`: maps of the old one stay valid."""
    with open(path + ".new", "wb") as fh:
        fh.write(text)
    os.replace(path + ".new", path)


def damage(fdp, text):
    text = bytearray(text)
    how = fdp.ConsumeIntInRange(0, 3)
    if how == 0:  # cut short
        del text[fdp.ConsumeIntInRange(0, max(0, len(text) - 1)):]
    elif how == 1:  # extended
        text += fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 64))
    else:  # bytes changed, near the start (headers, JSON keys) or anywhere
        for _ in range(fdp.ConsumeIntInRange(1, 4)):
            if not text:
                break
            limit = min(len(text), 256) if how == 2 else len(text)
            text[fdp.ConsumeIntInRange(0, limit - 1)] = fdp.ConsumeIntInRange(0, 255)
    return bytes(text)


def read_all(b):
    rows = len(b.data_dates)
    for group in ("fields", "factors", "style"):
        for name in b.names(group):
            arr = np.asarray(b.array(group, name))
            if arr.shape != (rows, len(b.instruments)):
                raise AssertionError("{}/{} has shape {}".format(group, name, arr.shape))
            float(np.nansum(arr))  # touches every page of the mapping
    for source in ("citics_2019", "sws"):
        try:
            b.industry_records(source)
        except KeyError:
            pass


def test_one(data):
    fdp = atheris.FuzzedDataProvider(data)
    rel = fdp.PickValueInList(FILES)
    path = os.path.join(TARGET, rel)
    before = ORIGINAL[rel]
    after = damage(fdp, before)
    checked = fdp.ConsumeBool()
    replace(path, after)
    try:
        try:
            b = open_bundle(TARGET, check_sums=checked)
            read_all(b)
        except BundleError:
            return
    finally:
        replace(path, before)
    if checked and after != before and rel != "meta.json":
        raise AssertionError("checksums accepted a changed {}".format(rel))


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()
