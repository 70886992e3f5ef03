# Cross-compiles for 64-bit Windows with mingw-w64 GCC: GNU ld, GCC's C++ runtime (libstdc++,
# libgcc, winpthreads) and the mingw-w64 C runtime (msvcrt.dll), all linked in but msvcrt. The
# compiler with POSIX threads, which std::thread needs, is x86_64-w64-mingw32-g++-posix on Debian
# and Ubuntu, plain x86_64-w64-mingw32-g++ elsewhere.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
find_program(MINGW_GCC NAMES ${MINGW_TRIPLE}-gcc-posix ${MINGW_TRIPLE}-gcc REQUIRED)
find_program(MINGW_GXX NAMES ${MINGW_TRIPLE}-g++-posix ${MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${MINGW_TRIPLE}-windres REQUIRED)
set(CMAKE_C_COMPILER ${MINGW_GCC})
set(CMAKE_CXX_COMPILER ${MINGW_GXX})

# Libraries and headers (an installed GoogleTest, say) are looked for only under the mingw-w64
# runtime's root (/usr/x86_64-w64-mingw32 on Debian), never among the build machine's.
execute_process(COMMAND ${MINGW_GXX} -print-file-name=libmingw32.a
                OUTPUT_VARIABLE MINGW_ROOT OUTPUT_STRIP_TRAILING_WHITESPACE)
file(REAL_PATH ${MINGW_ROOT} MINGW_ROOT)
cmake_path(GET MINGW_ROOT PARENT_PATH MINGW_ROOT)
cmake_path(GET MINGW_ROOT PARENT_PATH MINGW_ROOT)
set(CMAKE_FIND_ROOT_PATH ${MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
