# Shared settings for the project scripts; sourced, not run.
# ALVORA_VENV and ALVORA_BUILD_DIR may point elsewhere (one build per work tree).
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${ALVORA_VENV:-$ROOT/.venv}
BUILD=${ALVORA_BUILD_DIR:-$ROOT/build/dev}
PY=$VENV/bin/python
export PYTHONPATH="$BUILD/stage:$ROOT/python${PYTHONPATH:+:$PYTHONPATH}"
