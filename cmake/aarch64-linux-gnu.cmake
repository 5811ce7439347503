# Cross build for AArch64 with Debian's crossbuild-essential-arm64 and the
# arm64 -dev packages installed through multiarch
# (scripts/install-deps.sh --aarch64). Tests run under qemu-aarch64.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Multiarch: libraries and their CMake and pkg-config files live under
# /usr/lib/aarch64-linux-gnu, headers in /usr/include (and its aarch64 part).
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
# Never an amd64 library for an arm64 link; programs found (uci, sh) are
# the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Static qemu: LD_PRELOAD meant for an arm64 program never reaches the
# emulator itself. libc6:arm64 and libstdc++6:arm64 come through multiarch, so
# qemu finds the loader and the libraries where an arm64 system has them.
find_program(OVIMAR_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${OVIMAR_QEMU_AARCH64})
