#!/usr/bin/env bash
# Sets up what is missing, builds, then runs every test: the numeric core's
# GoogleTest suite and the Python test suite.  Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
bash "$ROOT/scripts/setup.sh"

echo "== C++ core tests"
# The full ctest output is shown only when something failed.
if ! (cd "$BUILD" && "$VENV/bin/ctest" --output-on-failure -j"$(nproc)") > "$BUILD/ctest.log" 2>&1; then
    cat "$BUILD/ctest.log"
    echo "C++ core tests failed" >&2
    exit 1
fi
tail -n 3 "$BUILD/ctest.log"

echo "== Python tests"
cd "$ROOT"
"$PY" -m pytest -q -p no:cacheprovider "$@"
