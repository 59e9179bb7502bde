#!/usr/bin/env bash
# Runs the whole pytest suite against each supported pandas/numpy pair, each
# in its own virtual environment under build/envs (created on first use),
# with the extension modules of the development build (scripts/setup.sh).
#   oldest   pandas 1.5, numpy 1.24 (the oldest supported pair)
#   pandas2  pandas 2.x, numpy 2.x
#   pandas3  pandas 3.x, numpy 2.x
# Usage: scripts/test_environments.sh [oldest|pandas2|pandas3 ...] [-- pytest args]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

declare -A PINS=(
    [oldest]="pandas==1.5.3 numpy==1.24.4 scipy==1.10.1 statsmodels==0.13.5"
    [pandas2]="pandas>=2,<3 numpy>=2,<3 scipy>=1.13 statsmodels>=0.14.2"
    [pandas3]="pandas>=3,<4 numpy>=2,<3 scipy>=1.13 statsmodels>=0.14.2"
)
envs=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    [ -n "${PINS[$1]+x}" ] || { echo "unknown environment $1 (oldest, pandas2, pandas3)" >&2; exit 2; }
    envs+=("$1")
    shift
done
[ "${1:-}" = "--" ] && shift
[ ${#envs[@]} -gt 0 ] || envs=(oldest pandas2 pandas3)

bash "$ROOT/scripts/setup.sh"
failed=()
for name in "${envs[@]}"; do
    venv=$ROOT/build/envs/$name
    stamp=$venv/.alvora-pins
    want="${PINS[$name]} $(sha256sum "$ROOT/requirements-dev.txt" | cut -d' ' -f1)"
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
        echo "== creating $venv: ${PINS[$name]}"
        python3 -m venv "$venv"
        # What the tests import, less the build tools (the modules come from
        # the development build), with this environment's pins on top.
        grep -v -E '^(pandas|numpy|scipy|statsmodels|pybind11|scikit-build-core|ninja|cmake)\b' \
            "$ROOT/requirements-dev.txt" > "$venv.requirements"
        # shellcheck disable=SC2086
        "$venv/bin/pip" install -q ${PINS[$name]} -r "$venv.requirements"
        echo "$want" > "$stamp"
    fi
    echo "== pytest with $("$venv/bin/python" -c 'import pandas, numpy; print(f"pandas {pandas.__version__}, numpy {numpy.__version__}")')"
    (cd "$ROOT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@") || failed+=("$name")
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "failed in: ${failed[*]}" >&2
    exit 1
fi
echo "all environments passed: ${envs[*]}"
