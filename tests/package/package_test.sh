#!/bin/sh
# The firmware package: package/ovimar/Makefile read by OpenWrt 21.02.5's own
# include/ and rules.mk in metadata mode, as the build reads it (DUMP=1,
# an empty .config, no toolchain); its install sections run with rules.mk's
# INSTALL_* on what `cmake --install` puts into a DESTDIR; the credential
# store's mode across commits through the router's uci; the installed
# agent started and stopped by its init script under the real procd.
# Run in a private router (private_router): /etc/config, /tmp/.uci and the
# bus are its own.
#
#   package_test.sh SOURCE_DIR BUILD_DIR BOOT_ENV [CXX_RUNTIME]
#   BOOT_ENV: the build's router_boot.env (tests/support/router_boot.sh)
#   CXX_RUNTIME: linked-in (as shipped) or shared (a sanitizer build's)
set -u
src=$1 build=$2 boot_env=$3 runtime=${4:-linked-in}
. "$boot_env"
tmp=$(mktemp -d)
boot_pids=
cleanup() {
    [ -z "$boot_pids" ] || sh "$src/tests/support/router_boot.sh" "$boot_env" stop $boot_pids
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

# --- the package definition, as the build reads it ------------------------
dest=$tmp/dest out=$tmp/out top=$tmp/top
DESTDIR=$dest cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log"; fail "cmake --install into a DESTDIR"; }
# A build tree of OpenWrt's own files, used where they are unpacked.
mkdir -p "$top/package"
for f in include rules.mk scripts; do ln -s "$BOOT_OPENWRT/$f" "$top/$f"; done
ln -s "$src/package/ovimar" "$top/package/ovimar"
: >"$top/.config"
mk() {
    make -s --no-print-directory -C "$top/package/ovimar" TOPDIR="$top" DUMP=1 \
        PKG_BUILD_DIR="$src" PKG_INSTALL_DIR="$dest" "$@"
}
mk >"$tmp/dump" 2>"$tmp/dump.err" || { cat "$tmp/dump.err"; fail "make DUMP=1"; }
expect "make DUMP=1 says nothing on stderr" "$(cat "$tmp/dump.err")" ""
# One line a package: NAME|Section|Category|Title|Depends
awk -F': ' '
    /^Package: / { n = $2 }
    /^Section: / { s = $2 } /^Category: / { c = $2 } /^Title: / { t = $2 }
    /^Depends: / { d = $2 }
    /^@@$/ { print n "|" s "|" c "|" t "|" d; n = s = c = t = d = "" }
' "$tmp/dump" >"$tmp/fields"
cat "$tmp/fields"
field() { grep "^$1|" "$tmp/fields" | cut -d'|' -f"$2"; }
expect "the build sees every package" "$(cut -d'|' -f1 "$tmp/fields" | tr '\n' ' ')" \
    "ovimar-agent qx-wifi-ctl wsc-profile-tool libswport ovimar-credproof kmod-wanport-helper kmod-meshfwd-filter "
while IFS='|' read -r name sec cat title want_sec want_cat; do
    expect "$name: Section" "$(field "$name" 2)" "$want_sec"
    expect "$name: Category" "$(field "$name" 3)" "$want_cat"
    expect "$name: Title" "$(field "$name" 4)" "$title"
done <<EOW
ovimar-agent|||Carrier cloud platform agent|net|Network
qx-wifi-ctl|||Mesh Wi-Fi driver OID tool|net|Network
wsc-profile-tool|||Backhaul WSC profile tool|net|Network
libswport|||MT753x switch port library|libs|Libraries
ovimar-credproof|||zorvex_encrypt and pbkdf2_tool login proof tools|net|Network
kmod-wanport-helper|||WAN and LAN carrier from the MT753x switch ports' link|kernel|Kernel modules
kmod-meshfwd-filter|||IEEE 1905.1 relay filter and receiving-port stamp for the bridge|kernel|Kernel modules
EOW
# Every library a shipped program loads comes from a package it depends on
# (libc, libm, libgcc_s and the loader are the image's own).
lib_pkg() {
    case $1 in
        libubox.so*) echo +libubox ;; libubus.so*) echo +libubus ;;
        libblobmsg_json.so*) echo +libblobmsg-json ;; libuci.so*) echo +libuci ;;
        libjson-c.so*) echo +libjson-c ;; libcurl.so*) echo +libcurl ;;
        libmosquitto.so*) echo +libmosquitto-ssl ;;
        libssl.so* | libcrypto.so*) echo +libopenssl ;;
        libswport.so*) echo +libswport ;;
        libc.so* | libm.so* | libgcc_s.so* | ld-linux*) ;;
        # A sanitizer build's runtimes; the shipped build links libstdc++ in.
        libstdc++.so* | libasan.so* | libubsan.so*) [ "$runtime" = shared ] || echo "unknown:$1" ;;
        *) echo "unknown:$1" ;;
    esac
}
for pb in ovimar-agent:usr/sbin/ovimar-agent qx-wifi-ctl:usr/bin/qx_wifi_ctl \
        wsc-profile-tool:usr/bin/wsc_profile_tool ovimar-credproof:usr/bin/zorvex_encrypt \
        ovimar-credproof:usr/bin/pbkdf2_tool libswport:usr/lib/libswport.so.1; do
    pkg=${pb%%:*} bin=$dest/${pb#*:}
    deps=" $(field "$pkg" 5) "
    for so in $(readelf -d "$bin" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        need=$(lib_pkg "$so")
        echo "$pkg $need" >>"$tmp/loads"
        [ -z "$need" ] || case $deps in
            *" $need "*) pass "$pkg depends on $need for $so" ;;
            *) fail "$pkg loads $so but does not depend on ${need#unknown:}" ;;
        esac
    done
done
# ... and on no library package none of its programs loads: each costs the
# router's flash.
for pkg in ovimar-agent qx-wifi-ctl wsc-profile-tool ovimar-credproof libswport; do
    for dep in $(field "$pkg" 5); do
        case $dep in +libc) continue ;; +lib[a-z]*) ;; *) continue ;; esac
        grep -qx "$pkg $dep" "$tmp/loads" && continue
        fail "$pkg depends on $dep, which none of its programs loads"
    done
done
expect "the agent carries its C++ runtime: no libstdcpp" \
    "$(field ovimar-agent 5 | grep -c libstdcpp)" 0
case " $(field ovimar-agent 5) " in
    *" +uci "*) pass "ovimar-agent depends on +uci (its commands run uci)" ;;
    *) fail "ovimar-agent lacks +uci" ;;
esac
expect "kmod-meshfwd-filter depends on the bridge's netfilter (+kmod-ebtables)" \
    "$(field kmod-meshfwd-filter 5)" "+kmod-ebtables"

# What the build reads from each package's own sections, through the real
# include files: conffiles, a kmod's FILES and AUTOLOAD.
mk --eval 'ovimar-sections: ; @: $(foreach p,ovimar-agent qx-wifi-ctl wsc-profile-tool libswport ovimar-credproof,$(info conffiles $(p):$(strip $(Package/$(p)/conffiles)))) $(foreach k,wanport-helper meshfwd-filter,$(eval $(call KernelPackage/$(k)))$(info kmod $(k)|$(FILES)|$(strip $(AUTOLOAD))))' \
    ovimar-sections 2>&1 | grep -E '^(conffiles|kmod) ' >"$tmp/sections"
cat "$tmp/sections"
expect "ovimar-agent's conffiles" "$(sed -n 's/^conffiles ovimar-agent://p' "$tmp/sections")" \
    "/etc/config/ovimar /etc/config/zorvex_group"
expect "no other package has conffiles" \
    "$(grep '^conffiles ' "$tmp/sections" | grep -v '^conffiles ovimar-agent:' | grep -cv ':$')" 0
# A kmod's FILES are the modules that its Kbuild makes.
for m in wanport:wanport-helper meshfwd:meshfwd-filter; do
    dir=${m%%:*} pkg=${m#*:}
    ko=$(sed -n 's/^obj-m := \(.*\)\.o$/\1/p' "$src/kmod/$dir/Kbuild")
    line=$(grep "^kmod $pkg|" "$tmp/sections")
    expect "kmod-$pkg ships kmod/$dir/$ko.ko" "$(echo "$line" | cut -d'|' -f2 | sed 's|.*/kmod/|kmod/|')" \
        "kmod/$dir/$ko.ko"
    expect "kmod-$pkg loads $ko at boot's probe" "$(echo "$line" | cut -d'|' -f3)" "0 0 $ko"
done

# The install sections with rules.mk's INSTALL_*, CP; Build/InstallDev too.
# (A kmod's install needs the kernel build: not here.)
for p in ovimar-agent qx-wifi-ctl wsc-profile-tool libswport ovimar-credproof; do
    mk --eval "ovimar-install: ; \$(call Package/$p/install,$out/$p)" ovimar-install
done >"$tmp/mk.log" 2>&1 || { cat "$tmp/mk.log"; fail "the install sections run"; }
mk --eval "ovimar-dev: ; \$(call Build/InstallDev,$out/dev)" ovimar-dev >>"$tmp/mk.log" 2>&1 ||
    { cat "$tmp/mk.log"; fail "Build/InstallDev runs"; }
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

# --- the credential store -------------------------------------------------
conf=/etc/config save=/tmp/.uci
uci() { "$BOOT_UCI" -c "$conf" -t "$save" "$@"; }
cp -p "$out/ovimar-agent/etc/config/ovimar" "$out/ovimar-agent/etc/config/zorvex_group" "$conf/"
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

# --- the installed agent, as a router runs it ----------------------------
# Last: from here /bin/sh and the router's commands are its own.
init=$out/ovimar-agent/etc/init.d/ovimar-agent
expect "the installed init script is the tree's" "$(cmp -s "$init" \
    "$src/package/ovimar/files/ovimar-agent.init" && echo same)" same
mkdir -p "$tmp/boot"
# The build's agent: the installed copy lost the build's RPATH to the
# router's libraries, which a router keeps in /usr/lib.
boot_pids=$(BOOT_INIT=$init \
    sh "$src/tests/support/router_boot.sh" "$boot_env" start "$tmp/boot") ||
    { cat "$tmp/boot"/*.log; fail "procd, logd and ubusd start"; }
PATH=/tmp/.router-boot/bin:/usr/sbin:/usr/bin:/sbin:/bin
unset -f uci
cp -p "$out/ovimar-agent/etc/config/ovimar" "$out/ovimar-agent/etc/config/zorvex_group" /etc/config/
uci set ovimar.server.domain=127.0.0.1 && uci set ovimar.https.port=1 && uci commit ovimar
nvtool set ZVEI ZV-0042
/etc/init.d/ovimar-agent start
n=0
until ubus -t 1 call ovimar status >/dev/null 2>&1 || [ $n -ge 300 ]; do sleep 0.1; n=$((n + 1)); done
pid=$(ubus call service list '{"name":"ovimar-agent"}' |
    jsonfilter -e '@["ovimar-agent"].instances.instance1.pid')
if [ -n "$pid" ] && ubus -t 1 call ovimar status >/dev/null 2>&1; then
    pass "/etc/init.d/ovimar-agent start: procd runs it (PID $pid) and it serves its status"
    # (An arm64 agent's starts with qemu's binfmt interpreter and its path.)
    expect "as the init script says" \
        "$(tr '\0' ' ' </proc/"$pid"/cmdline | sed 's|.*\(/usr/sbin/ovimar-agent -m\)|\1|')" \
        "/usr/sbin/ovimar-agent -m 0 -l 3 "
    /etc/init.d/ovimar-agent stop
    n=0
    while kill -0 "$pid" 2>/dev/null && [ $n -lt 350 ]; do sleep 0.1; n=$((n + 1)); done
    if kill -0 "$pid" 2>/dev/null; then
        fail "the agent still runs 35 s after stop"
    else
        pass "stop ends it before term_timeout"
        n=0
        until grep -q 'ovimar-agent::instance1 exit with error code' "$tmp/boot/procd.log" ||
                [ $n -ge 50 ]; do sleep 0.1; n=$((n + 1)); done
        expect "... with exit status 0 (SIGTERM, not SIGKILL)" \
            "$(sed -n 's/.*ovimar-agent::instance1 exit with error code \([0-9]*\).*/\1/p' \
                "$tmp/boot/procd.log")" 0
    fi
else
    fail "the agent never ran under procd or its loop never answered"
    cat "$tmp/boot/procd.log"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
