#!/bin/sh
# Builds the router's web stack from its source tarballs, once, into a
# staging root laid out as a 21.02.5 router has it, and prints that root:
# uhttpd (Lua and ubus plugins, no TLS), rpcd (file and rpc-sys plugins),
# lucihttp, the ubus and uci Lua bindings, libnl-tiny, and the LuCI
# packages a page needs (luci-lib-base/jsonc/nixio/ip, luci-base,
# luci-mod-status, luci-mod-system, luci-theme-bootstrap), each installed
# as luci.mk installs it: luasrc, htdocs, root, then src. rpcd's and
# uhttpd's 21.02.5 init scripts and configs go where their packages put
# them; LuCI's luci.mk is kept beside the root. Binaries link the 2102 set (scripts/router-libs.sh) and Debian's
# lua5.1. scripts/router-libs.sh runs it as its set "web".
#
#   ROUTER_LIBS_SRC    folder of the tarballs
#   ROUTER_LIBS_CACHE  where prefixes live (/var/cache/ovimar-router-libs)
#
# The root is used as the upper layer of an overlay of / (LuCI hard-codes
# /www and /usr/lib/lua): never installed over the host.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
libs=$("$here/router-libs.sh" 2102)
src=${ROUTER_LIBS_SRC:-}
if [ -z "$src" ]; then
    for up in .. ../.. ../../..; do
        src=$here/../$up/shared/router-libs
        [ -d "$src" ] && break
    done
fi
cache=${ROUTER_LIBS_CACHE:-/var/cache/ovimar-router-libs}
out=$cache/web
root=$out/root

tarballs="libnl-tiny-c291088.tar.gz ubus-4fc532c.tar.gz uci-4b3db11.tar.gz
  lucihttp-3dc89af.tar.gz uhttpd-15346de.tar.gz rpcd-8d26a1b.tar.gz
  luci-afd0012.tar.gz openwrt-21.02.5-files.tar.gz"
absent=
for t in $tarballs; do
    [ -f "$src/$t" ] || absent="$absent $t"
done
if [ -n "$absent" ]; then
    echo "router-libs: missing in $src:$absent (git archive of the commits OpenWrt 21.02.5 builds)" >&2
    exit 77
fi
want=$( (cd "$src" && for t in $tarballs; do cksum "$t"; done; cksum "$here/router-web.sh" | cut -d' ' -f1,2; cat "$libs/.built") )
if [ -f "$out/.built" ] && [ "$(cat "$out/.built")" = "$want" ]; then
    echo "$root"
    exit 0
fi

lua_cflags=$(pkg-config --cflags lua5.1 2>/dev/null) || {
    echo "router-libs: the web set needs Debian's liblua5.1-0-dev (scripts/install-deps.sh)" >&2
    exit 1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$root"
for t in $tarballs; do tar -xf "$src/$t" -C "$work"; done
# gcc 12 warns where the compilers of 2021 did not.
find "$work" -name CMakeLists.txt -exec sed -i 's/-Werror\b//' {} +
# Makefiles that say -llua find Debian's liblua5.1 through this link.
mkdir "$work/lua"
ln -s "$(pkg-config --variable=libdir lua5.1)/liblua5.1.so" "$work/lua/liblua.so"
jobs=$(nproc)
log=$work/build.log

fail() {
    cat "$log" >&2
    echo "router-libs: building $1 for the web set failed" >&2
    exit 1
}

# cmake_pkg NAME SRC [OPTIONS...]: built against the 2102 set, staged
# under /usr of the root.
cmake_pkg() {
    name=$1 dir=$2
    shift 2
    cmake -S "$dir" -B "$work/b-$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_PREFIX_PATH="$libs" \
        -DCMAKE_C_FLAGS="-I$libs/include -I$root/usr/include -D_DEFAULT_SOURCE -Wno-error" \
        -DCMAKE_EXE_LINKER_FLAGS="-L$libs/lib -L$root/usr/lib -Wl,-rpath,$libs/lib" \
        -DCMAKE_SHARED_LINKER_FLAGS="-L$libs/lib -L$root/usr/lib -Wl,-rpath,$libs/lib" \
        -DCMAKE_MODULE_LINKER_FLAGS="-L$libs/lib -L$root/usr/lib -Wl,-rpath,$libs/lib" \
        -DLUAPATH=/usr/lib/lua -DLUA_CFLAGS="$lua_cflags" "$@" >"$log" 2>&1 &&
        cmake --build "$work/b-$name" -j"$jobs" >>"$log" 2>&1 &&
        DESTDIR=$root cmake --install "$work/b-$name" >>"$log" 2>&1 || fail "$name"
}

cmake_pkg libnl-tiny "$work/libnl-tiny" -DCMAKE_INSTALL_LIBDIR=lib
# The bindings alone: their libraries are the 2102 set's.
cmake_pkg ubus-lua "$work/ubus/lua" -DBUILD_LUA=ON
cmake_pkg uci-lua "$work/uci/lua"
cmake_pkg lucihttp "$work/lucihttp" -DBUILD_TESTS=OFF -DCMAKE_INSTALL_LIBDIR=lib
cmake_pkg uhttpd "$work/uhttpd" -DTLS_SUPPORT=OFF -DLUA_CFLAGS="$lua_cflags" \
    -DCMAKE_EXE_LINKER_FLAGS="-L$libs/lib -Wl,-rpath,$libs/lib -lcrypt"
cmake_pkg rpcd "$work/rpcd" -DIWINFO_SUPPORT=OFF

# What the packages' install sections put where a router has it.
pkgs=$work/openwrt-21.02.5/package
mkdir -p "$root/sbin" "$root/usr/sbin" "$root/usr/lib/rpcd" "$root/etc/init.d" \
    "$root/etc/config" "$root/usr/share/rpcd/acl.d"
mv "$root/usr/sbin/rpcd" "$root/sbin/rpcd"
mv "$root/usr/bin/uhttpd" "$root/usr/sbin/uhttpd"
mv "$root/usr/lib/file.so" "$root/usr/lib/rpcsys.so" "$root/usr/lib/rpcd/"
cp "$work/rpcd/unauthenticated.json" "$root/usr/share/rpcd/acl.d/"
cp "$pkgs/system/rpcd/files/rpcd.init" "$root/etc/init.d/rpcd"
cp "$pkgs/system/rpcd/files/rpcd.config" "$root/etc/config/rpcd"
cp "$pkgs/network/services/uhttpd/files/uhttpd.init" "$root/etc/init.d/uhttpd"
cp "$pkgs/network/services/uhttpd/files/uhttpd.config" "$root/etc/config/uhttpd"
chmod 755 "$root/etc/init.d/rpcd" "$root/etc/init.d/uhttpd"

# LuCI as luci.mk installs each package: luasrc, htdocs, root, then src
# (its version.lua replaces luasrc's placeholder).
luci=$work/luci
luci_make() {
    make -C "$1/src" clean compile install CC=gcc FPIC=-fPIC DESTDIR="$root" \
        STAGING_DIR="$root" LUA_CFLAGS="$lua_cflags" \
        CFLAGS="-O2 $lua_cflags -I/usr/include/json-c -I$root/usr/include/libnl-tiny" \
        LDFLAGS="-L$work/lua -L$root/usr/lib" \
        LUCI_VERSION=git-21.358.afd0012 LUCI_GITBRANCH="LuCI openwrt-21.02 branch" \
        >"$log" 2>&1 || fail "${1##*/}"
}
for p in libs/luci-lib-base libs/luci-lib-jsonc libs/luci-lib-nixio libs/luci-lib-ip \
    modules/luci-base modules/luci-mod-status modules/luci-mod-system \
    themes/luci-theme-bootstrap; do
    d=$luci/$p
    if [ -d "$d/luasrc" ]; then
        mkdir -p "$root/usr/lib/lua/luci"
        cp -pR "$d/luasrc/." "$root/usr/lib/lua/luci/"
    fi
    if [ -d "$d/htdocs" ]; then
        mkdir -p "$root/www"
        cp -pR "$d/htdocs/." "$root/www/"
    fi
    [ ! -d "$d/root" ] || cp -pR "$d/root/." "$root/"
    # luci-mod-status's src is luci-bwc, the realtime graphs' helper; it
    # needs libiwinfo, which no page here uses.
    case $p in modules/luci-mod-status) continue ;; esac
    [ ! -f "$d/src/Makefile" ] || luci_make "$d"
done
find "$root/usr/lib/lua/luci" -name '*.luadoc' -delete
# What a LuCI app's Makefile includes (a feed's feeds/luci/luci.mk), beside
# the root: tests/web/luci_app.sh reads the app with it.
cp "$luci/luci.mk" "$out/luci.mk"
# OpenWrt's Lua module path is not Debian's: this link serves both.
mkdir -p "$root/usr/local/lib/lua"
ln -s /usr/lib/lua "$root/usr/local/lib/lua/5.1"
# base-files' openwrt_release with what the 21.02.5 build fills in.
sed -e "s/%D/OpenWrt/; s/%V/21.02.5/; s/%R/r16688-fa9a932fdb/; s/%C/r16688-fa9a932fdb/" \
    -e "s/%S/x86\/64/; s/%A/x86_64/; s/%t//" \
    "$pkgs/base-files/files/etc/openwrt_release" >"$root/etc/openwrt_release"
# On a merged-/usr host (Debian 12) /sbin is a link to usr/sbin: a folder
# sbin on top would hide the host's, so its files go under usr/.
for d in bin sbin lib; do
    if [ -L "/$d" ] && [ -d "$root/$d" ]; then
        mkdir -p "$root/usr/$d"
        cp -pR "$root/$d/." "$root/usr/$d/"
        rm -rf "${root:?}/$d"
    fi
done
echo "$want" >"$out/.built"
echo "$root"
