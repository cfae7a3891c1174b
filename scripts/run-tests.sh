#!/usr/bin/env bash
# Builds the suite three ways (plain, AddressSanitizer with UBSan, ThreadSanitizer) and
# runs it in each; fails when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

run_variant() {
    local name=$1 sanitize=$2
    echo "=== $name build"
    cmake -S . -B "build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLENKO_SANITIZE="$sanitize" >/dev/null
    cmake --build "build/$name" -j "$(nproc)"
    (cd "build/$name" && ctest --output-on-failure -j "$(nproc)")
}

run_variant plain ""
run_variant asan "address,undefined"
# The product binaries that the tests start inherit this too.
TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp ${TSAN_OPTIONS:-}" run_variant tsan "thread"
