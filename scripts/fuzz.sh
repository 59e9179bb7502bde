#!/usr/bin/env bash
# Runs one fuzz target, or all of them in turn, for a given number of seconds
# each:  bash scripts/fuzz.sh TARGET|all [SECONDS]   (default 60)
# C++ targets (fuzz/cpp/fuzz_*.cpp) are libFuzzer programs built with clang
# into build/fuzz; Python targets (fuzz/py/fuzz_*.py) run under atheris.
# Each starts from its seed corpus fuzz/corpus/<target> and keeps what it
# finds in build/fuzz/corpus/<target>; a finding stops the target with its
# input saved as build/fuzz/crash-*.  The last line per target gives its
# executions.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
target=${1:?usage: fuzz.sh TARGET|all [SECONDS]}
seconds=${2:-60}
FUZZ_BUILD=${ALVORA_FUZZ_BUILD_DIR:-$ROOT/build/fuzz}

bash "$ROOT/scripts/setup.sh"   # environment, packages and the modules atheris targets use

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    echo "fuzz: installing clang and its runtime libraries"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null 2>&1 ||
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev" >/dev/null
fi

build_cpp() {
    if [ ! -f "$FUZZ_BUILD/CMakeCache.txt" ]; then
        CXX=clang++ "$VENV/bin/cmake" -S "$ROOT" -B "$FUZZ_BUILD" -G Ninja \
            -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DALVORA_BUILD_FUZZ=ON -DALVORA_BUILD_MODULES=OFF -DALVORA_BUILD_TESTS=OFF \
            -DALVORA_BUILD_BENCH=OFF >/dev/null
    fi
    local names=()
    for f in "$ROOT"/fuzz/cpp/fuzz_*.cpp; do names+=("$(basename "${f%.cpp}")"); done
    if ! "$VENV/bin/cmake" --build "$FUZZ_BUILD" -j"$(nproc)" --target "${names[@]}" \
            > "$FUZZ_BUILD/build.log" 2>&1; then
        grep -v '^\[' "$FUZZ_BUILD/build.log" || true
        echo "fuzz: the build failed (full log: $FUZZ_BUILD/build.log)" >&2
        exit 1
    fi
}

ensure_atheris() {
    "$PY" -c 'import atheris' 2>/dev/null && return
    echo "fuzz: installing atheris"
    CLANG_BIN=$(command -v clang) "$PY" -m pip install -q atheris
}

run_one() {
    local name=$1 work="$FUZZ_BUILD/corpus/$1" seeds="$ROOT/fuzz/corpus/$1"
    mkdir -p "$work" "$seeds"
    echo "== $name for $seconds s"
    local log="$FUZZ_BUILD/$name.log" rc=0
    if [ -f "$ROOT/fuzz/cpp/$name.cpp" ]; then
        (cd "$FUZZ_BUILD" && "$FUZZ_BUILD/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 \
            -max_len=4096 -timeout=20 -rss_limit_mb=2048 "$work" "$seeds") > "$log" 2>&1 || rc=$?
        grep -v -E '^(#[0-9]+|\s+NEW_FUNC|INFO:|MS:|stat::[^n])' "$log" | tail -n 25
        return $rc
    elif [ -f "$ROOT/fuzz/py/$name.py" ]; then
        # Their temporary files in memory where it can: the CSV import syncs
        # every file it writes to disk, which took most of each execution.
        local tmp
        tmp=$(mktemp -d /dev/shm/alvora-fuzz.XXXXXX 2>/dev/null || mktemp -d)
        (cd "$FUZZ_BUILD" && TMPDIR="$tmp" "$PY" "$ROOT/fuzz/py/$name.py" -max_total_time="$seconds" \
            -print_final_stats=1 -timeout=20 -rss_limit_mb=4096 "$work" "$seeds") > "$log" 2>&1 || rc=$?
        rm -rf "$tmp"
        grep -v -E '^(#[0-9]+|\s+NEW_FUNC|INFO:|MS:|stat::[^n])' "$log" | tail -n 25
        return $rc
    else
        echo "fuzz: no target $name (fuzz/cpp/$name.cpp or fuzz/py/$name.py)" >&2
        exit 2
    fi
}

mkdir -p "$FUZZ_BUILD"
targets=()
if [ "$target" = all ]; then
    for f in "$ROOT"/fuzz/cpp/fuzz_*.cpp "$ROOT"/fuzz/py/fuzz_*.py; do
        [ -f "$f" ] && targets+=("$(basename "${f%.*}")")
    done
else
    targets=("$target")
fi
for t in "${targets[@]}"; do
    if [ -f "$ROOT/fuzz/cpp/$t.cpp" ]; then build_cpp; break; fi
done
for t in "${targets[@]}"; do
    if [ -f "$ROOT/fuzz/py/$t.py" ]; then ensure_atheris; break; fi
done
status=0
for t in "${targets[@]}"; do
    run_one "$t" || { status=1; echo "fuzz: $t FOUND A FAULT (see above)"; }
done
exit $status
