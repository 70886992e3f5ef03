# Cross-compiles for 64-bit Windows with Clang against Debian's mingw-w64
# headers and GCC runtime (posix threads flavour), as MSYS2's Clang
# environments and llvm-mingw build Windows programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# Clang looks for the GCC runtime under a version-numbered folder, and
# Debian names it after the threads flavour (12-posix), so it is named here:
# its C++ headers, its libraries, and winpthread, which the runtime's
# thread-local storage needs, linked where the driver puts it.
file(GLOB MINGW_GCC_DIR /usr/lib/gcc/${MINGW_TRIPLE}/*-posix)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${MINGW_GCC_DIR}/include/c++
    ${MINGW_GCC_DIR}/include/c++/${MINGW_TRIPLE} ${MINGW_GCC_DIR}/include/c++/backward)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${MINGW_GCC_DIR} -pthread")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
