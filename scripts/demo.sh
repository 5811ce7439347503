#!/bin/sh
# Builds the deliverables and shows each one at work against the host
# stand-ins of the router (bus, UCI, board data) and of its peers (carrier
# service, Wi-Fi driver, switch driver under qemu).
set -eu
cd "$(dirname "$0")/.."
top=$PWD
./scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"

B=$top/build
work=$(mktemp -d /tmp/ovimar-demo.XXXXXX)
pids=
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

section() { printf '\n==== %s\n' "$*"; }
wait_for() { i=0; until grep -q "$2" "$1" 2>/dev/null; do i=$((i + 1)); [ $i -lt 100 ] || return 1; sleep 0.05; done; }

# A private router: the stand-in commands first on PATH, its own files.
export PATH="$B/platform/bin:$PATH"
export HOST_UCI_CONFDIR=$work/config HOST_UCI_SAVEDIR=$work/uci-save
export HOST_NVTOOL_FILE=$work/nvtool HOST_UBUS_SOCKET=$work/ubus.sock
mkdir -p "$HOST_UCI_CONFDIR" "$HOST_UCI_SAVEDIR"
cp agent/files/ovimar agent/files/zorvex_group scripts/demo/wireless "$HOST_UCI_CONFDIR/"
nvtool set ZVEI DEMO-0123456789

section "ovimar-agent: local bus, carrier service, platform login and broker over HTTPS"
ubusd -s "$HOST_UBUS_SOCKET" >"$work/ubusd.log" 2>&1 & pids="$pids $!"
until [ -S "$HOST_UBUS_SOCKET" ]; do sleep 0.05; done
"$B/peers/zorvex/zorvex_sim" scripts/demo/zorvex.json >"$work/zorvex.log" 2>&1 & pids="$pids $!"
wait_for "$work/zorvex.log" ready
ubus list
# The simulated platform on loopback, with a certificate made here.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$work/key.pem" -out "$work/cert.pem" -days 1 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 2>/dev/null
"$B/peers/platform/platform_sim" --cert "$work/cert.pem" --key "$work/key.pem" \
    --broker 127.0.0.1:8883 >"$work/platform.log" 2>&1 & pids="$pids $!"
wait_for "$work/platform.log" 'https ready port'
port=$(sed -n 's/^https ready port //p' "$work/platform.log")
echo "\$ uci set ovimar.server.domain=127.0.0.1; uci set ovimar.https.port=$port"
uci set ovimar.server.domain=127.0.0.1
uci set ovimar.https.port="$port"
uci commit ovimar
"$B/agent/ovimar-agent" -l 7 >"$work/agent.log" 2>&1 & agent=$!
i=0; until grep -q 'state machines:2' "$work/agent.log"; do
    i=$((i + 1)); [ $i -lt 300 ] || break; sleep 0.1
done
echo '$ ubus call zorvex_sim emit '"'"'{"event":"APP_AUTH","data":{"method":"bind"}}'"'"
ubus call zorvex_sim emit '{"event":"APP_AUTH","data":{"method":"bind"}}' >/dev/null
sleep 1.2
kill -TERM $agent
status=0; wait $agent || status=$?
echo "-- the agent's log (state changes, requests and answers):"
grep -E 'change state|https_path|https response|succeed|failed|APP_AUTH|app message' \
    "$work/agent.log" || true
echo "ovimar-agent exited with status $status on SIGTERM"
echo "-- what the platform received:"
grep '^request ' "$work/platform.log"
echo "\$ uci show ovimar.mqtt"
uci show ovimar.mqtt

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
