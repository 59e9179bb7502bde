#!/usr/bin/env bash
# Cross-builds the numeric core and its tests for 64-bit ARM Linux in
# build/aarch64 and runs the core tests under qemu-user. Only the baseline
# instruction-set level exists there. Needs g++-aarch64-linux-gnu, qemu-user
# and the GoogleTest sources (Debian: googletest, in /usr/src/googletest),
# which are compiled for ARM with the core.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
GTEST_SOURCE=${GTEST_SOURCE:-/usr/src/googletest}
missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
[ -f "$GTEST_SOURCE/CMakeLists.txt" ] || missing+=(googletest)
if [ ${#missing[@]} -gt 0 ]; then
    echo "test_aarch64: missing ${missing[*]} (apt-get install -y ${missing[*]};" \
        "or set GTEST_SOURCE to a GoogleTest checkout)" >&2
    exit 1
fi
out=$ROOT/build/aarch64
"$VENV/bin/cmake" -S "$ROOT" -B "$out" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" -Wno-deprecated \
    -DALVORA_GTEST_SOURCE="$GTEST_SOURCE" -DALVORA_WERROR=ON \
    -DALVORA_BUILD_MODULES=OFF -DALVORA_BUILD_TESTS=ON >/dev/null
"$VENV/bin/cmake" --build "$out" -j"$(nproc)" --target alvora_core_tests
cd "$out" && "$VENV/bin/ctest" --output-on-failure -j"$(nproc)" | tail -n 3
