#!/usr/bin/env bash
# Creates whatever is missing (system packages, virtual environment, Python
# packages) and builds the numeric core, its tests and the extension modules.
# Idempotent: a second run only rebuilds what changed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# System packages: a C++ compiler, GoogleTest and Google Benchmark, Python headers,
# Chromium, the headless browser the HTML report test drives, and a font with
# Chinese glyphs for industry names in figures and reports.
missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v chromium >/dev/null || missing+=(chromium)
for pkg in libgtest-dev libbenchmark-dev fonts-wqy-microhei; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ! python3 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    missing+=(python3-dev)
fi
python3 -c 'import ensurepip' 2>/dev/null || missing+=(python3-venv)
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing system packages: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Virtual environment and Python packages, reinstalled when the list changes.
if [ ! -x "$PY" ]; then
    echo "setup: creating virtual environment $VENV"
    python3 -m venv "$VENV"
fi
stamp="$VENV/.alvora-requirements"
want=$(sha256sum "$ROOT/requirements-dev.txt" | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    echo "setup: installing Python packages"
    "$PY" -m pip install -q --upgrade pip
    "$PY" -m pip install -q -r "$ROOT/requirements-dev.txt"
    echo "$want" > "$stamp"
fi

# Build (incremental).
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    "$VENV/bin/cmake" -S "$ROOT" -B "$BUILD" -G Ninja \
        -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
        -DPython_EXECUTABLE="$PY" \
        -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" \
        -DALVORA_STAGE_DIR="$BUILD/stage" \
        -DALVORA_BUILD_TESTS=ON -DALVORA_BUILD_BENCH=ON >/dev/null
fi
# Progress lines are dropped; compiler messages and failures are shown.
if ! "$VENV/bin/cmake" --build "$BUILD" -j"$(nproc)" > "$BUILD/build.log" 2>&1; then
    grep -v '^\[' "$BUILD/build.log" || true
    echo "setup: the build failed (full log: $BUILD/build.log)" >&2
    exit 1
fi
grep -v -e '^\[' -e '^ninja: no work to do' "$BUILD/build.log" || true
