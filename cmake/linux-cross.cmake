# Shared part of the cross builds for other Linux hosts, included by the
# toolchain file of each. Programs are linked statically, so that they need
# nothing of the target's C library on the build machine: an i686 binary
# runs on an x86-64 kernel as it is, others under qemu-user-static.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${TAVIKCUT_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TAVIKCUT_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVIKCUT_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
