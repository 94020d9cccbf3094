# Cross build for the router's 64-bit Arm CPU with Debian's aarch64-linux-gnu
# toolchain (g++-aarch64-linux-gnu). Programs built here run on this machine
# only through qemu-user; without binfmt_misc the emulator has to be named.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(NORVASK_TARGET_TRIPLE aarch64-linux-gnu)
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
find_program(NORVASK_QEMU qemu-aarch64)
if(NORVASK_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NORVASK_QEMU} -L ${NORVASK_TARGET_SYSROOT})
else()
  message(WARNING "qemu-aarch64 not found (Debian: qemu-user): the tests cannot run here")
endif()
