#!/bin/sh
# Builds the deliverables and shows each one at work on the router's own
# libraries, bus daemon and commands, in a private router (a mount namespace
# whose /etc/config, /tmp/.uci and /var/run/ubus are its own: the host's are
# never touched; needs root). The agent runs as a router runs it: started by
# /etc/init.d/ovimar-agent under procd, logging to logd, with OpenWrt's own
# rc.common and busybox sh (tests/support/router_boot.sh). Simulated peers: the carrier service,
# Debian's mosquitto as the broker, the simulated carrier platform, the
# Wi-Fi driver, and the switch driver under qemu.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
B=$top/build
if [ -z "${OVIMAR_DEMO_ROUTER:-}" ]; then
    ./scripts/install-deps.sh
    cmake -S . -B build -DCMAKE_PREFIX_PATH="$(./scripts/router-prefix.sh)"
    cmake --build build -j"$(nproc)"
    OVIMAR_DEMO_ROUTER=1 exec "$B/tests/support/private_router" "$0" "$@"
fi

work=$(mktemp -d /tmp/ovimar-demo.XXXXXX)
pids= boot_pids=
boot() { sh tests/support/router_boot.sh "$B/router_boot.env" "$@"; }
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    [ -z "$boot_pids" ] || boot stop $boot_pids
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

section() { printf '\n==== %s\n' "$*"; }
wait_for() {
    i=0
    until grep -q "$2" "$1" 2>/dev/null; do
        i=$((i + 1))
        [ $i -lt 300 ] || { echo "timed out waiting for '$2' in $1" >&2; return 1; }
        sleep 0.05
    done
}

# The router's commands (ubusd, ubus, uci) and the board's (nvtool) first on
# PATH; the UCI files go where the router keeps them, in this namespace.
PATH="$(cat "$B/router_path.txt"):$PATH"
export PATH HOST_NVTOOL_FILE=$work/nvtool
cp agent/files/ovimar agent/files/zorvex_group scripts/demo/wireless /etc/config/
nvtool set ZVEI DEMO-0123456789

section "ovimar-agent: a fresh device binds, relays each way and unbinds"
# The router's boot-time system: ubusd, logd, procd serving `service`.
boot_pids=$(boot start "$work")
"$B/peers/zorvex/zorvex_sim" scripts/demo/zorvex.json >"$work/zorvex.log" 2>&1 & pids="$pids $!"
wait_for "$work/zorvex.log" ready
echo "bus objects: $(ubus list | tr '\n' ' ')"

# Certificates for the run: a CA, and one certificate for the broker and
# the platform. The broker reads its files as user mosquitto.
tls=$work/tls
mkdir -p "$tls"
ossl() { openssl "$@" 2>/dev/null; }
ossl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$tls/ca.key" \
    -out "$tls/ca.pem" -days 1 -subj "/CN=ovimar demo CA"
ossl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$tls/server.key" \
    -out "$tls/server.csr" -subj /CN=127.0.0.1
echo subjectAltName=IP:127.0.0.1 >"$tls/ext.cnf"
ossl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" \
    -CAcreateserial -out "$tls/server.pem" -days 1 -extfile "$tls/ext.cnf"
mosquitto_passwd -b -c "$tls/passwd" demo-device demo-pass
chmod 755 "$work" "$tls"
# A port of its own: another one when the chosen port is taken.
for try in 1 2 3 4 5; do
    bport=$((20000 + ($$ * 7 + try * 1009) % 40000))
    {
        echo "allow_anonymous false"
        echo "password_file $tls/passwd"
        echo "persistence false"
        echo "listener $bport 127.0.0.1"
        echo "cafile $tls/ca.pem"
        echo "certfile $tls/server.pem"
        echo "keyfile $tls/server.key"
    } >"$tls/mosquitto.conf"
    chmod a+r "$tls"/*
    mosquitto -c "$tls/mosquitto.conf" >"$work/broker.log" 2>&1 &
    broker=$!
    until grep -q 'running' "$work/broker.log" || ! kill -0 $broker 2>/dev/null; do sleep 0.05; done
    kill -0 $broker 2>/dev/null && break
done
pids="$pids $broker"
echo "broker: Debian's mosquitto, TLS on 127.0.0.1:$bport, user and password required"

# The platform hands out that broker over HTTPS and meets the device there.
"$B/peers/platform/platform_sim" --cert "$tls/server.pem" --key "$tls/server.key" \
    --broker "127.0.0.1:$bport" --user demo-device --password demo-pass \
    --mqtt-ca "$tls/ca.pem" --commands "$work/platform.cmd" >"$work/platform.log" 2>&1 &
pids="$pids $!"
wait_for "$work/platform.log" 'https ready port'
port=$(sed -n 's/^https ready port //p' "$work/platform.log")
echo "platform: HTTPS on 127.0.0.1:$port, its MQTT side on the broker"
uci set ovimar.server.domain=127.0.0.1
uci set ovimar.https.port="$port"
uci set ovimar.mqtt.ca_file="$tls/ca.pem"
uci commit ovimar
echo "\$ uci set ovimar.server.domain=127.0.0.1 ovimar.https.port=$port ovimar.mqtt.ca_file=..."

step() { sleep 0.3; printf '\n-- %s\n' "$*"; }
changes() { grep -c 'change state machines to:' "$work/agent.log" || true; }
# Waits until the agent changes to state $1 after its first $2 changes.
reach() {
    i=0
    until grep 'change state machines to:' "$work/agent.log" | tail -n +$(($2 + 1)) |
        grep -q "to:$1 "; do
        i=$((i + 1))
        [ $i -lt 300 ] || { echo "timed out waiting for state $1"; exit 1; }
        sleep 0.1
    done
}
platform_send() { printf 'send %s\n' "$1" >"$work/platform.cmd"; }

step "a fresh device: log in, fetch the broker, connect, subscribe, sync, wait for an app"
uci set ovimar.agent=agent
uci set ovimar.agent.log_level=7
uci commit ovimar
# What logd receives from the agent, as it comes.
logread -f -e ovimar -F "$work/agent.log" & pids="$pids $!"
echo "\$ uci set ovimar.agent.log_level=7; uci commit ovimar; /etc/init.d/ovimar-agent start"
/etc/init.d/ovimar-agent start
agent_pid() {
    ubus call service list '{"name":"ovimar-agent"}' |
        jsonfilter -e '@["ovimar-agent"].instances.instance1.pid' 2>/dev/null
}
until agent=$(agent_pid) && [ -n "$agent" ] && [ -s "$work/agent.log" ]; do sleep 0.05; done
# What the agent and the platform log, told as steps as they happen
# (mawk, Debian's awk, reads a pipe line by line only when interactive);
# the telling ends with the agent.
tail -n +1 -s 0.1 --pid=$agent -F "$work/agent.log" "$work/platform.log" 2>/dev/null |
    mawk -W interactive -f scripts/demo/narrate.awk &
narrator=$!
reach 6 0
step "an app binds the device: the carrier service sends APP_AUTH"
mark=$(changes)
ubus call zorvex_sim emit '{"event":"APP_AUTH","data":{"method":"bind"}}' >/dev/null
reach 8 "$mark"
. scripts/demo/web.sh
step "the platform asks the router something: relayed to zorvex and back"
platform_send '{"method":"getStatus","id":"77","cwmpVersion":"1.0"}'
wait_for "$work/platform.log" 'seen {"id":"77"'
step "a local service tells the platform something: Notify on the bus"
ubus call zorvex_sim emit '{"event":"Notify","data":{"method":"wifiChanged","ssid":"home"}}' >/dev/null
wait_for "$work/platform.log" 'seen {"method":"wifiChanged"'
step "the user unbinds the device on the platform"
mark=$(changes)
platform_send '{"method":"unBind","cwmpVersion":"1.0","id":"43"}'
reach 6 "$mark"
sleep 0.3
printf '\n-- what an operator sees on the router\n'
echo "\$ ubus call service list '{\"name\":\"ovimar-agent\"}'"
ubus call service list '{"name":"ovimar-agent"}'
echo "\$ logread -e ovimar | tail -n 5"
logread -e ovimar | tail -n 5
echo "\$ ubus call ovimar status"
ubus call ovimar status
echo "\$ /etc/init.d/ovimar-agent stop"
/etc/init.d/ovimar-agent stop
wait $narrator
until grep -q 'ovimar-agent::instance1 exit with error code' "$work/procd.log"; do sleep 0.05; done
status=$(sed -n 's/.*ovimar-agent::instance1 exit with error code \([0-9]*\).*/\1/p' "$work/procd.log")
printf '\novimar-agent exited with status %s on SIGTERM from procd\n' "$status"
echo "\$ uci show ovimar.status ovimar.mqtt_connect"
uci show ovimar.status 2>&1 || true
uci show ovimar.mqtt_connect

section "qx_wifi_ctl and wsc_profile_tool, simulated Wi-Fi driver"
drv="$work/driver.log"
run_wifi() {
    echo "\$ $*"
    env LD_PRELOAD="$B/peers/wifi-driver/libwifi_driver_sim.so" \
        HOST_WIFI_DRIVER_IFACES=wl0:7,wl1:8 HOST_WIFI_DRIVER_LOG="$drv" \
        HOST_WIFI_DRIVER_GET=069d=2a "$@" || true
}
run_wifi "$B/wifi/ctl/qx_wifi_ctl" vendorie wl0 dd0500112233aa
run_wifi "$B/wifi/ctl/qx_wifi_ctl" vsie_proberesp wl1 001122334455 dd03aabbcc
run_wifi "$B/wifi/ctl/qx_wifi_ctl" vsie_proberx wl0 0
run_wifi "$B/wifi/ctl/qx_wifi_ctl" busy_time wl0
run_wifi "$B/wifi/wsc/wsc_profile_tool" -i wl1 -s Backhaul -a 32 -e 8 -k s3cret-key \
    -b 00:11:22:AA:BB:CC -r 128 -o wsc_pro
echo "-- what the driver received:"
cat "$drv"
echo "\$ qx_wifi_ctl uci2mesh $work/wts_bss_info_config"
"$B/wifi/ctl/qx_wifi_ctl" uci2mesh "$work/wts_bss_info_config"
tr '\032' '_' <"$work/wts_bss_info_config"   # spaces went out as 0x1A

section "credential proof tools"
salt=00112233445566778899aabbccddeeff0123456789abcdef0f1e2d3c4b5a6978
echo "\$ pbkdf2_tool $salt secret"
"$B/tools/pbkdf2_tool" "$salt" secret
echo "\$ zorvex_encrypt $salt cnonce snonce fnonce secret"
"$B/tools/zorvex_encrypt" "$salt" cnonce snonce fnonce secret

section "libswport, wanport_helper, meshfwd_filter in Debian's kernel under qemu"
if tests/kernel/rig.sh --out "$work/rig" >"$work/rig.txt" 2>&1; then
    grep -E '^(BENCH|[0-9]+ passed)' "$work/rig.txt" || true
else
    rc=$?
    if [ $rc -eq 77 ]; then echo "skipped: qemu or the kernel image is missing"; else tail -20 "$work/rig.txt"; exit $rc; fi
fi
