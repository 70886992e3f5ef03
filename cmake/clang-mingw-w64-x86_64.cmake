# Cross-compiles for 64-bit Windows with Clang and lld against the GCC build's runtimes (mingw-w64
# headers and msvcrt.dll, GCC's libstdc++, libgcc and winpthreads), found through the mingw-w64
# GCC cross compiler. (llvm-mingw and MSYS2's Clang environments use libc++ and the UCRT instead;
# this build has not been tried with those.)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

find_program(MINGW_CLANG NAMES clang REQUIRED)
find_program(MINGW_CLANGXX NAMES clang++ REQUIRED)
set(CMAKE_C_COMPILER ${MINGW_CLANG})
set(CMAKE_CXX_COMPILER ${MINGW_CLANGXX})
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})

# Clang looks for GCC's runtime in a folder named by its version, which Debian names after the
# threads flavour too (12-posix), so GCC is asked for its C++ headers and its libraries (and
# winpthreads, which the runtime's thread-local storage needs, is linked where the driver puts it).
execute_process(COMMAND ${MINGW_GXX} -xc++ -E -v -o /dev/null /dev/null
                ERROR_VARIABLE MINGW_SEARCH)
string(REGEX MATCHALL "\n [^\n]*/c\\+\\+[^\n]*" MINGW_CXX_INCLUDES "${MINGW_SEARCH}")
list(TRANSFORM MINGW_CXX_INCLUDES STRIP)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${MINGW_CXX_INCLUDES})
execute_process(COMMAND ${MINGW_GXX} -print-libgcc-file-name
                OUTPUT_VARIABLE MINGW_GCC_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
cmake_path(GET MINGW_GCC_DIR PARENT_PATH MINGW_GCC_DIR)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${MINGW_GCC_DIR} -pthread")

# GCC predefines this for mingw-w64 and built libstdc++ with it, so that type_info's == is the
# runtime's, out of line. Clang does not, and would compile its own inline copy into any object
# that calls it unoptimized, which lld rightly refuses beside the runtime's.
set(CMAKE_CXX_FLAGS_INIT "-D__GXX_TYPEINFO_EQUALITY_INLINE=0")
