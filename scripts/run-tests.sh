#!/usr/bin/env bash
# Builds the suite three ways (plain, AddressSanitizer with UBSan, ThreadSanitizer) and
# runs it in each, then builds a release exactly as README.md tells users to; fails when
# any test or build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

run_variant() {
    local name=$1 sanitize=$2
    echo "=== $name build"
    cmake -S . -B "build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLENKO_WERROR=ON \
        -DFLENKO_SANITIZE="$sanitize" >/dev/null
    cmake --build "build/$name" -j "$(nproc)"
    (cd "build/$name" && ctest --output-on-failure -j "$(nproc)")
}

run_variant plain ""
run_variant asan "address,undefined"
run_variant tsan "thread"

# README.md's build-by-hand command, word for word; CXXFLAGS makes its warnings fail here
# and takes effect only on a fresh configuration.
echo "=== release build, as README.md gives it"
rm -f build/CMakeCache.txt
export CXXFLAGS="-Werror ${CXXFLAGS:-}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build
