# Cross-compiles for macOS with zig's C++ compiler (clang with its own libc++ and macOS
# headers and libraries), for the target SEXP_ZIG_TARGET: aarch64-macos (the default) or
# x86_64-macos. What it builds can be linked here but not run.
#
#   cmake -S . -B build-macos -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake \
#         -DSEXP_ZIG=<path of zig> -DSEXP_ZIG_TARGET=x86_64-macos -DSEXP_BUILD_MODULE=OFF
#
# SEXP_ZIG defaults to a zig on PATH (the package index's ziglang brings one).
set(CMAKE_SYSTEM_NAME Darwin)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SEXP_ZIG SEXP_ZIG_TARGET)
if(NOT SEXP_ZIG_TARGET)
    set(SEXP_ZIG_TARGET aarch64-macos)
endif()
if(SEXP_ZIG_TARGET MATCHES "^aarch64")
    set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()
if(NOT SEXP_ZIG)
    find_program(SEXP_ZIG zig REQUIRED)
endif()

set(CMAKE_C_COMPILER "${SEXP_ZIG}" cc -target ${SEXP_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${SEXP_ZIG}" c++ -target ${SEXP_ZIG_TARGET})
# zig carries its own archiver and indexer (macOS's libtool and the SDK are neither here nor
# needed), which CMake must take as single programs: installing a static library runs the
# indexer on it again, and a host ranlib that knows no Mach-O would garble it.
set(_sexp_zig_tools "${CMAKE_BINARY_DIR}/zig-tools")
foreach(tool ar ranlib)
    file(WRITE "${_sexp_zig_tools}/${tool}" "#!/bin/sh\nexec \"${SEXP_ZIG}\" ${tool} \"$@\"\n")
    file(CHMOD "${_sexp_zig_tools}/${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_AR "${_sexp_zig_tools}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${_sexp_zig_tools}/ranlib" CACHE FILEPATH "" FORCE)
foreach(lang C CXX)
    set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qc <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> q <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> <TARGET>")
endforeach()
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
