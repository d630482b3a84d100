# Cross build for 32-bit x86 Linux with Debian's g++-i686-linux-gnu. Its
# static programs run on an x86-64 kernel as they are, unless the kernel
# runs without 32-bit support (as some virtual machines do): the target's
# own dynamic loader, run once here, tells, and qemu-user-static runs them
# otherwise.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TAVIKCUT_TRIPLET i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

execute_process(COMMAND /usr/i686-linux-gnu/lib/ld-linux.so.2 --version RESULT_VARIABLE loader_status
                OUTPUT_QUIET ERROR_QUIET)
if(loader_status EQUAL 0)
  set(TAVIKCUT_RUNS_HERE ON CACHE BOOL "Programs of the target run on the build machine as they are")
else()
  find_program(QEMU_I386 NAMES qemu-i386-static qemu-i386 NO_CMAKE_FIND_ROOT_PATH)
  if(QEMU_I386)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_I386})
  endif()
endif()
