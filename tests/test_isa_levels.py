"""The instruction-set levels: alvora.isa(), ALVORA_ISA, and every level's
kernels against the baseline's."""
import os
import subprocess
import sys

import numpy as np
import pytest

import alvora
from _rolling_helpers import PAIRWISE, REFERENCES, assert_same

LEVELS = ("baseline", "avx2", "avx512")

# Runs every kernel of alvora.rolling on long series with NaN, infinities and
# a level shift (long enough for the eight-blocks-in-lanes scans) and saves
# the results to the file named by argv[1].
KERNEL_RUN = r"""
import sys
import numpy as np
import alvora
from alvora import rolling
names, pairwise = sys.argv[2].split(","), set(sys.argv[3].split(","))
rng = np.random.default_rng(5)
x = np.concatenate([1 + rng.standard_normal(1200), 400 + rng.standard_normal(1300)])
y = -2 + rng.standard_normal(x.size)
x[rng.random(x.size) < 0.01] = np.nan
y[rng.random(y.size) < 0.01] = np.nan
x[1700], x[2100], y[900] = np.inf, -np.inf, np.inf
out = {"level": np.array(alvora.isa())}
with np.errstate(all="ignore"):
    for name in names:
        for n in (1, 2, 3, 4, 5, 8, 9, 17, 20, 60, 250):
            f = getattr(rolling, name)
            out[f"{name}-{n}"] = f(n, x, y) if name in pairwise else f(x, n)
    xi = (np.arange(x.size) * 7919 % 113 - 50).astype(np.int64)
    for n in (1, 3, 20, 60):
        out[f"count-{n}"] = rolling.count(x, n)
        out[f"sum-int-{n}"] = rolling.sum(xi, n)
        out[f"ts_rank-int-{n}"] = rolling.ts_rank(xi, n)
np.savez(sys.argv[1], **out)
"""


def run_python(code, args=(), isa=None):
    env = dict(os.environ)
    env.pop("ALVORA_ISA", None)
    if isa is not None:
        env["ALVORA_ISA"] = isa
    return subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True,
                          text=True, timeout=300)


def best_level():
    return run_python("import alvora._isa as m; print(m.best_isa())").stdout.strip()


def test_isa_names_the_level_in_use():
    assert alvora.isa() in LEVELS
    if "ALVORA_ISA" not in os.environ:
        assert alvora.isa() == best_level()


@pytest.mark.parametrize("asked", LEVELS)
def test_environment_variable_lowers_the_level(asked):
    best = best_level()
    got = run_python("import alvora; print(alvora.isa())", isa=asked)
    assert got.returncode == 0, got.stderr
    # a level above the machine's best gives the best
    assert got.stdout.strip() == min(asked, best, key=LEVELS.index)


def test_unknown_level_is_refused_at_import():
    got = run_python("import alvora", isa="avx-2")
    assert got.returncode != 0
    assert "ALVORA_ISA='avx-2' is not one of baseline, avx2, avx512" in got.stderr


def test_every_level_matches_the_baseline(tmp_path):
    best = best_level()
    levels = LEVELS[:LEVELS.index(best) + 1]
    if len(levels) == 1:
        pytest.skip("this machine runs the baseline level only")
    results = {}
    for level in levels:
        path = tmp_path / f"{level}.npz"
        got = run_python(KERNEL_RUN, [str(path), ",".join(REFERENCES), ",".join(PAIRWISE)],
                         isa=level)
        assert got.returncode == 0, got.stderr
        results[level] = dict(np.load(path))
        assert str(results[level].pop("level")) == level
    base = results["baseline"]
    for level in levels[1:]:
        assert results[level].keys() == base.keys()
        for key, want in base.items():
            got = results[level][key]
            assert got.dtype == want.dtype, key
            try:
                assert_same(got, want, rtol=1e-12, atol=1e-12)
            except AssertionError as e:
                raise AssertionError(f"{key} at {level}: {e}") from None
