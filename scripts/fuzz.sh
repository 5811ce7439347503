#!/bin/sh
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for
# FUZZ_SECONDS (60) from the seeds in fuzz/corpus, one per core at a time.
# Any finding fails the run; its input is left in $BUILD_DIR/artifacts.
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

# One target: its own finds go to a scratch corpus, the seeds stay as they
# are; the status is left in its log folder.
fuzz_one() {
    work="$BUILD_DIR/corpus/$1"
    mkdir -p "$work"
    rc=0
    "$BUILD_DIR/fuzz/fuzz_$1" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$BUILD_DIR/artifacts/$1-" \
        "$work" "fuzz/corpus/$1" >"$BUILD_DIR/fuzz_$1.log" 2>&1 || rc=$?
    echo "$rc" >"$BUILD_DIR/fuzz_$1.rc"
}

# Each target is one process on one core: as many at once as there are
# cores, each still fuzzed for the whole time.
status=0
batch=
n=0
for t in $targets; do
    echo "== fuzz_$t for ${secs}s"
    fuzz_one "$t" &
    batch="$batch $t"
    n=$((n + 1))
    if [ "$n" -ge "$(nproc)" ] || [ "$t" = "${targets##* }" ]; then
        wait
        for b in $batch; do
            echo "== fuzz_$b"
            cat "$BUILD_DIR/fuzz_$b.log"
            if [ "$(cat "$BUILD_DIR/fuzz_$b.rc")" != 0 ]; then
                echo "fuzz_$b: finding in $BUILD_DIR/artifacts" >&2
                status=1
            fi
        done
        batch=
        n=0
    fi
done
exit $status
