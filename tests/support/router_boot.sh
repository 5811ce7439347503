#!/bin/sh
# A private router's boot-time system, for tests and scripts that already
# run in a private router (private_router.h): the router's paths, then
# ubusd, logd and procd serving `service` on its bus.
#
#   router_boot.sh ENV mount          the router's paths, in this namespace
#   router_boot.sh ENV start LOGDIR   mount, then start ubusd, logd, procd;
#                                     prints their PIDs once procd answers
#   router_boot.sh ENV stop PID...    deletes procd's services, then ends
#                                     those PIDs and every instance left
#
# ENV is the build's router_boot.env (the programs and the unpacked
# OpenWrt 21.02.5 files). BOOT_INIT and BOOT_AGENT there may be overridden
# from the environment (an older init script, say).
#
# The router's PATH is $APPLET_DIR:/usr/sbin:/usr/bin:/sbin:/bin.
# Only this namespace changes: /usr and /dev get overlays whose upper
# layers are on a tmpfs of its own, /etc is the private router's overlay.
set -eu
boot_env=$1
cmd=$2
shift 2
init_override=${BOOT_INIT:-}
agent_override=${BOOT_AGENT:-}
. "$boot_env"
BOOT_INIT=${init_override:-$BOOT_INIT}
BOOT_AGENT=${agent_override:-$BOOT_AGENT}
ow=$BOOT_OPENWRT/package

# The applets of a 21.02 router's busybox that scripts here meet, first on
# the router's PATH (Debian's own stay where they are, for the tests' own
# tools); the router's /bin/sh is busybox ash. Where Debian's busybox
# lacks one (flock, pgrep), Debian's program serves.
APPLET_DIR=/tmp/.router-boot/bin
APPLETS="sh ash awk basename cat chmod cmp cp cut date dirname echo egrep env
  expr false fgrep find flock grep head hexdump kill killall ln logger ls md5sum
  mkdir mktemp mv pgrep pidof printf ps readlink rm rmdir sed seq sha256sum sleep
  sort tail tee test timeout touch tr true uniq wc which xargs [ [["

# An overlay on DIR whose upper layer is on tmpfs T (overlayfs refuses an
# upper layer on the private router's /tmp overlay).
overlay() {
    mkdir -p "$2/$3-up" "$2/$3-work"
    chmod "$(stat -c %a "$1")" "$2/$3-up"
    mount -t overlay overlay -o "lowerdir=$4,upperdir=$2/$3-up,workdir=$2/$3-work" "$1"
}

# A stock file at the router's path, used where it is unpacked.
stock() {
    mkdir -p "$(dirname "$2")"
    [ -e "$2" ] || : >"$2"
    mount --bind "$1" "$2"
}

do_mount() {
    t=/tmp/.router-boot
    mkdir -p "$t"
    mount -t tmpfs -o mode=0755 tmpfs "$t"
    overlay /usr "$t" usr /usr
    # A private /dev/log for logd: /dev's nodes and its mounts stay the host's.
    mkdir -p "$t/hostdev"
    mount --rbind /dev "$t/hostdev"
    overlay /dev "$t" dev "$t/hostdev"
    for m in pts shm mqueue; do
        if [ -d "$t/hostdev/$m" ] && grep -q " /dev/$m " /proc/self/mounts; then
            mount --rbind "$t/hostdev/$m" "/dev/$m"
        fi
    done
    rm -f /dev/log

    # Debian's /bin, /sbin and /lib are /usr's: all of it lands in the overlay.
    ln -sf "$BOOT_BUSYBOX" /usr/bin/sh
    mkdir -p "$APPLET_DIR"
    have=$("$BOOT_BUSYBOX" --list)
    for a in $APPLETS; do
        case " $(echo $have) " in *" $a "*) ln -sf "$BOOT_BUSYBOX" "$APPLET_DIR/$a" ;; esac
    done
    ln -sf "$BOOT_UBUSD" /usr/sbin/ubusd
    ln -sf "$BOOT_UBUS" /usr/bin/ubus
    ln -sf "$BOOT_UCI" /usr/sbin/uci
    ln -sf "$BOOT_JSHN" /usr/bin/jshn
    ln -sf "$BOOT_JSONFILTER" /usr/bin/jsonfilter
    ln -sf "$BOOT_PROCD" /usr/sbin/procd
    ln -sf "$BOOT_LOGD" /usr/sbin/logd
    ln -sf "$BOOT_LOGREAD" /usr/sbin/logread
    ln -sf "$BOOT_VALIDATE" /usr/sbin/validate_data
    ln -sf "$BOOT_NVTOOL" /usr/sbin/nvtool

    stock "$ow/base-files/files/etc/rc.common" /etc/rc.common
    stock "$ow/base-files/files/lib/functions.sh" /lib/functions.sh
    for f in "$ow"/base-files/files/lib/functions/*.sh; do
        stock "$f" "/lib/functions/${f##*/}"
    done
    stock "$ow/system/procd/files/procd.sh" /lib/functions/procd.sh
    stock "$ow/system/procd/files/reload_config" /sbin/reload_config
    stock "$ow/system/uci/files/lib/config/uci.sh" /lib/config/uci.sh
    stock "$BOOT_JSHN_SH" /usr/share/libubox/jshn.sh

    # The router's init.d and rc.d hold only what its packages installed.
    rm -rf /etc/init.d /etc/rc.d
    # (/var is the host's: only /var/run and /var/lock, links into /run, are used.)
    mkdir -p /etc/init.d /etc/rc.d /etc/config /var/lock
    # The package, installed: its program, its init script, its defaults.
    ln -sf "$BOOT_AGENT" /usr/sbin/ovimar-agent
    cp "$BOOT_INIT" /etc/init.d/ovimar-agent
    chmod 755 /etc/init.d/ovimar-agent
}

# The router's PATH, and what its programs inherit from procd.
router_env() {
    export PATH=$APPLET_DIR:/usr/sbin:/usr/bin:/sbin:/bin
}

do_start() {
    logs=$1
    do_mount
    router_env
    ubusd >"$logs/ubusd.log" 2>&1 &
    p_ubusd=$!
    i=0
    until ubus -t 1 list >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -lt 400 ] || { echo "router_boot: ubusd never answered" >&2; exit 1; }
        sleep 0.05
    done
    # 64 KiB: the size of a 21.02 router's log (its log.init default).
    logd -S 64 >"$logs/logd.log" 2>&1 &
    p_logd=$!
    procd -s /var/run/ubus/ubus.sock -S -d 2 >"$logs/procd.log" 2>&1 &
    p_procd=$!
    i=0
    until ubus -t 1 call service list >/dev/null 2>&1 && ubus -t 1 list log >/dev/null 2>&1 &&
            [ -S /dev/log ]; do
        i=$((i + 1))
        [ $i -lt 400 ] || { echo "router_boot: procd or logd never answered" >&2; exit 1; }
        sleep 0.05
    done
    # A booted router has the checksums reload_config compares against.
    reload_config 2>/dev/null
    echo "$p_ubusd $p_logd $p_procd"
}

# Instances first (procd would leave them running), then the daemons.
do_stop() {
    router_env
    left=
    if list=$(ubus -t 2 call service list 2>/dev/null); then
        left=$(echo "$list" | jsonfilter -e '@[*].instances[*].pid' 2>/dev/null || true)
        # The top-level keys of ubus's indented answer are the services.
        for s in $(echo "$list" | sed -n 's/^\t"\([^"]*\)": {$/\1/p'); do
            ubus -t 2 call service delete "{\"name\":\"$s\"}" >/dev/null 2>&1 || true
        done
    fi
    for p in "$@"; do kill -9 "$p" 2>/dev/null || true; done
    for p in $left; do kill -9 "$p" 2>/dev/null || true; done
}

case $cmd in
    mount) do_mount ;;
    start) do_start "$@" ;;
    stop) do_stop "$@" ;;
    *) echo "usage: router_boot.sh ENV mount|start LOGDIR|stop PID..." >&2; exit 2 ;;
esac
