#!/bin/sh
# The firmware package: package/ovimar/Makefile parsed by GNU make against
# stand-ins of the OpenWrt build's include files, its install commands run
# on what `cmake --install` puts into a DESTDIR, the files and modes that
# come out; the procd init script; the credential store's mode across
# commits through the router's uci. Run in a private router (private_router):
# /etc/config, /tmp/.uci and the bus are its own.
#
#   package_test.sh SOURCE_DIR BUILD_DIR ROUTER_PATH AGENT UBUSD UCI UBUS
set -u
src=$1 build=$2 routerpath=$3 agent=$4 ubusd=$5 ucibin=$6 ubusbin=$7
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
pids=
cleanup() {
    for p in $pids; do kill -9 "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    rm -rf "$tmp"
}
trap cleanup EXIT
passed=0 failed=0
pass() { passed=$((passed + 1)); echo "PASS $*"; }
fail() { failed=$((failed + 1)); echo "FAIL $*"; }
# expect WHAT GOT WANT
expect() {
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: got '$2', want '$3'"; fi
}
mode_of() { stat -c %a "$1" 2>/dev/null || echo missing; }
umask 022

# --- the package definition ---------------------------------------------
dest=$tmp/dest out=$tmp/out
DESTDIR=$dest cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log"; fail "cmake --install into a DESTDIR"; }
mk() {
    make -s --no-print-directory -C "$src/package/ovimar" TOPDIR="$here/stub" \
        INCLUDE_DIR="$here/stub" PKG_INSTALL_DIR="$dest" PKG_BUILD_DIR="$src" \
        OUT="$out" "$@"
}
fields=$(mk -n dev 2>&1 | grep -E '^(package|kmod|missing) ')
echo "$fields"
expect "the Makefile parses and names every package" \
    "$(echo "$fields" | grep -E '^(package|kmod) ' | cut -d'|' -f1 | tr '\n' ' ')" \
    "package ovimar-agent package qx-wifi-ctl package wsc-profile-tool package libswport package ovimar-credproof kmod wanport-helper kmod meshfwd-filter "
expect "every package has a description and an install section" \
    "$(echo "$fields" | grep -c '^missing ')" 0
echo "$fields" | grep -E '^(package|kmod) ' | while IFS='|' read -r name a b c d; do
    # SECTION, CATEGORY, TITLE, DEPENDS; kmods: TITLE, FILES, AUTOLOAD.
    if [ -n "$a" ] && [ -n "$b" ] && [ -n "$c" ]; then echo ok; else echo "bad $name"; fi
done >"$tmp/fields"
expect "required fields are set" "$(sort -u "$tmp/fields")" ok
for dep in +libubox +libubus +libblobmsg-json +libuci +libjson-c +libcurl +libmosquitto-ssl \
        +uci; do
    echo "$fields" | grep '^package ovimar-agent|' | cut -d'|' -f5 | tr ' ' '\n' |
        grep -qx -- "$dep" || fail "ovimar-agent depends on $dep"
done
expect "the agent carries its C++ runtime: no libstdcpp" \
    "$(echo "$fields" | grep '^package ovimar-agent|' | cut -d'|' -f5 | grep -c libstdcpp)" 0
expect "the credential tools depend on libopenssl (libcrypto)" \
    "$(echo "$fields" | grep '^package ovimar-credproof|' | cut -d'|' -f5 | grep -c libopenssl)" 1
# A kmod's FILES are the modules that its Kbuild makes.
for m in wanport:wanport-helper meshfwd:meshfwd-filter; do
    dir=${m%%:*} pkg=${m#*:}
    ko=$(sed -n 's/^obj-m := \(.*\)\.o$/\1/p' "$src/kmod/$dir/Kbuild")
    line=$(echo "$fields" | grep "^kmod $pkg|")
    expect "kmod-$pkg ships kmod/$dir/$ko.ko" "$(echo "$line" | cut -d'|' -f3 | sed 's|.*/kmod/|kmod/|')" \
        "kmod/$dir/$ko.ko"
    expect "kmod-$pkg loads $ko" "$(echo "$line" | cut -d'|' -f4)" "$ko"
done

mk install dev >"$tmp/mk.log" 2>&1 || { cat "$tmp/mk.log"; fail "the install sections run"; }
# Every file each package installs, with its mode.
(cd "$out" && find . -type f -o -type l | while read -r f; do
    echo "$(stat -c %a "$f") ${f#./}"; done | sort -k2) >"$tmp/files"
cat "$tmp/files"
so=$(cd "$dest/usr/lib" && ls libswport.so.*.*.* 2>/dev/null)
# 0644 or 0755 by the cmake's platform rules (Debian's: 0644); kept as is.
som=$(mode_of "$dest/usr/lib/$so")
cat >"$tmp/want" <<EOW
644 dev/usr/include/swport.h
644 dev/usr/lib/pkgconfig/libswport.pc
777 dev/usr/lib/libswport.so
777 dev/usr/lib/libswport.so.1
$som dev/usr/lib/$so
777 libswport/usr/lib/libswport.so.1
$som libswport/usr/lib/$so
755 ovimar-agent/etc/init.d/ovimar-agent
600 ovimar-agent/etc/config/ovimar
600 ovimar-agent/etc/config/zorvex_group
755 ovimar-agent/usr/sbin/ovimar-agent
755 ovimar-credproof/usr/bin/pbkdf2_tool
755 ovimar-credproof/usr/bin/zorvex_encrypt
755 qx-wifi-ctl/usr/bin/qx_wifi_ctl
755 wsc-profile-tool/usr/bin/wsc_profile_tool
EOW
expect "the packages install these files with these modes" "$(cat "$tmp/files")" "$(sort -k2 "$tmp/want")"
cmp -s "$out/ovimar-agent/etc/config/ovimar" "$src/agent/files/ovimar" &&
    pass "/etc/config/ovimar is the default configuration" || fail "/etc/config/ovimar differs"
expect "cmake --install gives the default configuration mode 0600" \
    "$(mode_of "$dest/usr/etc/config/ovimar")" 600
grep -q '^Libs: -L${libdir} -lswport$' "$out/dev/usr/lib/pkgconfig/libswport.pc" &&
    pass "libswport.pc links -lswport" || fail "libswport.pc lacks its Libs line"

# --- the init script ------------------------------------------------------
init=$src/package/ovimar/files/ovimar-agent.init
sh -n "$init" && pass "init script: sh -n" || fail "init script: sh -n"
expect "init script is executable" "$(mode_of "$init")" 755
conf=/etc/config save=/tmp/.uci
cp -p "$out/ovimar-agent/etc/config/ovimar" "$out/ovimar-agent/etc/config/zorvex_group" "$conf/"
uci() { "$ucibin" -c "$conf" -t "$save" "$@"; }
# What procd is told, with rc.common's and procd.sh's calls standing in.
procd_says() {
    (
        config_load() { pkg=$1; }
        config_get() {
            v=$(uci -q get "$pkg.$2.$3") || v=$4
            eval "$1=\$v"
        }
        procd_open_instance() { echo open; }
        procd_set_param() { echo "$*"; }
        procd_close_instance() { echo close; }
        procd_add_reload_trigger() { echo "trigger $*"; }
        . "$init"
        echo "use_procd $USE_PROCD"
        start_service
        service_triggers
    )
}
said=$(procd_says)
echo "$said"
expect "no log_level: the agent's own default, syslog mode" \
    "$(echo "$said" | grep '^command')" "command /usr/sbin/ovimar-agent -m 0 -l 3"
expect "procd runs it" "$(echo "$said" | grep '^use_procd')" "use_procd 1"
expect "respawned without limit (retry 0), 5 s apart" \
    "$(echo "$said" | grep '^respawn' | cut -d' ' -f3-)" "5 0"
term=$(echo "$said" | sed -n 's/^term_timeout //p')
[ "${term:-0}" -gt 30 ] && pass "SIGKILL only after a 30 s command could end ($term s)" ||
    fail "term_timeout $term s is shorter than a 30 s shell command"
expect "reload_config reaches it for ovimar and zorvex_group" \
    "$(echo "$said" | grep '^trigger')" "trigger ovimar zorvex_group"

# procd at a reload, modelled: the instance restarts when its command, its
# parameters or the checksum of a file it watches differ.
instance() {
    procd_says | grep -v '^trigger' | while read -r key rest; do
        if [ "$key" = file ]; then
            for f in $rest; do echo "file $f $(md5sum <"$conf/${f##*/}")"; done
        else
            echo "$key $rest"
        fi
    done
}
before=$(instance)
# What the agent writes itself: broker record, counter, credentials.
uci set ovimar.mqtt.BrokerAddress=broker2.example.net && uci set ovimar.mqtt.BrokerPort=8884 &&
    uci set ovimar.mqtt.KeepAliveTime=30 && uci set ovimar.mqtt.Username=u2 &&
    uci set ovimar.mqtt.Password=p2 && uci set ovimar.mqtt_connect.connected_times=7 &&
    uci set ovimar.status=status && uci set ovimar.status.devId=D1 &&
    uci set ovimar.status.secret=S1 && uci commit ovimar
expect "the agent's own writes to ovimar restart nothing at a reload" "$(instance)" "$before"
uci set ovimar.https.port=8443 && uci commit ovimar
[ "$(instance)" != "$before" ] && pass "an operator's change to ovimar restarts it" ||
    fail "an operator's change to ovimar leaves it running"
before=$(instance)
uci set zorvex_group.shp.code=REG-2 && uci commit zorvex_group
[ "$(instance)" != "$before" ] && pass "an operator's change to zorvex_group restarts it" ||
    fail "an operator's change to zorvex_group leaves it running"
uci set ovimar.agent=agent && uci set ovimar.agent.log_level=6 && uci commit ovimar
expect "log_level 6 from UCI" "$(procd_says | grep '^command')" \
    "command /usr/sbin/ovimar-agent -m 0 -l 6"
uci set ovimar.agent.log_level=9 && uci commit ovimar
expect "an invalid log_level falls back to 3, not a refused start" \
    "$(procd_says | grep '^command')" "command /usr/sbin/ovimar-agent -m 0 -l 3"

# The command line procd runs ends cleanly on SIGTERM, as procd stops it.
# Waits until the agent's loop runs: only the loop answers its status call
# (a SIGTERM before the loop starts is lost: uloop clears its flag).
"$ubusd" >"$tmp/ubusd.log" 2>&1 &
pids="$pids $!"
n=0
until "$ubusbin" -t 1 list >/dev/null 2>&1 || [ $n -ge 100 ]; do sleep 0.05; n=$((n + 1)); done
HOST_NVTOOL_FILE=$tmp/nvtool PATH=$routerpath:$PATH "$agent" -m 0 -l 3 &
apid=$!
pids="$pids $apid"
n=0
until "$ubusbin" -t 1 call ovimar status >/dev/null 2>&1 || ! kill -0 "$apid" 2>/dev/null ||
        [ $n -ge 300 ]; do
    sleep 0.1
    n=$((n + 1))
done
if kill -0 "$apid" 2>/dev/null && "$ubusbin" -t 1 call ovimar status >/dev/null 2>&1; then
    pass "the agent runs with the init script's command line"
    kill -TERM "$apid"
    n=0
    while kill -0 "$apid" 2>/dev/null && [ $n -lt 350 ]; do sleep 0.1; n=$((n + 1)); done
    if kill -0 "$apid" 2>/dev/null; then
        fail "the agent still runs $term s after SIGTERM"
    else
        wait "$apid"
        expect "SIGTERM ends it with status 0" "$?" 0
    fi
else
    fail "the agent exited or its loop never answered"
fi

# --- the credential store -------------------------------------------------
uci set ovimar.status.devId=DEV0001 && uci set ovimar.status.secret=s3cr3t
expect "pending changes holding the secret are owner-only" "$(mode_of "$save/ovimar")" 600
uci commit ovimar
expect "committed credentials keep /etc/config/ovimar at 0600" "$(mode_of "$conf/ovimar")" 600
expect "the secret is stored" "$(uci get ovimar.status.secret)" s3cr3t
uci set ovimar.mqtt_connect.connected_times=1 && uci commit ovimar
uci delete ovimar.status.secret && uci commit ovimar
expect "... and across later commits" "$(mode_of "$conf/ovimar")" 600
expect "no temporary file is left beside it" "$(ls -A "$conf" | tr '\n' ' ')" "ovimar zorvex_group "
# The router's uci gives the save dir the config folder's mode; what
# matters is that nothing in it is readable by others.
expect "nothing in the save dir is readable by others" \
    "$(find "$save" -type f -perm /044 | tr '\n' ' ')" ""

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
