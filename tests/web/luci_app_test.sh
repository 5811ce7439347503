#!/bin/sh
# luci_app_test.sh ENV: package/luci-app-ovimar as an OpenWrt 21.02.5
# build reads it with LuCI's luci.mk (luci_app.sh): a LuCI application
# that needs luci-base and the agent, and installs its view, its menu
# entry and an ACL that lets a login read `ovimar` `status` and no more.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

meta=$("$here/luci_app.sh" "$1" dump)
for want in "Package: luci-app-ovimar" "Section: luci" "Category: LuCI" \
    "Submenu: 3. Applications" "Title: Carrier cloud status of ovimar-agent"; do
    echo "$meta" | grep -qxF "$want" || fail "the build reads no '$want' in: $meta"
done
echo "$meta" | grep '^Depends:' | grep -q ' +luci-base +ovimar-agent$' ||
    fail "depends: $(echo "$meta" | grep '^Depends:')"

dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
"$here/luci_app.sh" "$1" install "$dest"
got=$(cd "$dest" && find . -type f | sort)
want="./usr/share/luci/menu.d/luci-app-ovimar.json
./usr/share/rpcd/acl.d/luci-app-ovimar.json
./www/luci-static/resources/view/ovimar/status.js"
[ "$got" = "$want" ] || fail "installed: $got"

/usr/bin/python3 - "$dest" <<'PY' || fail "menu entry or ACL"
import json, sys
d = sys.argv[1]
acl = json.load(open(d + '/usr/share/rpcd/acl.d/luci-app-ovimar.json'))
assert list(acl) == ['luci-app-ovimar'], acl
grant = acl['luci-app-ovimar']
assert 'write' not in grant, grant
assert grant['read'] == {'ubus': {'ovimar': ['status']}}, grant
menu = json.load(open(d + '/usr/share/luci/menu.d/luci-app-ovimar.json'))
node = menu['admin/status/ovimar']
assert node['action'] == {'type': 'view', 'path': 'ovimar/status'}, node
assert node['depends']['acl'] == ['luci-app-ovimar'], node
PY
echo "luci-app-ovimar: metadata, install and ACL as the build reads them"
