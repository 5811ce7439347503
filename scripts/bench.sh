#!/bin/sh
# Builds a release agent and the benchmark, then runs the benchmark; every
# argument goes to it (e.g. --idle 10 --rounds 500). Prints figures only.
#
#   RELEASE_DIR  release tree for the size figure (build-release)
#   BENCH_DIR    host tree the benchmark runs in (build-bench)
#
# Both trees are MinSizeRel (-Os): the router's packages are built for size,
# and the flash is what the size goal is about. The release tree links the
# router's real libubox, libubus and libuci (scripts/router-libs.sh) as
# shared libraries, as on the router; without their sources it links the
# host stand-ins, whose libuci is static and counts in the size.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
RELEASE_DIR=${RELEASE_DIR:-build-release}
BENCH_DIR=${BENCH_DIR:-build-bench}
jobs=$(nproc)

platform="-DROUTER_PLATFORM=host"
rc=0
prefix=$(./scripts/router-libs.sh 2102) || rc=$?
if [ "$rc" -eq 0 ]; then
    platform="-DROUTER_PLATFORM=openwrt -DCMAKE_PREFIX_PATH=$prefix"
elif [ "$rc" -ne 77 ]; then
    exit "$rc"
else
    echo "bench: no router libraries; the release agent links the host stand-ins" >&2
fi
# shellcheck disable=SC2086
cmake -S . -B "$RELEASE_DIR" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF $platform >/dev/null
cmake --build "$RELEASE_DIR" --target ovimar-agent -j"$jobs" >/dev/null
stripped=$RELEASE_DIR/ovimar-agent.stripped
strip --strip-all -o "$stripped" "$RELEASE_DIR/agent/ovimar-agent"

cmake -S . -B "$BENCH_DIR" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
    -DOVIMAR_BENCH=ON -DROUTER_PLATFORM=host >/dev/null
cmake --build "$BENCH_DIR" --target ovimar_bench -j"$jobs" >/dev/null

"$BENCH_DIR/bench/ovimar_bench" --size "$stripped" "$@"
echo
echo "Release agent ($platform): sections and the libraries it needs"
size "$stripped" | sed 's/^/  /'
readelf -d "$stripped" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ' | sed 's/^/  /'
echo
