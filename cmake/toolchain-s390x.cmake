# Cross build for Linux on s390x (64-bit, big-endian) with Debian's cross
# toolchain (crossbuild-essential-s390x); binaries run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(VOKRA_S390X_TRIPLE s390x-linux-gnu)
set(CMAKE_C_COMPILER ${VOKRA_S390X_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VOKRA_S390X_TRIPLE}-g++)

# The target's libc, loader and libstdc++ live here; qemu needs the same
# directory to resolve the dynamic loader of every s390x program it starts.
set(VOKRA_S390X_SYSROOT /usr/${VOKRA_S390X_TRIPLE} CACHE PATH "s390x runtime libraries for qemu -L")
set(CMAKE_FIND_ROOT_PATH ${VOKRA_S390X_SYSROOT})
# Build tools come from the host; libraries, headers and CMake packages only
# from the target, so an installed x86-64 GoogleTest is never picked up.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Used by try_run, gtest_discover_tests and CTest to run target programs.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L ${VOKRA_S390X_SYSROOT})
