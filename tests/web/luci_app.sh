#!/bin/sh
# luci_app.sh ENV dump|install DEST: package/luci-app-ovimar read as an
# OpenWrt 21.02.5 build reads it, with no toolchain: its own include/ and
# rules.mk (router_boot.env's BOOT_OPENWRT) and LuCI's luci.mk at
# feeds/luci/luci.mk, where a feed checkout puts it.
#   dump          the package's metadata (make DUMP=1)
#   install DEST  luci.mk's install section, run into DEST
set -eu
. "$1"
top=$(cd "$(dirname "$0")/../.." && pwd)
web=$("$top/scripts/router-libs.sh" web)
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
ln -s "$BOOT_OPENWRT/include" "$BOOT_OPENWRT/rules.mk" "$BOOT_OPENWRT/scripts" "$t/"
mkdir -p "$t/feeds/luci" "$t/package" "$t/staging_dir/host/bin"
ln -s "$(dirname "$web")/luci.mk" "$t/feeds/luci/luci.mk"
ln -s "$top/package/luci-app-ovimar" "$t/package/"
: >"$t/.config"
# The build's own host tool, which its include files call.
gcc -O2 -o "$t/staging_dir/host/bin/mkhash" "$BOOT_OPENWRT/scripts/mkhash.c"
export PATH="$t/staging_dir/host/bin:$PATH"
pkg=$t/package/luci-app-ovimar
case $2 in
dump) make -s -C "$pkg" TOPDIR="$t" DUMP=1 ;;
install)
    # A package without src/: what Build/Prepare copies is the folder itself.
    printf 'app-install:\n\t$(call Package/luci-app-ovimar/install,$(DEST))\n' >"$t/install.mk"
    make -s -C "$pkg" -f Makefile -f "$t/install.mk" TOPDIR="$t" PKG_BUILD_DIR="$pkg" \
        DEST="$3" app-install ;;
*) echo "usage: luci_app.sh ENV dump|install DEST" >&2; exit 2 ;;
esac
