# meshfwd_filter on a bridge of veth ports, with SLUB debugging.
SUITE_INTREE="net/llc/llc net/802/stp net/bridge/bridge drivers/net/veth"
SUITE_MODULES="kmod/meshfwd tests/kernel/meshfwd/tail tests/kernel/meshfwd/order"
SUITE_APPEND="slub_debug=FZPU"
suite_build() {
    guest_cc meshfwd_check tests/kernel/meshfwd/meshfwd_check.c
}
