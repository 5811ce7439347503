# Bridge forwarding rate with and without meshfwd_filter (figures only).
SUITE_INTREE="net/llc/llc net/802/stp net/bridge/bridge drivers/net/veth"
SUITE_MODULES="kmod/meshfwd"
SUITE_APPEND=""
suite_build() {
    guest_cc meshfwd_bench tests/kernel/meshbench/meshfwd_bench.c -Itests/kernel/meshfwd
}
