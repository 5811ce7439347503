#!/bin/sh
# exports.sh LIB: the dynamic symbols LIB defines are exactly libswport's eight.
set -eu
want="get_fdb get_port get_pvid get_vlan get_wan set_wan set_wan_lan sw_find_port"
got=$(nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$got" != "$want" ]; then
    echo "exported: $got"
    echo "expected: $want"
    exit 1
fi
echo "exported: $got"
