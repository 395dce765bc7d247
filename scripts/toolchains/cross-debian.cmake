# Shared by the per-target toolchain files, which set HOSTMON_CROSS_TRIPLE,
# CMAKE_SYSTEM_PROCESSOR and HOSTMON_CROSS_QEMU first.
#
# Debian's cross compilers carry their target's C library and headers under
# /usr/TRIPLE (the *-cross packages) and find them there by themselves; a
# --sysroot would send them to /usr/TRIPLE/usr/include instead.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${HOSTMON_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${HOSTMON_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${HOSTMON_CROSS_TRIPLE})

set(CMAKE_FIND_ROOT_PATH /usr/${HOSTMON_CROSS_TRIPLE})
# Programs are the build machine's; libraries, headers and packages only the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and test discovery run the target's binaries under qemu-user, which
# finds the target's dynamic loader and libraries under -L.
set(CMAKE_CROSSCOMPILING_EMULATOR ${HOSTMON_CROSS_QEMU} -L /usr/${HOSTMON_CROSS_TRIPLE})
