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
#   AARCH64_DIR  AArch64 release tree for the package's cost in flash
#                (build-aarch64-release; needs install-deps.sh --aarch64)
#
# Both trees are MinSizeRel (-Os): the router's packages are built for size,
# and the flash is what the size goal is about. Both link the router's own
# libubox, libubus and libuci (scripts/router-prefix.sh) as shared
# libraries, as on the router; the bench runs the agent and its peers in a
# private router of their own (root), never on the host's /etc/config.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
# Absolute: the bench starts the agents from folders of its own.
abs() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
RELEASE_DIR=$(abs "${RELEASE_DIR:-build-release}")
BENCH_DIR=$(abs "${BENCH_DIR:-build-bench}")
CURL_DIR=$(abs "${CURL_DIR:-build-bench-curl}")
AARCH64_DIR=$(abs "${AARCH64_DIR:-build-aarch64-release}")
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

# What the package adds to a 21.02 image's flash: its AArch64 programs and
# library, stripped, and every library they load that a stock image (its
# default packages) does not carry, as Debian builds it for arm64. Beside
# each, its size through xz -9, near what squashfs (xz) keeps of it: the
# AArch64 linker pads to 64 KiB pages.
echo "Package cost in flash (AArch64, stripped, MinSizeRel; bytes, and through xz -9)"
if ! command -v aarch64-linux-gnu-g++ >/dev/null; then
    echo "  no AArch64 cross compiler: ./scripts/install-deps.sh --aarch64"
    exit 0
fi
cmake -S . -B "$AARCH64_DIR" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_PREFIX_PATH="$(./scripts/router-prefix.sh --aarch64)" >/dev/null
cmake --build "$AARCH64_DIR" -j"$jobs" --target ovimar-agent qx_wifi_ctl wsc_profile_tool \
    swport zorvex_encrypt pbkdf2_tool >/dev/null
in_image=" libc.so libgcc_s.so.1 libubox.so libubus.so libblobmsg_json.so libuci.so libjson-c.so.5 "
arm64=/usr/lib/aarch64-linux-gnu
total=0 total_xz=0 needs=
# Prints NAME, the stripped copy's size and its xz size; adds them up.
cost() {
    n=$(stat -c %s "$AARCH64_DIR/cost.tmp")
    x=$(xz -9 -c "$AARCH64_DIR/cost.tmp" | wc -c)
    printf '  %-28s %8d %8d%s\n' "$1" "$n" "$x" "${2:-}"
}
for f in agent/ovimar-agent wifi/ctl/qx_wifi_ctl wifi/wsc/wsc_profile_tool \
        switch/libswport.so tools/zorvex_encrypt tools/pbkdf2_tool; do
    aarch64-linux-gnu-strip --strip-all -o "$AARCH64_DIR/cost.tmp" "$AARCH64_DIR/$f"
    cost "${f##*/}"
    total=$((total + n)) total_xz=$((total_xz + x))
    needs="$needs $(aarch64-linux-gnu-readelf -d "$AARCH64_DIR/cost.tmp" |
        sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
done
printf '  %-28s %8d %8d\n' "the package's own files" "$total" "$total_xz"
for lib in $(echo "$needs" | tr ' ' '\n' | sort -u); do
    case $lib in ld-linux*|libc.so.6|libm.so.6) continue ;; esac # musl's libc on a router
    case $in_image in *" $lib "*) continue ;; esac
    aarch64-linux-gnu-strip --strip-all -o "$AARCH64_DIR/cost.tmp" "$arm64/$lib" 2>/dev/null ||
        { printf '  %-28s not found\n' "$lib"; continue; }
    cost "$lib" "  not in a stock image (Debian's arm64 build)"
done
aarch64-linux-gnu-strip --strip-all -o "$AARCH64_DIR/cost.tmp" "$arm64/libstdc++.so.6"
cost libstdc++.so.6 "  what a shared C++ runtime would add (OVIMAR_STATIC_LIBSTDCXX=OFF)"
rm -f "$AARCH64_DIR/cost.tmp"
