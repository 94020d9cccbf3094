# Cross build for 32-bit Arm routers, hard-float ABI (g++-arm-linux-gnueabihf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(NORVASK_TARGET_TRIPLE arm-linux-gnueabihf)
set(NORVASK_PACKAGE_ARCH armhf)
set(NORVASK_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
