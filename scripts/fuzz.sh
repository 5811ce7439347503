#!/bin/sh
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for
# FUZZ_SECONDS (60) from the seeds in fuzz/corpus. Any finding fails the
# run; its input is left in $BUILD_DIR/artifacts.
#   BUILD_DIR     build folder (build-fuzz)
#   FUZZ_SECONDS  run time per target (60)
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build-fuzz}
secs=${FUZZ_SECONDS:-60}
targets="dispatch broker bus_text"
# On the router's own libraries, in a private router (root): libuci writes
# /etc/config there.
CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DOVIMAR_FUZZ=ON \
    -DCMAKE_PREFIX_PATH="$(./scripts/router-prefix.sh)"
for t in $targets; do
    cmake --build "$BUILD_DIR" --target "fuzz_$t" -j"$(nproc)"
done
mkdir -p "$BUILD_DIR/artifacts"
status=0
for t in $targets; do
    # The run's own finds go to a scratch corpus; the seeds stay as they are.
    work="$BUILD_DIR/corpus/$t"
    mkdir -p "$work"
    echo "== fuzz_$t for ${secs}s"
    if ! "$BUILD_DIR/fuzz/fuzz_$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$BUILD_DIR/artifacts/$t-" \
            "$work" "fuzz/corpus/$t"; then
        echo "fuzz_$t: finding in $BUILD_DIR/artifacts" >&2
        status=1
    fi
done
exit $status
