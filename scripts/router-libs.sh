#!/bin/sh
# Builds the router's real libraries from upstream source tarballs into a
# private prefix, once, and prints that prefix.
#
#   router-libs.sh [--aarch64] [SET]
#     2102   the 21.02-era libubox, uci, ubus a kernel-5.4 router runs (default)
#     head   the current upstream heads (compile checks)
#     mosquitto  libmosquitto 2.0.22, the router's version
#     boot   what a 21.02.5 router runs at boot, built on the 2102 set: procd
#            (not as PID 1: -DDISABLE_INIT=ON), ubox's logd, logread and
#            validate_data, jsonpath's jsonfilter; and OpenWrt 21.02.5's own
#            files (rc.common, procd.sh, uci.sh, include/, rules.mk ...)
#            unpacked into share/openwrt-21.02.5. Host programs only: the
#            AArch64 suite runs its arm64 agent under them through binfmt.
#     curl   libcurl as the router builds it, from Debian's curl source
#            package (scripts/router-curl.sh; needs no tarball)
#     web    the router's web stack, uhttpd, rpcd and LuCI, as a staging
#            root (scripts/router-web.sh)
#     sdk    whatever libubox-*, uci-* and ubus-* tarballs ROUTER_LIBS_SRC
#            holds (the last by name of each): an OpenWrt SDK's dl/ folder
#     --aarch64  cross-built for arm64 (cmake/aarch64-linux-gnu.cmake) into
#            SET-aarch64, against Debian's arm64 json-c
#
#   ROUTER_LIBS_SRC    folder of the tarballs (shared/router-libs beside the
#                      checkout or one of its parents)
#   ROUTER_LIBS_CACHE  where prefixes live (/var/cache/ovimar-router-libs)
#
# Exits 77 with one line naming what is missing and where it comes from
# when a tarball is absent. A set is built again when its tarballs change.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
arch=
if [ "${1:-}" = --aarch64 ]; then
    arch=aarch64
    shift
fi
set_name=${1:-2102}
# The shared folder beside the checkout, or beside a folder holding it.
src=${ROUTER_LIBS_SRC:-}
if [ -z "$src" ]; then
    for up in .. ../.. ../../..; do
        src=$root/$up/shared/router-libs
        [ -d "$src" ] && break
    done
    [ -d "$src" ] || src=$root/../shared/router-libs
fi
cache=${ROUTER_LIBS_CACHE:-/var/cache/ovimar-router-libs}

# Where a tarball comes from: `git archive --prefix=DIR/` of that commit.
origin() {
    case $1 in
        libubox-b14c468*) echo "https://git.openwrt.org/project/libubox.git b14c4688612c" ;;
        ubus-4fc532c*) echo "https://git.openwrt.org/project/ubus.git 4fc532c8a55b" ;;
        uci-4b3db11*) echo "https://git.openwrt.org/project/uci.git 4b3db1179747" ;;
        libubox-1aa36ee*) echo "https://git.openwrt.org/project/libubox.git 1aa36ee774c8" ;;
        ubus-3cc98db*) echo "https://git.openwrt.org/project/ubus.git 3cc98db1a422" ;;
        uci-66127cd*) echo "https://git.openwrt.org/project/uci.git 66127cd76c5d" ;;
        mosquitto-*) echo "https://github.com/eclipse/mosquitto.git v2.0.22" ;;
        procd-2cfc26f*) echo "https://git.openwrt.org/project/procd.git 2cfc26f8456a" ;;
        ubox-9ef8868*) echo "https://git.openwrt.org/project/ubox.git 9ef886819dd4" ;;
        jsonpath-c7e938d*) echo "https://git.openwrt.org/project/jsonpath.git c7e938d6582a" ;;
        openwrt-21.02.5*) echo "the OpenWrt v21.02.5 tree: include/ rules.mk scripts/ and package/ files" ;;
        *) echo "an OpenWrt SDK's dl/ folder (ROUTER_LIBS_SRC=\$SDK/dl)" ;;
    esac
}

missing() {
    echo "router-libs: missing in $src:$1" >&2
    exit 77
}

# The last tarball by name of a package in $src (any compression tar reads).
latest() {
    found=
    for f in "$src/$1"-*.tar.*; do
        [ -f "$f" ] && found=${f##*/}
    done
    [ -n "$found" ] || missing " $1-*.tar.* (from $(origin "$1"))"
    echo "$found"
}

# Built in this order: uci and ubus link libubox.
case $set_name in
    curl) exec "$root/scripts/router-curl.sh" ;;
    web) exec "$root/scripts/router-web.sh" ;;
    2102) tarballs="libubox-b14c468.tar.gz uci-4b3db11.tar.gz ubus-4fc532c.tar.gz" ;;
    head) tarballs="libubox-1aa36ee.tar.gz uci-66127cd.tar.gz ubus-3cc98db.tar.gz" ;;
    mosquitto) tarballs="mosquitto-2.0.22.tar.gz" ;;
    boot)
        [ -z "$arch" ] || { echo "router-libs: the boot set is built for the host only" >&2; exit 2; }
        tarballs="procd-2cfc26f.tar.gz ubox-9ef8868.tar.gz jsonpath-c7e938d.tar.gz
                  openwrt-21.02.5-files.tar.gz" ;;
    sdk)
        ubox=$(latest libubox)
        uci=$(latest uci)
        ubus=$(latest ubus)
        tarballs="$ubox $uci $ubus" ;;
    *) echo "router-libs: unknown set '$set_name' (2102, head, mosquitto, boot, curl, sdk)" >&2; exit 2 ;;
esac

absent=
for t in $tarballs; do
    top=${t%%-*}
    [ "$top" != mosquitto ] || top=${t%.tar.*}
    [ "$top" != openwrt ] || top=openwrt-21.02.5
    [ -f "$src/$t" ] || absent="$absent $t (git archive --prefix=$top/ of $(origin "$t"))"
done
[ -z "$absent" ] || missing "$absent"

set --
# The boot programs link the 2102 set: built first, rebuilt with it.
# The cache is shared by checkouts: a set is rebuilt when its tarballs, its
# base or this recipe's version change, never merely this script.
base= recipe=
if [ "$set_name" = boot ]; then
    recipe="boot recipe 1"
    base=$("$0" 2102) || exit $?
fi
prefix=$cache/$set_name
if [ -n "$arch" ]; then
    prefix=$prefix-$arch
    set -- -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$arch-linux-gnu.cmake"
fi
stamp=$prefix/.built
want=$(cd "$src" && for t in $tarballs; do cksum "$t"; done
       [ -z "$base" ] || { cat "$base/.built"; echo "$recipe"; })
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    echo "$prefix"
    exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix"
mkdir -p "$prefix"
jobs=$(nproc)
for t in $tarballs; do
    top=$(tar -tf "$src/$t" | head -n 1)
    dir=$work/${top%%/*}
    tar -xf "$src/$t" -C "$work"
    case $t in
        openwrt-*)
            # Used where unpacked: the stock scripts and the build's include files.
            mkdir -p "$prefix/share"
            mv "$dir" "$prefix/share/"
            # The mode procd's package installs it with (INSTALL_BIN).
            chmod 755 "$prefix/share/openwrt-21.02.5/package/system/procd/files/reload_config"
            continue ;;
        jsonpath-*)
            # Builds only in its source folder; a router calls it jsonfilter.
            (cd "$dir" && cmake . -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$base" \
                -DCMAKE_C_FLAGS="-I$base/include" -DCMAKE_EXE_LINKER_FLAGS="-L$base/lib" \
                -DCMAKE_INSTALL_RPATH="$base/lib" && make -j"$jobs" && make install &&
                ln -sf jsonpath "$prefix/bin/jsonfilter") >"$work/$t.log" 2>&1 || {
                cat "$work/$t.log" >&2
                echo "router-libs: building $t failed" >&2
                exit 1
            }
            continue ;;
        procd-* | ubox-*)
            # gcc 12 warns where the gcc of 21.02 did not.
            sed -i 's/ -Werror//' "$dir/CMakeLists.txt"
            opts="-DDISABLE_INIT=ON -DCMAKE_C_FLAGS=-I$base/include
                  -DCMAKE_EXE_LINKER_FLAGS=-L$base/lib -DCMAKE_SHARED_LINKER_FLAGS=-L$base/lib
                  -DCMAKE_PREFIX_PATH=$base -DCMAKE_INSTALL_RPATH=$base/lib;$prefix/lib" ;;
        mosquitto-*)
            opts="-DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF -DDOCUMENTATION=OFF
                  -DWITH_CJSON=OFF -DWITH_PLUGINS=OFF -DWITH_STATIC_LIBRARIES=OFF" ;;
        *)
            opts="-DBUILD_LUA=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TESTS=OFF" ;;
    esac
    # shellcheck disable=SC2086
    cmake -S "$dir" -B "$dir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_INSTALL_RPATH="$prefix/lib" "$@" $opts >"$work/$t.log" 2>&1 &&
        cmake --build "$dir/build" -j"$jobs" >>"$work/$t.log" 2>&1 &&
        cmake --install "$dir/build" >>"$work/$t.log" 2>&1 || {
            cat "$work/$t.log" >&2
            echo "router-libs: building $t${arch:+ for $arch} failed" >&2
            exit 1
        }
done
echo "$want" >"$stamp"
echo "$prefix"
