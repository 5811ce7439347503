#!/bin/sh
# Installs every Debian package the build, the tests and the demo need.
# Idempotent: safe to run again; only Debian's archive is used.
set -eu

PKGS="
  build-essential cmake pkg-config git
  googletest libgtest-dev libgmock-dev
  libssl-dev openssl
  libjson-c-dev libcurl4-openssl-dev
  libmosquitto-dev mosquitto mosquitto-clients
  iproute2 net-tools bridge-utils util-linux procps psmisc kmod
  qemu-system-x86 busybox-static linux-headers-amd64 cpio gzip
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
