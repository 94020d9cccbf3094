# Cross build for the router's 64-bit Arm CPU (g++-aarch64-linux-gnu).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(NORVASK_TARGET_TRIPLE aarch64-linux-gnu)
set(NORVASK_PACKAGE_ARCH aarch64)
set(NORVASK_QEMU_NAME qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
