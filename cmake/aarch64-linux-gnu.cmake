# Cross build for the board's aarch64 processors: Debian's cross compiler, a sysroot of the board's packages
# (AARCH64_SYSROOT, unpacked by scripts/run-tests-aarch64) beside the cross C library, and qemu-user to run tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES AARCH64_SYSROOT)  # the compiler checks read this file too
if(NOT AARCH64_SYSROOT)
  message(FATAL_ERROR "AARCH64_SYSROOT must name the folder of the unpacked aarch64 packages")
endif()
set(CMAKE_FIND_ROOT_PATH "${AARCH64_SYSROOT}" /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The packages' libraries, where the linker finds what they need in turn and the tests find them at run time
# (LAPACK and BLAS sit in folders of their own, chosen by alternatives on an installed system).
set(AARCH64_LIBRARY_DIRS "${AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu" "${AARCH64_SYSROOT}/lib/aarch64-linux-gnu"
                         "${AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu/lapack"
                         "${AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu/blas")
foreach(dir ${AARCH64_LIBRARY_DIRS})
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-rpath-link,${dir}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,-rpath-link,${dir}")
endforeach()
list(JOIN AARCH64_LIBRARY_DIRS ":" AARCH64_LIBRARY_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=${AARCH64_LIBRARY_PATH})
