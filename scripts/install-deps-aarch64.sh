# Sourced by install-deps.sh --aarch64, after the host's packages and the
# amd64 rig kernel ($kver, $KCACHE, $SUDO set there). Idempotent.
#
# Adds what the AArch64 stage needs: the cross compiler, the arm64 builds of
# the libraries through multiarch (libgtest-dev ships compiled libraries, so
# its arm64 package serves the cross build as is), qemu-user-static for the
# tests (static: an LD_PRELOAD meant for an arm64 program is never tried on
# the emulator itself) and qemu-system-arm for the rig. Debian's arm64 kernel image, its headers
# and busybox-static:arm64 are unpacked, not installed, into
# $KCACHE/<abi>-arm64: the headers would pull gcc-12:arm64 and busybox-static
# cannot be installed for two architectures at once.

PKGS_AARCH64="
  crossbuild-essential-arm64 qemu-user-static qemu-system-arm
  libc6:arm64 libstdc++6:arm64
  libjson-c-dev:arm64 libcurl4-openssl-dev:arm64 libmosquitto-dev:arm64
  libssl-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 libcpp-httplib-dev:arm64
"

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $SUDO dpkg --add-architecture arm64
    $SUDO apt-get update
elif ! ls /var/lib/apt/lists/*binary-arm64_Packages* >/dev/null 2>&1; then
    $SUDO apt-get update
fi

missing=
for p in $PKGS_AARCH64; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        missing="$missing $p"
done
if [ -n "$missing" ]; then
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
fi

# The same ABI as the amd64 rig's kernel: both use the headers' common part
# and the kbuild tools installed for amd64.
kver_arm64=${kver%-amd64}-arm64
kdest=$KCACHE/$kver_arm64

# Into $kdest.part, moved into place only when whole.
unpack_arm64() {
    part=$kdest.part
    (cd "$1" && apt-get download "linux-image-$kver_arm64:arm64" \
        "linux-headers-$kver_arm64:arm64" busybox-static:arm64 >/dev/null) || return 1
    $SUDO rm -rf "$part" && $SUDO mkdir -p "$part" || return 1
    for d in "$1"/*.deb; do
        $SUDO dpkg-deb -x "$d" "$part" || return 1
    done
    # The headers' links point into /usr/src and /usr/lib/linux-kbuild-* of
    # a machine that installed them: make them hold in the cache.
    hdr=$part/usr/src/linux-headers-$kver_arm64
    kbuild=$(readlink "$hdr/scripts" | sed 's|.*/\(linux-kbuild-[^/]*\)/.*|\1|')
    [ -d "/usr/lib/$kbuild/scripts" ] || return 1
    $SUDO ln -sfn "/usr/lib/$kbuild/scripts" "$hdr/scripts" &&
        $SUDO ln -sfn "/usr/lib/$kbuild/tools" "$hdr/tools" &&
        $SUDO ln -sfn "../../../usr/src/linux-headers-$kver_arm64" \
            "$part/lib/modules/$kver_arm64/build" &&
        $SUDO rm -f "$part/lib/modules/$kver_arm64/source" &&
        $SUDO rm -rf "$kdest" && $SUDO mv "$part" "$kdest"
}

fetch_kernel_arm64() {
    [ -f "$kdest/boot/vmlinuz-$kver_arm64" ] && [ -x "$kdest/bin/busybox" ] && return 0
    tmp=$(mktemp -d)
    # apt-get download drops to the _apt user when it can write there.
    chmod 755 "$tmp"
    chown _apt "$tmp" 2>/dev/null || true
    ok=0
    unpack_arm64 "$tmp" || ok=1
    rm -rf "$tmp"
    return $ok
}

if ! fetch_kernel_arm64; then
    $SUDO apt-get update
    fetch_kernel_arm64 ||
        { echo "install-deps: cannot fetch the arm64 kernel for the rig" >&2; exit 1; }
fi
