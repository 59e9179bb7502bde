#!/usr/bin/env bash
# Builds the numeric core and its tests with Clang (warnings are errors) in
# build/clang, runs the core tests, then checks that Clang's results equal the
# GCC build's (build/dev) bit for bit: both test programs write a digest of
# every kernel at every instruction-set level and of the other core routines
# over fixed inputs (ALVORA_RESULTS_DUMP), and the two files must be
# identical. Needs clang++ 14 or newer and GoogleTest (scripts/setup.sh
# installs it); CXX may name another clang++.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
CXX=${CXX:-clang++}
command -v "$CXX" >/dev/null || {
    echo "test_clang: $CXX not found (apt-get install clang, or set CXX)" >&2
    exit 1
}
bash "$ROOT/scripts/setup.sh"  # the GCC build the results are compared with
out=$ROOT/build/clang
"$VENV/bin/cmake" -S "$ROOT" -B "$out" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DCMAKE_CXX_COMPILER="$CXX" -DALVORA_WERROR=ON \
    -DALVORA_BUILD_MODULES=OFF -DALVORA_BUILD_TESTS=ON >/dev/null
"$VENV/bin/cmake" --build "$out" -j"$(nproc)"
(cd "$out" && "$VENV/bin/ctest" --output-on-failure -j"$(nproc)" | tail -n 3)

for build in "$BUILD" "$out"; do
    ALVORA_RESULTS_DUMP=$build/core_results.txt "$build/alvora_core_tests" \
        --gtest_filter='CompilerResults.*' >/dev/null
done
if ! diff "$BUILD/core_results.txt" "$out/core_results.txt" > "$out/core_results.diff"; then
    echo "test_clang: Clang's results differ from GCC's ($(grep -c '^>' "$out/core_results.diff")" \
        "of $(wc -l < "$out/core_results.txt") results; $out/core_results.diff):" >&2
    head -n 20 "$out/core_results.diff" >&2
    exit 1
fi
echo "Clang and GCC results identical: $(wc -l < "$out/core_results.txt") results" \
    "(every kernel at $(cut -d' ' -f1 "$out/core_results.txt" | sort -u |
        grep -cx -e baseline -e avx2 -e avx512) instruction-set levels, and the other core routines)"
