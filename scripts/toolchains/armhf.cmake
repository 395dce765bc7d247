# 32-bit ARM, hard float: Debian's cross compiler (g++-arm-linux-gnueabihf).
# cmake -S . -B BUILD --toolchain scripts/toolchains/armhf.cmake
set(HOSTMON_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(HOSTMON_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
