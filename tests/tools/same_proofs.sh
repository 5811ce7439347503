#!/bin/sh
# The credential tools built against another OpenSSL print what the tested
# ones print, byte for byte, and really load that other libcrypto.
#   same_proofs.sh OTHER_TOOLS_DIR TESTED_TOOLS_DIR LIBCRYPTO_SONAME
set -u
other=$1 tested=$2 soname=$3
failed=0
for t in zorvex_encrypt pbkdf2_tool; do
    ldd "$other/$t" | grep -q "$soname => /" ||
        { echo "FAIL $t does not load $soname"; failed=1; }
done
same() {
    t=$1
    shift
    a=$("$other/$t" "$@" 2>&1; echo "exit $?")
    b=$("$tested/$t" "$@" 2>&1; echo "exit $?")
    if [ "$a" = "$b" ]; then echo "PASS $t $*"; else echo "FAIL $t $*: '$a' vs '$b'"; failed=1; fi
}
same zorvex_encrypt 0a1b2c3d4e5f first server final pencil
same zorvex_encrypt "" n1 n2 n3 ""
same zorvex_encrypt ABCDEF0123 a b c "a longer password with spaces"
same pbkdf2_tool 0a1b2c3d4e5f secret
same pbkdf2_tool abc pencil
exit $failed
