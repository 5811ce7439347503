# Sourced by scripts/demo.sh once the agent is bound: the router's web stack
# beside it, on its bus. LuCI hard-codes /www, so uhttpd and rpcd run in a
# root of their own (tests/web/webroot.sh) that shares the demo's
# /var/run/ubus; the demo's procd starts programs in its own root, so they
# are started here as their init scripts start them (the browser test runs
# them under procd). Root logs in with no password, as on a fresh router.
# Leaves a screenshot of Status > Carrier cloud and the stack running until
# the demo ends.
section "luci-app-ovimar: the operator's page, on uhttpd, rpcd and LuCI 21.02.5"
web_dir=$(mktemp -d /tmp/ovimar-demo-web.XXXXXX)
web_pids=
web_stop() {
    for p in $web_pids; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    # Removed only once nothing is mounted below it.
    umount -R "$web_dir/web" 2>/dev/null && rm -rf "$web_dir"
}
trap 'web_stop; cleanup' EXIT
# Gives up after 15 s, naming what it waited for.
web_until() {
    what=$1
    shift
    i=0
    until "$@" >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -lt 300 ] || { echo "timed out waiting for $what" >&2; exit 1; }
        sleep 0.05
    done
}
web_root=$(tests/web/webroot.sh "$web_dir/web")
# The demo's bus, at the root's own /var/run (a link to the absolute /run).
mount --bind /var/run/ubus "$web_root$(chroot "$web_root" readlink -f /var/run)/ubus"
tests/web/luci_app.sh "$B/router_boot.env" install "$web_root"
sed -i 's/^root:[^:]*:/root::/' "$web_root/etc/shadow"
chroot "$web_root" /sbin/rpcd -s /var/run/ubus/ubus.sock -t 30 >"$work/rpcd.log" 2>&1 &
web_pids="$web_pids $!"
web_until "rpcd on the bus" ubus list session
# Up, or ended (its port was taken).
web_up() { curl -s -o /dev/null "http://127.0.0.1:$web_port/" || ! kill -0 $uhttpd; }
for try in 1 2 3 4 5; do
    web_port=$((20000 + ($$ * 11 + try * 1013) % 40000))
    chroot "$web_root" /usr/sbin/uhttpd -f -h /www -r OpenWrt -x /cgi-bin -u /ubus \
        -U /var/run/ubus/ubus.sock -t 60 -T 30 -k 20 -A 1 -n 3 -l /cgi-bin/luci \
        -L /usr/lib/lua/luci/sgi/uhttpd.lua -p "127.0.0.1:$web_port" >"$work/uhttpd.log" 2>&1 &
    uhttpd=$!
    web_until uhttpd web_up
    kill -0 $uhttpd 2>/dev/null && break
done
web_pids="$uhttpd $web_pids"
web_shot=$B/demo-carrier-cloud.png
/usr/bin/python3 scripts/demo/web_shot.py "http://127.0.0.1:$web_port" "$web_shot"
echo "the page in OVIMAR_FINISHED, as Chromium showed it: $web_shot"
echo "while the demo runs: http://127.0.0.1:$web_port/cgi-bin/luci/admin/status/ovimar (root, no password)"
if [ -t 0 ]; then
    printf 'press Enter to go on '
    read -r _
fi
