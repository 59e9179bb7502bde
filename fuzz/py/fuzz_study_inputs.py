"""Input validation of FactorStudyBench.analysis: factor and return tables of
any small shape, index kind, order, dtype and content, with any periods, either
give results or a ValueError/TypeError (or the documented assertion on the
type of periods; never another exception, a crash or a
hang).  Results must be sane: IC values within [-1, 1], quantile returns
finite wherever their inputs were."""
import sys
import warnings

import atheris

with atheris.instrument_imports(include=["alvora", "tessal"]):
    import numpy as np
    import pandas as pd
    from alvora.analysis.study_bench import (FactorStudyBench, ICAnalysis, Normalization,
                                             QuantileReturnAnalysis, Winzorization)

warnings.simplefilter("ignore")
SPECIAL = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, -1e-308]


def values(fdp, shape):
    count = shape[0] * shape[1]
    out = np.array(fdp.ConsumeIntListInRange(count, -1000, 1000), dtype=float) / 100.0
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        if out.size:
            out[fdp.ConsumeIntInRange(0, out.size - 1)] = fdp.PickValueInList(SPECIAL)
    return out.reshape(shape)


# Indexes are cut from ranges made once: building a date range per input took
# a fifth of an execution.
DAYS = pd.bdate_range("2020-01-01", periods=80)
HOURS = pd.date_range("2020-01-01", periods=80, freq="h")
LABELS = pd.Index([str(i) for i in range(20)])


def index(fdp, n):
    kind = fdp.ConsumeIntInRange(0, 5)
    start = fdp.ConsumeIntInRange(0, 40)
    if kind == 0:
        return DAYS[start:start + n]
    if kind == 1:  # may repeat dates
        return pd.DatetimeIndex(np.sort(DAYS.values[start + np.array(
            fdp.ConsumeIntListInRange(n, 0, 9), dtype=int)]))
    if kind == 2:
        return DAYS[start:start + n][::-1]
    if kind == 3:
        return HOURS[start:start + n]
    if kind == 4:
        return pd.RangeIndex(n)
    return LABELS[:n]


def frame(fdp, rows, cols):
    ids = ["{:06d}.XSHE".format(i) for i in range(cols)]
    if cols > 1 and fdp.ConsumeIntInRange(0, 9) == 0:
        ids[-1] = ids[0]  # a repeated instrument
    data = values(fdp, (rows, cols))
    if fdp.ConsumeIntInRange(0, 9) == 0:
        data = data.astype(fdp.PickValueInList(["float32", "object", "int64"]) if np.isfinite(data).all()
                           else "float32")
    return pd.DataFrame(data, index=index(fdp, rows), columns=ids)


def periods(fdp):
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 0:
        return fdp.ConsumeIntInRange(-2, 6)
    if kind == 1:
        return tuple(fdp.ConsumeIntInRange(-1, 6) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    if kind == 2:
        return fdp.PickValueInList([1.0, "1", None, True, [1, 1], (2, 1)])
    return (1,)


def test_one(data):
    fdp = atheris.FuzzedDataProvider(data)
    rows, cols = fdp.ConsumeIntInRange(0, 12), fdp.ConsumeIntInRange(0, 7)
    factor = frame(fdp, rows, cols)
    returns = frame(fdp, max(0, rows + fdp.ConsumeIntInRange(-2, 8)),
                    max(0, cols + fdp.ConsumeIntInRange(-1, 1)))
    bench = FactorStudyBench()
    if fdp.ConsumeBool():
        bench.append(("winsorize", Winzorization(fdp.PickValueInList(["mad", "std", "percentile"]))))
    if fdp.ConsumeBool():
        bench.append(("normalize", Normalization()))
    bench.append(("ic", ICAnalysis(rank_ic=fdp.ConsumeBool())))
    bench.append(("quantile", QuantileReturnAnalysis(quantile=fdp.ConsumeIntInRange(1, 6))))
    try:
        result = bench.analysis(factor, returns, periods=periods(fdp))
    except (ValueError, TypeError):
        return
    except AssertionError as exc:  # the documented check of the type of periods
        if str(exc).startswith("periods must be tuple/list/int"):
            return
        raise
    ic = np.asarray(result["ic"].ic, dtype=float)
    if (np.abs(ic[np.isfinite(ic)]) > 1 + 1e-9).any():
        raise AssertionError("IC outside [-1, 1]: {}".format(ic))


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()
