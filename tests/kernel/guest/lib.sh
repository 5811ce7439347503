# Helpers for a suite's run.sh inside the guest. A check prints one line:
# "PASS what" or "FAIL what: why"; the rig counts them.

pass() { echo "PASS $*"; }
fail() { echo "FAIL $*"; }

# load_intree NAME...: in-tree modules from /lib/modules/kernel, in order.
load_intree() {
    for m in "$@"; do
        insmod "/lib/modules/kernel/$m.ko" || fail "insmod $m"
    done
}

# load_project NAME [ARGS]: a module built by the rig.
load_project() {
    m=$1; shift
    insmod "/lib/modules/project/$m.ko" "$@" || fail "insmod $m"
}

# run_prog PROG [ARGS]: a guest program that prints its own PASS/FAIL lines;
# a non-zero exit without a FAIL line of its own (a crash) still fails.
run_prog() {
    "$@" >/tmp/prog.out 2>&1
    rc=$?
    cat /tmp/prog.out
    if [ $rc -ne 0 ] && ! grep -q '^FAIL ' /tmp/prog.out; then
        fail "$1 exited with status $rc"
    fi
}
