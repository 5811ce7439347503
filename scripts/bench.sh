#!/bin/sh
# Builds a release agent and the benchmark, then runs the benchmark; every
# argument goes to it (e.g. --idle 10 --rounds 500). Prints figures only.
# With --fleet [N] (and --fleet-scenarios LIST ...) it builds and runs the
# fleet benchmark instead (bench/fleet_main.cpp), on the bench tree's agent.
#
#   RELEASE_DIR  release tree for the size figure (build-release)
#   BENCH_DIR    host tree the benchmark runs in (build-bench)
#   CURL_DIR     host tree of a second agent on the router-like libcurl
#                of scripts/router-libs.sh curl (build-bench-curl)
#
# Both trees are MinSizeRel (-Os): the router's packages are built for size,
# and the flash is what the size goal is about. Both link the router's own
# libubox, libubus and libuci (scripts/router-prefix.sh) as shared
# libraries, as on the router; the bench runs the agent and its peers in a
# private router of their own (root), never on the host's /etc/config.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
RELEASE_DIR=${RELEASE_DIR:-build-release}
BENCH_DIR=${BENCH_DIR:-build-bench}
jobs=$(nproc)

prefix=$(./scripts/router-prefix.sh)
bench_tree() {
    cmake -S . -B "$BENCH_DIR" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
        -DOVIMAR_BENCH=ON -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$BENCH_DIR" --target "$1" -j"$jobs" >/dev/null
}

for arg in "$@"; do
    case $arg in --fleet*)
        bench_tree ovimar_fleet
        exec "$BENCH_DIR/bench/ovimar_fleet" "$@"
    esac
done

cmake -S . -B "$RELEASE_DIR" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$RELEASE_DIR" --target ovimar-agent -j"$jobs" >/dev/null
stripped=$RELEASE_DIR/ovimar-agent.stripped
strip --strip-all -o "$stripped" "$RELEASE_DIR/agent/ovimar-agent"

bench_tree ovimar_bench

# The same agent on libcurl as a router builds it: Debian's links some
# thirty libraries a router's does not. Its memory is printed beside the
# first's; its RUNPATH must lead to that libcurl, not Debian's.
CURL_DIR=${CURL_DIR:-build-bench-curl}
curl_prefix=$(./scripts/router-libs.sh curl)
cmake -S . -B "$CURL_DIR" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
    -DCMAKE_PREFIX_PATH="$curl_prefix;$prefix" >/dev/null
cmake --build "$CURL_DIR" --target ovimar-agent -j"$jobs" >/dev/null
curl_agent=$CURL_DIR/agent/ovimar-agent
ldd "$curl_agent" | grep -q "=> $curl_prefix/lib/libcurl" || {
    echo "bench: $curl_agent does not load $curl_prefix/lib/libcurl" >&2
    exit 1
}

"$BENCH_DIR/bench/ovimar_bench" --size "$stripped" --label "Debian's libcurl" \
    --compare-agent "$curl_agent" --compare-label "router-like libcurl" "$@"
echo
echo "Release agent ($prefix): sections and the libraries it needs"
size "$stripped" | sed 's/^/  /'
readelf -d "$stripped" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ' | sed 's/^/  /'
echo
