#!/usr/bin/env bash
# Sets up what is missing, builds, then runs the main job on the embedded
# default market data.  Extra arguments replace the default ones.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
bash "$ROOT/scripts/setup.sh"
cd "$ROOT"
if [ $# -eq 0 ]; then
    set -- study
fi
exec "$PY" -m alvora.cli "$@"
