# 64-bit ARM: Debian's cross compiler (g++-aarch64-linux-gnu).
# cmake -S . -B BUILD --toolchain scripts/toolchains/arm64.cmake
set(HOSTMON_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(HOSTMON_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
