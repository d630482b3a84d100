# Cross build for 64-bit big-endian IBM Z Linux with Debian's
# g++-s390x-linux-gnu. Its programs, the tests among them, run under
# qemu-user-static, named here as the emulator; no binfmt registration is
# needed.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(TAVIKCUT_TRIPLET s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

find_program(QEMU_S390X NAMES qemu-s390x-static qemu-s390x NO_CMAKE_FIND_ROOT_PATH)
if(QEMU_S390X)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_S390X})
endif()
