#!/usr/bin/env bash
# Creates whatever is missing (system packages, virtual environment, Python
# packages) and builds the numeric core, its tests and the extension modules.
# Idempotent: a second run only rebuilds what changed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

# System packages: a C++ compiler, GoogleTest and Google Benchmark, Python
# headers. With root (or sudo) the missing ones are installed; without, the
# build goes on with what is there (the core tests and benchmarks need
# GoogleTest and Google Benchmark; see below).
can_install() { [ "$(id -u)" -eq 0 ] || sudo -n true 2>/dev/null; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi; }
has_compiler() {
    command -v "${CXX:-g++}" >/dev/null || command -v clang++ >/dev/null
}
has_python_headers() {
    python3 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'
}

# Chromium is the headless browser the HTML report test drives; the font has
# Chinese glyphs for industry names in figures and reports.
missing=()
has_compiler || missing+=(g++)
command -v chromium >/dev/null || missing+=(chromium)
for pkg in libgtest-dev libbenchmark-dev fonts-wqy-microhei; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
has_python_headers || missing+=(python3-dev)
python3 -c 'import ensurepip' 2>/dev/null || missing+=(python3-venv)
if [ ${#missing[@]} -gt 0 ] && command -v apt-get >/dev/null && can_install; then
    echo "setup: installing system packages: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# What is left out without them, said once per run.
declare -A without=(
    [chromium]="the browser test of the HTML report is skipped"
    [libgtest-dev]="the core tests are built from /usr/src/googletest or GTEST_SOURCE, else left out"
    [libbenchmark-dev]="the core benchmarks are not built"
    [fonts-wqy-microhei]="Chinese industry names in figures lack glyphs"
)
for pkg in "${missing[@]}"; do
    if [ -n "${without[$pkg]+x}" ] && ! dpkg -s "$pkg" >/dev/null 2>&1; then
        echo "setup: $pkg is not installed (no root to install it): ${without[$pkg]}" >&2
    fi
done
# What cannot be done without: say exactly what is needed.
needs=()
has_compiler || needs+=("a C++20 compiler: g++ 12+ or clang++ 14+ (Debian: g++; or set CXX)")
has_python_headers || needs+=("the Python headers (Debian: python3-dev)")
python3 -c 'import ensurepip' 2>/dev/null || needs+=("venv with pip (Debian: python3-venv)")
if [ ${#needs[@]} -gt 0 ]; then
    printf 'setup: missing, and no root to install it:\n' >&2
    printf '  - %s\n' "${needs[@]}" >&2
    exit 1
fi
# GoogleTest: installed, or built from its sources (CMake looks in
# /usr/src/googletest; GTEST_SOURCE names another tree); without either the
# core tests are left out with a warning from CMake.
gtest_args=()
[ -n "${GTEST_SOURCE:-}" ] && gtest_args=(-DALVORA_GTEST_SOURCE="$GTEST_SOURCE")

# Virtual environment and Python packages, reinstalled when the list changes.
if [ ! -x "$PY" ]; then
    echo "setup: creating virtual environment $VENV"
    python3 -m venv "$VENV"
fi
stamp="$VENV/.alvora-requirements"
want="$(sha256sum "$ROOT/requirements-dev.txt" | cut -d' ' -f1) upgrade"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    echo "setup: installing Python packages"
    "$PY" -m pip install -q --upgrade pip
    # --upgrade: a changed list takes the newest releases it allows, also where an
    # older one is installed (a lifted upper bound otherwise changes nothing).
    "$PY" -m pip install -q --upgrade -r "$ROOT/requirements-dev.txt"
    echo "$want" > "$stamp"
fi

# Build (incremental).
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    "$VENV/bin/cmake" -S "$ROOT" -B "$BUILD" -G Ninja -Wno-deprecated \
        -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
        -DPython_EXECUTABLE="$PY" \
        -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" \
        -DALVORA_STAGE_DIR="$BUILD/stage" \
        -DALVORA_BUILD_TESTS=ON -DALVORA_BUILD_BENCH=ON ${gtest_args[@]+"${gtest_args[@]}"} >/dev/null
fi
# Progress lines are dropped; compiler messages and failures are shown.
if ! "$VENV/bin/cmake" --build "$BUILD" -j"$(nproc)" > "$BUILD/build.log" 2>&1; then
    grep -v '^\[' "$BUILD/build.log" || true
    echo "setup: the build failed (full log: $BUILD/build.log)" >&2
    exit 1
fi
grep -v -e '^\[' -e '^ninja: no work to do' "$BUILD/build.log" || true
