#!/bin/sh
# The kernel rig: builds the project's kernel modules, the stand-ins and the
# statically linked guest programs, packs one initramfs and boots Debian's
# kernel under qemu once per suite (in parallel), each VM running one suite.
#
#   rig.sh [--out DIR] [--arch x86_64|aarch64] [SUITE...]
#                                     (default: every suite in ./suites)
#
# Exit 0 when every suite passed, 1 otherwise, 77 when qemu, busybox-static
# or the kernel (scripts/install-deps.sh fetches it; --aarch64 for arm64)
# is missing. aarch64 cross-builds the modules and guest programs and boots
# Debian's arm64 kernel, headers and busybox as unpacked in the cache.
# RIG_KVER picks a kernel ABI, RIG_JOBS the VMs run at once (default nproc),
# RIG_TIMEOUT the seconds one VM may take (default 150).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$root/build/kernel-rig
arch=x86_64
kcache=${OVIMAR_KERNEL_CACHE:-/var/cache/ovimar-kernel}
t0=$(date +%s.%N)

while [ $# -gt 0 ]; do
    case $1 in
    --out) out=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    -*) echo "usage: $0 [--out DIR] [--arch x86_64|aarch64] [SUITE...]" >&2; exit 2 ;;
    *) break ;;
    esac
done
if [ $# -gt 0 ]; then
    suites=$*
else
    suites=$(sed 's/#.*//' "$here/suites" | tr -s ' \n' ' ')
fi

skip() { rm -f "$out/bench.txt"; echo "SKIP: $*"; exit 77; }
elapsed() { echo "$(date +%s.%N) $t0" | awk '{printf "%.1f", $1 - $2}'; }

# Per architecture: qemu, its machine, the serial console, where the
# headers and busybox are, and the compiler prefix.
case $arch in
x86_64)
    qemu="qemu-system-x86_64 -accel tcg -cpu max"
    console=ttyS0 kflavour=amd64 cross=
    kdir_of() { echo "/lib/modules/$1/build"; }
    busybox_of() { echo /bin/busybox; }
    ;;
aarch64)
    qemu="qemu-system-aarch64 -accel tcg -M virt -cpu cortex-a57"
    console=ttyAMA0 kflavour=arm64 cross=aarch64-linux-gnu-
    kdir_of() { echo "$kcache/$1/lib/modules/$1/build"; }
    busybox_of() { echo "$kcache/$1/bin/busybox"; }
    ;;
*) echo "rig: unknown architecture $arch" >&2; exit 2 ;;
esac
command -v "${qemu%% *}" >/dev/null || skip "${qemu%% *} not installed"
command -v cpio >/dev/null || skip "cpio not installed"
[ -z "$cross" ] || command -v "${cross}gcc" >/dev/null || skip "${cross}gcc not installed"

# The newest cached image whose headers are installed.
kver=${RIG_KVER:-}
if [ -z "$kver" ]; then
    for v in $(ls "$kcache" 2>/dev/null | grep -- "-$kflavour\$" | sort -V); do
        [ -f "$kcache/$v/boot/vmlinuz-$v" ] && [ -d "$(kdir_of "$v")" ] && kver=$v
    done
fi
[ -n "$kver" ] || skip "no $kflavour kernel image in $kcache with headers (run scripts/install-deps.sh${cross:+ --aarch64})"
kimg=$kcache/$kver
kdir=$(kdir_of "$kver")
busybox=$(busybox_of "$kver")
[ -x "$busybox" ] && ! readelf -l "$busybox" 2>/dev/null | grep -q interpreter ||
    skip "busybox-static for $arch not found ($busybox)"
kmake="make -s -C $kdir${cross:+ ARCH=arm64 CROSS_COMPILE=$cross}"

rm -rf "$out"
mkdir -p "$out/mod" "$out/root/bin" "$out/root/dev" "$out/root/proc" \
    "$out/root/sys" "$out/root/tmp" "$out/root/lib/modules/kernel" \
    "$out/root/lib/modules/project" "$out/root/suites" "$out/root/rig"

# What the suites declare (suite.sh): in-tree modules, project modules in
# dependency order, kernel arguments and their guest programs.
suite_var() { (SUITE_INTREE= SUITE_MODULES= SUITE_APPEND=; . "$here/$1/suite.sh"; eval echo "\$$2"); }
for s in $suites; do
    [ -f "$here/$s/suite.sh" ] || { echo "rig: no suite $s" >&2; exit 2; }
done

# Project modules: each folder built once by Kbuild in a copy, with the
# symbols of every module built before it. Every kmod/ folder is built even
# when no suite loads it, so it still has to compile; with none of the
# chosen suites naming it, its providers may be missing, so modpost only
# warns about unresolved symbols and the module stays out of the initramfs.
symvers=
built=
all_mods=
for s in $suites; do all_mods="$all_mods $(suite_var "$s" SUITE_MODULES)"; done
wanted=$all_mods
for k in "$root"/kmod/*/Kbuild; do
    if [ -f "$k" ]; then all_mods="$all_mods kmod/$(basename "$(dirname "$k")")"; fi
done
for m in $all_mods; do
    case " $built " in *" $m "*) continue ;; esac
    built="$built $m"
    b=$out/mod/$(echo "$m" | tr / _)
    extra=1
    case " $wanted " in *" $m "*) extra= ;; esac
    cp -r "$root/$m" "$b"
    if ! $kmake M="$b" KCFLAGS=-Werror ${extra:+KBUILD_MODPOST_WARN=1} \
            KBUILD_EXTRA_SYMBOLS="$symvers" modules >"$b.log" 2>&1; then
        cat "$b.log"; echo "rig: building $m failed"; exit 1
    fi
    [ -n "$extra" ] && continue
    symvers="$symvers $b/Module.symvers"
    cp "$b"/*.ko "$out/root/lib/modules/project/"
done

# In-tree modules from Debian's image, named by their path under kernel/.
for s in $suites; do
    for k in $(suite_var "$s" SUITE_INTREE); do
        cp "$kimg/lib/modules/$kver/kernel/$k.ko" "$out/root/lib/modules/kernel/"
    done
done

# Guest programs: guest_cc NAME SOURCE... [FLAGS], paths from the repository.
guest_cc() {
    name=$1; shift
    case $1 in *.c) cc=${cross}gcc ;; *) cc="${cross}g++ -std=c++17" ;; esac
    (cd "$root" && $cc -static -O2 -Wall -Wextra -Werror -pthread \
        -I"$here/guest" -o "$out/root/bin/$name" "$@")
}
for s in $suites; do
    (. "$here/$s/suite.sh"; suite_build)
    mkdir -p "$out/root/suites/$s"
    cp "$here/$s"/*.sh "$out/root/suites/$s/"
done
cp "$here/guest/init" "$out/root/init"
cp "$here/guest/lib.sh" "$out/root/rig/"
cp $busybox "$out/root/bin/busybox"
chmod 755 "$out/root/init"
(cd "$out/root" && find . | cpio -o -H newc --quiet | gzip -1 >"$out/initrd.gz")
echo "rig: built for $kver ($arch) in $(elapsed) s"

# One VM per suite, RIG_JOBS at a time.
pids=
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; }
trap 'cleanup; exit 1' INT TERM
boot() {
    s=$1
    timeout "${RIG_TIMEOUT:-150}" $qemu -smp 1 -m 256M \
        -nodefaults -no-user-config -display none -serial stdio -no-reboot \
        -kernel "$kimg/boot/vmlinuz-$kver" -initrd "$out/initrd.gz" \
        -append "console=$console panic=-1 oops=panic panic_on_warn=1 loglevel=4 rig.suite=$s $(suite_var "$s" SUITE_APPEND)" \
        </dev/null >"$out/$s.log" 2>&1 || true
    echo "$(elapsed)" >"$out/$s.time"
}
jobs=${RIG_JOBS:-$(nproc)}
running=0
for s in $suites; do
    if [ "$running" -ge "$jobs" ]; then
        set -- $pids
        wait "$1"; shift; pids=$*
        running=$((running - 1))
    fi
    boot "$s" &
    pids="$pids $!"
    running=$((running + 1))
done
for p in $pids; do wait "$p"; done
pids=

# Each guest closes with "rig-summary: N passed, N failed".
total_p=0 total_f=0 bad=0
for s in $suites; do
    grep -a '^FAIL ' "$out/$s.log" | sed "s/^/$s: /" || true
    line=$(grep -ao 'rig-summary: [0-9]\+ passed, [0-9]\+ failed' "$out/$s.log" | tail -n 1)
    if [ -z "$line" ]; then
        echo "$s: no summary (panic or timeout); the log's end:"
        tail -n 40 "$out/$s.log"
        bad=1
        total_f=$((total_f + 1))
        continue
    fi
    p=$(echo "$line" | sed 's/.*: \([0-9]*\) passed.*/\1/')
    f=$(echo "$line" | sed 's/.* \([0-9]*\) failed/\1/')
    [ "$p" -gt 0 ] && [ "$f" -eq 0 ] || bad=1
    total_p=$((total_p + p)); total_f=$((total_f + f))
    echo "$s: $p passed, $f failed (done at $(cat "$out/$s.time") s, log $out/$s.log)"
done
# Benchmarks print "BENCH ..." lines of figures, gathered in bench.txt.
for s in $suites; do grep -a '^BENCH ' "$out/$s.log" | tr -d '\r' || true; done >"$out/bench.txt"
cat "$out/bench.txt"
echo "rig: $kver, $(elapsed) s in all"
echo "$total_p passed, $total_f failed"
exit $bad
