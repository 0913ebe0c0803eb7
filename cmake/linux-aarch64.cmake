# Cross build for 64-bit ARM Linux with Debian's cross toolchain
# (crossbuild-essential-arm64) against the :arm64 development packages
# (multiarch, under /usr/lib/aarch64-linux-gnu); tests run under qemu-user.
#   cmake -S . -B build-linux-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-aarch64.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The arm64 libraries and .pc files of multiarch; headers are shared.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# ctest runs the test binaries, and gtest lists their tests, through qemu.
find_program(BRIVANT_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${BRIVANT_QEMU_AARCH64})
