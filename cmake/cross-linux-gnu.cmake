# Cross build for a router's CPU with one of Debian's cross toolchains
# (g++-<triple>), included by the per-architecture toolchain files, which set:
#   NORVASK_TARGET_TRIPLE   the toolchain's prefix, e.g. arm-linux-gnueabihf
#   NORVASK_PACKAGE_ARCH    the architecture in the package's name (Debian's)
#   NORVASK_QEMU_NAME       the qemu-user program that runs its programs here
#   CMAKE_SYSTEM_PROCESSOR
# Programs built here run on this machine only through qemu-user; without
# binfmt_misc the emulator has to be named.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${NORVASK_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${NORVASK_TARGET_TRIPLE}-g++)

# Debian installs the target's C library and headers here.
set(NORVASK_TARGET_SYSROOT /usr/${NORVASK_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${NORVASK_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator's dynamic loader at the target's libraries.
find_program(NORVASK_QEMU ${NORVASK_QEMU_NAME})
if(NORVASK_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NORVASK_QEMU} -L ${NORVASK_TARGET_SYSROOT})
else()
  message(WARNING "${NORVASK_QEMU_NAME} not found (Debian: qemu-user): the tests cannot run here")
endif()
