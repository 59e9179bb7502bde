#!/usr/bin/env bash
# Sets up what is missing, builds, then runs every test: the numeric core's
# GoogleTest suite, the Python test suite, and the kernel tests again at every
# lower instruction-set level the machine runs.  Extra arguments go to pytest.
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

# The whole suite ran at the machine's best level; the kernel cases run again
# at each level below it (the core's tests cover every level by themselves).
best=$("$PY" -c 'import alvora._isa as m; print(m.best_isa())')
for level in baseline avx2 avx512; do
    [ "$level" = "$best" ] && break
    echo "== Python kernel tests at ALVORA_ISA=$level"
    ALVORA_ISA=$level "$PY" -m pytest -q -p no:cacheprovider tests/test_rolling_kernels.py \
        tests/test_rolling_nodes.py
done

# The core tests cross-built for aarch64 and run under qemu, when the cross
# compiler, qemu-user and the GoogleTest sources are installed (40 s with a warm
# compiler cache; cold it first compiles the core and GoogleTest for ARM).
# ALVORA_SKIP_AARCH64=1 leaves it out.
if [ "${ALVORA_SKIP_AARCH64:-0}" != 1 ]; then
    if command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null &&
        [ -f "${GTEST_SOURCE:-/usr/src/googletest}/CMakeLists.txt" ]; then
        echo "== C++ core tests on aarch64 (qemu)"
        if ! bash "$ROOT/scripts/test_aarch64.sh" > "$ROOT/build/aarch64.log" 2>&1; then
            grep -v '^\[' "$ROOT/build/aarch64.log"
            echo "aarch64 core tests failed" >&2
            exit 1
        fi
        grep -E 'tests passed|tests failed' "$ROOT/build/aarch64.log"
    else
        echo "== aarch64 core tests left out: no g++-aarch64-linux-gnu, qemu-user or googletest"
    fi
fi

# The whole suite again with the other supported pandas/numpy pairs: the
# development environment has the newest (pandas 3), these the oldest (pandas
# 1.5, numpy 1.24) and pandas 2 with numpy 2, each in its own environment under
# build/envs, created on first use. ALVORA_SKIP_ENVS=1 leaves them out.
if [ "${ALVORA_SKIP_ENVS:-${ALVORA_SKIP_OLDEST:-0}}" != 1 ]; then
    bash "$ROOT/scripts/test_environments.sh" oldest pandas2 -- "$@"
fi
