# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the POSIX thread model, which
# std::thread and GoogleTest's threading need) and runs what it builds under wine.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SEXP_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SEXP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SEXP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SEXP_MINGW_TRIPLE}-windres)

# Headers, libraries and packages only from the target's tree; tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${SEXP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthreads go into each executable, so that wine needs no MinGW
# DLL beside it, and a test's replacement of operator new reaches every allocation (through a
# shared libstdc++ the library's own calls would bypass it).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Lets ctest, and test discovery, start the executables.
find_program(SEXP_WINE wine)
if(SEXP_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SEXP_WINE})
endif()
