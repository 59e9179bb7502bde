#!/usr/bin/env bash
# Builds the numeric core and its tests with Clang (warnings are errors) in
# build/clang, then runs the core tests. Needs clang++ 14 or newer and
# GoogleTest (scripts/setup.sh installs it); CXX may name another clang++.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
CXX=${CXX:-clang++}
command -v "$CXX" >/dev/null || {
    echo "test_clang: $CXX not found (apt-get install clang, or set CXX)" >&2
    exit 1
}
out=$ROOT/build/clang
"$VENV/bin/cmake" -S "$ROOT" -B "$out" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DCMAKE_CXX_COMPILER="$CXX" -DALVORA_WERROR=ON \
    -DALVORA_BUILD_MODULES=OFF -DALVORA_BUILD_TESTS=ON >/dev/null
"$VENV/bin/cmake" --build "$out" -j"$(nproc)"
cd "$out" && "$VENV/bin/ctest" --output-on-failure -j"$(nproc)" | tail -n 3
