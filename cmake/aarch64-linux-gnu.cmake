# Cross-compiles for aarch64 Linux with Debian's g++-aarch64-linux-gnu. Test binaries run
# under qemu-user, with SEXP_AARCH64_ROOT as their sysroot: an arm64 root holding its own
# loader and libraries, such as the one `tools/python.sh --arch arm64` provisions.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DSEXP_AARCH64_ROOT=ROOT -DCMAKE_FIND_ROOT_PATH=<prefix of an arm64 GoogleTest>
#
# Packages and libraries are looked for only under CMAKE_FIND_ROOT_PATH, never in the
# host's folders, whose x86-64 GoogleTest would link but not run. The root's interpreter
# is found through its emulating launcher, ROOT/usr/bin/python3.*-qemu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# try_compile projects read this file again and see only what is listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SEXP_AARCH64_ROOT)
if(NOT SEXP_AARCH64_ROOT AND DEFINED ENV{SEXP_AARCH64_ROOT})
    set(SEXP_AARCH64_ROOT "$ENV{SEXP_AARCH64_ROOT}")
endif()

if(SEXP_AARCH64_ROOT)
    if(NOT EXISTS "${SEXP_AARCH64_ROOT}/lib/ld-linux-aarch64.so.1")
        message(FATAL_ERROR "SEXP_AARCH64_ROOT=${SEXP_AARCH64_ROOT} has no lib/ld-linux-aarch64.so.1")
    endif()
    find_program(SEXP_QEMU_AARCH64 qemu-aarch64 REQUIRED NO_CMAKE_FIND_ROOT_PATH)
    # The emulator's default CPU computes pointer authentication, which the root's
    # libraries use, the costly way.
    set(SEXP_QEMU_CPU "max,pauth=off" CACHE STRING "CPU model for qemu-aarch64 (-cpu)")
    # Runs gtest_discover_tests and ctest's test binaries under emulation.
    set(CMAKE_CROSSCOMPILING_EMULATOR
        "${SEXP_QEMU_AARCH64};-cpu;${SEXP_QEMU_CPU};-L;${SEXP_AARCH64_ROOT}")
    list(APPEND CMAKE_FIND_ROOT_PATH "${SEXP_AARCH64_ROOT}")

    if(NOT DEFINED Python_ROOT_DIR)
        set(Python_ROOT_DIR "${SEXP_AARCH64_ROOT}/usr")
    endif()
    # FindPython runs nothing it takes for the target's, so it is pointed at the emulating
    # launcher, and CMake versions differ in whether they learn the extension suffix at all:
    # the project takes it from here, as the target's config tool (a shell script) gives it.
    file(GLOB _sexp_launcher "${SEXP_AARCH64_ROOT}/usr/bin/python3.*-qemu")
    if(_sexp_launcher AND NOT Python_EXECUTABLE)
        list(GET _sexp_launcher 0 Python_EXECUTABLE)
    endif()
    file(GLOB _sexp_config "${SEXP_AARCH64_ROOT}/usr/bin/aarch64-linux-gnu-python3.*-config")
    if(_sexp_config AND NOT SEXP_PYTHON_MODULE_SUFFIX)
        list(GET _sexp_config 0 _sexp_config)
        execute_process(COMMAND sh "${_sexp_config}" --extension-suffix
                        OUTPUT_VARIABLE SEXP_PYTHON_MODULE_SUFFIX
                        OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
