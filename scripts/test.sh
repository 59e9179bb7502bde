#!/usr/bin/env bash
# Sets up what is missing, builds, then runs every test: the numeric core's
# GoogleTest suite and the Python test suite.  Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
bash "$ROOT/scripts/setup.sh"

echo "== C++ core tests"
(cd "$BUILD" && "$VENV/bin/ctest" --output-on-failure -j"$(nproc)" | tail -n 3)
test "${PIPESTATUS[0]}" -eq 0

echo "== Python tests"
cd "$ROOT"
"$PY" -m pytest -q -p no:cacheprovider "$@"
