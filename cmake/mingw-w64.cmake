# Cross-compiling the two programs for 64-bit Windows with Debian's mingw-w64
# (package g++-mingw-w64-x86-64-posix: GCC 12 with POSIX threads, which
# std::thread and std::mutex need):
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# scripts/package --windows does this, as a Release build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MORLUND_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MORLUND_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORLUND_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MORLUND_MINGW_TRIPLET}-windres)

# Libraries and headers of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MORLUND_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Linked statically: a program that needs libstdc++-6.dll or
# libwinpthread-1.dll beside it does not start where they are missing (under
# Wine with WINEDEBUG=-all it ends with status 53 and says nothing). What
# stays are imports of system DLLs (KERNEL32, msvcrt, ODBC32, ...). -static
# alone is not enough: CMake links odbc32 as "-Wl,-Bstatic -lodbc32
# -Wl,-Bdynamic", after which the compiler's own libraries would be linked
# as DLLs; a link line that ends static keeps them in the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_LINK_SEARCH_END_STATIC ON)
