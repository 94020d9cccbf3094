# Cross build for 32-bit little-endian MIPS routers (g++-mipsel-linux-gnu).
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(NORVASK_TARGET_TRIPLE mipsel-linux-gnu)
set(NORVASK_PACKAGE_ARCH mipsel)
set(NORVASK_QEMU_NAME qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
