#!/bin/sh
# Cross-builds everything for AArch64 on the router's own libraries, built
# for arm64 too (scripts/router-prefix.sh --aarch64), and runs the tests
# under qemu-aarch64, the arm64 kernel rig among them (ctest's kernel_rig).
#   BUILD_DIR   build folder (build-aarch64)
#   CTEST_ARGS  extra ctest arguments, e.g. -LE kernel
# Tests that qemu-user cannot run skip themselves and say why: Generic
# Netlink sockets and the bridge ioctls are not emulated.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --aarch64
BUILD_DIR=${BUILD_DIR:-build-aarch64}
jobs=$(nproc)

# Tests start arm64 programs from arm64 programs and from the shell: the
# kernel must hand them to qemu. Debian's qemu-user-static ships the entry;
# without systemd nobody loads it.
binfmt=/proc/sys/fs/binfmt_misc
[ -f $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
[ -f $binfmt/qemu-aarch64 ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >$binfmt/register

cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_PREFIX_PATH="$(./scripts/router-prefix.sh --aarch64)"
cmake --build "$BUILD_DIR" -j"$jobs"
# shellcheck disable=SC2086
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$jobs" ${CTEST_ARGS:-}
