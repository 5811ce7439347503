#!/bin/sh
# Prints the CMAKE_PREFIX_PATH every build here uses: the router's own
# libubox, libubus, libblobmsg_json and libuci, with its ubusd, ubus and
# uci (scripts/router-libs.sh builds them once), the router's boot-time
# programs and files (procd, logd, logread, jsonfilter, rc.common ...: the
# boot set, host programs even for --aarch64), and the router's
# libmosquitto where its tarball is there (Debian's otherwise).
#
#   router-prefix.sh [--aarch64]
#   ROUTER_LIBS_SET  2102 (default), or sdk for an SDK's dl/ folder
#
# Stops with router-libs.sh's line when the tarballs are missing.
set -eu
here=$(dirname "$0")
libs=$("$here/router-libs.sh" "$@" "${ROUTER_LIBS_SET:-2102}") || exit 1
boot=$("$here/router-libs.sh" boot) || exit 1
libs="$libs;$boot"
if [ "${1:-}" = --aarch64 ]; then
    # The arm64 suite links Debian's arm64 libmosquitto.
    echo "$libs"
    exit 0
fi
rc=0
mosq=$("$here/router-libs.sh" mosquitto 2>/dev/null) || rc=$?
[ "$rc" -eq 0 ] || [ "$rc" -eq 77 ] || exit "$rc"
echo "$libs${mosq:+;$mosq}"
