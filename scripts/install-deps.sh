#!/bin/sh
# Installs every Debian package the build, the tests and the demo need, then
# builds the router's own libraries and programs from their source tarballs
# into the cache (scripts/router-libs.sh, once). Idempotent: safe to run
# again; only Debian's archive is used.
#   --aarch64  also what the AArch64 cross build, its emulated tests and the
#              arm64 kernel rig need (scripts/test-aarch64.sh passes it),
#              and the router's libraries cross-built for arm64
set -eu

AARCH64=
case ${1:-} in
--aarch64) AARCH64=1 ;;
"") ;;
*) echo "usage: $0 [--aarch64]" >&2; exit 2 ;;
esac

PKGS="
  build-essential cmake pkg-config git
  googletest libgtest-dev libgmock-dev
  libssl-dev openssl
  libjson-c-dev libcurl4-openssl-dev libcpp-httplib-dev
  clang libclang-rt-dev
  libmosquitto-dev mosquitto mosquitto-clients
  iproute2 nftables net-tools bridge-utils util-linux procps psmisc kmod
  qemu-system-x86 busybox-static linux-headers-amd64 cpio gzip
  lua5.1 liblua5.1-0-dev chromium chromium-driver python3-selenium curl
"

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

missing=
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        missing="$missing $p"
done

if [ -n "$missing" ]; then
    if ! ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; then
        $SUDO apt-get update
    fi
    export DEBIAN_FRONTEND=noninteractive
    # shellcheck disable=SC2086
    $SUDO apt-get install -y --no-install-recommends $missing
fi

# The kernel test rig boots Debian's own kernel for the ABI the installed
# headers belong to. The image is unpacked into a cache, not installed: the
# package would drag in udev, initramfs-tools and a bootloader hook.
KCACHE=${OVIMAR_KERNEL_CACHE:-/var/cache/ovimar-kernel}

# Resolves the ABI (never fixed here: point releases move it), installs its
# headers and unpacks its image unless cached.
fetch_kernel() {
    kver=$(apt-cache depends linux-headers-amd64 2>/dev/null |
           sed -n 's/.*Depends: linux-headers-//p' | head -n 1)
    [ -n "$kver" ] || return 1
    # The meta package may point past the installed headers after a point release.
    if ! dpkg-query -W -f='${Status}' "linux-headers-$kver" 2>/dev/null |
            grep -q 'install ok installed'; then
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y \
            --no-install-recommends "linux-headers-$kver" || return 1
    fi
    [ -f "$KCACHE/$kver/boot/vmlinuz-$kver" ] && return 0
    tmp=$(mktemp -d)
    # apt-get download drops to the _apt user when it can write there.
    chmod 755 "$tmp"
    chown _apt "$tmp" 2>/dev/null || true
    # set -e does not reach into a function called as a condition.
    ok=0
    (cd "$tmp" && apt-get download "linux-image-$kver" >/dev/null) &&
        $SUDO mkdir -p "$KCACHE" &&
        $SUDO rm -rf "$KCACHE/$kver.part" &&
        $SUDO dpkg-deb -x "$tmp"/linux-image-"$kver"_*.deb "$KCACHE/$kver.part" &&
        $SUDO mv "$KCACHE/$kver.part" "$KCACHE/$kver" || ok=1
    rm -rf "$tmp"
    return $ok
}

# Stale package lists name an image that left the archive: refresh once.
if ! fetch_kernel; then
    $SUDO apt-get update
    fetch_kernel || { echo "install-deps: cannot fetch the kernel image for the rig" >&2; exit 1; }
fi

# A router's /bin/sh: Debian's busybox (1.35) built as a router's is, running
# programs from PATH; busybox-static (the kernel rig's) runs its own applets
# first, its logread instead of the router's. The two packages conflict:
# this one is unpacked into a cache, not installed.
BBCACHE=${OVIMAR_BUSYBOX_CACHE:-/var/cache/ovimar-busybox}
fetch_busybox() {
    ver=$(apt-cache policy busybox 2>/dev/null | sed -n 's/^ *Candidate: //p')
    [ -n "$ver" ] && [ "$ver" != "(none)" ] || return 1
    dir=$BBCACHE/$(echo "$ver" | tr ':' '_')
    if [ ! -x "$dir/bin/busybox" ]; then
        tmp=$(mktemp -d)
        chmod 755 "$tmp"
        chown _apt "$tmp" 2>/dev/null || true
        ok=0
        (cd "$tmp" && apt-get download "busybox=$ver" >/dev/null) &&
            $SUDO mkdir -p "$BBCACHE" && $SUDO rm -rf "$dir.part" &&
            $SUDO dpkg-deb -x "$tmp"/busybox_*.deb "$dir.part" &&
            $SUDO mv "$dir.part" "$dir" || ok=1
        rm -rf "$tmp"
        [ $ok -eq 0 ] || return 1
    fi
    $SUDO ln -sfn "${dir##*/}" "$BBCACHE/current"
}
if ! fetch_busybox; then
    $SUDO apt-get update
    fetch_busybox || { echo "install-deps: cannot fetch Debian's busybox package" >&2; exit 1; }
fi

# The platform every build links; stops here, naming what is missing,
# where the tarballs are not found.
"$(dirname "$0")/router-prefix.sh" >/dev/null
# The router's web stack the browser test and the demo run.
"$(dirname "$0")/router-libs.sh" web >/dev/null

[ -n "$AARCH64" ] || exit 0
. "$(dirname "$0")/install-deps-aarch64.sh"
"$(dirname "$0")/router-prefix.sh" --aarch64 >/dev/null
