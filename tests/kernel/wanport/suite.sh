# wanport_helper on the stand-in switch driver.
SUITE_INTREE="net/llc/llc net/802/stp net/802/garp net/802/mrp net/8021q/8021q drivers/net/dummy"
SUITE_MODULES="peers/mt753x kmod/wanport tests/kernel/wanport/squat"
SUITE_APPEND=""
suite_build() {
    guest_cc wanport_check tests/kernel/wanport/wanport_check.c
}
