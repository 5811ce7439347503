#!/bin/sh
# Builds everything on the router's own libraries (scripts/router-prefix.sh)
# and runs every test, each in a private router of its own (root).
#   BUILD_DIR   build folder (build)
#   CMAKE_ARGS  extra configure arguments, e.g. -DOVIMAR_SANITIZE=ON
#   CTEST_ARGS  extra ctest arguments, e.g. -LE kernel
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
jobs=$(nproc)
prefix=$(./scripts/router-prefix.sh)
# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" -DCMAKE_PREFIX_PATH="$prefix" ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j"$jobs"
# Most tests wait on their peers and timers, not on a core: two per core.
# shellcheck disable=SC2086
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$((jobs * 2))" ${CTEST_ARGS:-}
# The kernel rig's benchmark figures (printed, never judged), when it ran.
bench=$BUILD_DIR/tests/kernel/rig/bench.txt
if [ -s "$bench" ]; then
    echo "Kernel rig benchmarks:"
    cat "$bench"
fi
