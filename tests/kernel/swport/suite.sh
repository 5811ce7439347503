# libswport, statically linked, against the stand-in switch driver.
SUITE_INTREE=""
SUITE_MODULES="peers/mt753x kmod/wanport"
SUITE_APPEND=""
suite_build() {
    guest_cc swport_check tests/kernel/swport/swport_check.cpp \
        switch/nl.cpp switch/family.cpp switch/ops.cpp switch/wanfile.cpp \
        switch/swport.cpp -Iswitch/include -Iswitch
}
