# Cross-build for the device's processor: 32-bit ARM Linux with glibc, hard-float ABI
# (Debian's armhf), with Debian's cross compiler g++-arm-linux-gnueabihf:
#
#   cmake -S . -B build-arm -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#
# Libraries of the target (GoogleTest, Google Benchmark, ...) come from Debian's multiarch
# packages (libgtest-dev:armhf, ...) in /usr/lib/arm-linux-gnueabihf; the C and C++ runtime
# to link with from the cross compiler's sysroot /usr/arm-linux-gnueabihf. Where qemu-user is
# installed, ctest runs the test programs under it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KOVE_ARM_TRIPLE arm-linux-gnueabihf)
set(KOVE_ARM_SYSROOT /usr/${KOVE_ARM_TRIPLE})
set(CMAKE_C_COMPILER ${KOVE_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KOVE_ARM_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KOVE_ARM_TRIPLE})

# Packages and libraries of the target only: the host's own live in /usr/lib/x86_64-linux-gnu,
# which a search for this architecture never enters.
set(CMAKE_FIND_ROOT_PATH ${KOVE_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Test programs run under the user-mode emulator; the test support starts the programs under
# test through it as well. The target's loader and C library must come from one package:
# where Debian's multiarch runtime (libc6:armhf) is installed, the loader finds its libraries
# in /lib/arm-linux-gnueabihf, and an emulator rooted in the cross compiler's sysroot (-L)
# would pair that sysroot's loader with the multiarch C library. Only without the multiarch
# runtime does the emulator take the sysroot's.
find_program(KOVE_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(KOVE_QEMU_ARM)
    if(EXISTS /lib/ld-linux-armhf.so.3)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${KOVE_QEMU_ARM})
    else()
        set(CMAKE_CROSSCOMPILING_EMULATOR ${KOVE_QEMU_ARM} -L ${KOVE_ARM_SYSROOT})
    endif()
endif()
