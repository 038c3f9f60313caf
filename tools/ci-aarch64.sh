#!/usr/bin/env bash
# Cross-builds the core, the C++ tests and the extension for aarch64 Linux (warnings as
# errors), checks that the build scans with the NEON kernel, and runs the C++ tests and the
# whole Python suite under qemu-user with an arm64 CPython 3.14. Installs the cross
# compiler, qemu-user and the GoogleTest sources with apt-get when they are missing, and
# caches the arm64 interpreter and an arm64 GoogleTest under the cache folder.
#
# Usage: tools/ci-aarch64.sh [pytest arguments...]
#   BUILD_DIR         build folder (default: build-aarch64 in the checkout)
#   AARCH64_TIMEOUT   seconds for the Python suite (default: 900)
#   TEST_TIMEOUT      seconds for one test before its stacks are dumped (default: 600)
#   SEXP_CACHE        cache folder (default ${XDG_CACHE_HOME:-$HOME/.cache}/sexp)
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build="${BUILD_DIR:-$here/build-aarch64}"
toolchain="$here/cmake/aarch64-linux-gnu.cmake"

step "tools"
need_build_tools
need g++-aarch64-linux-gnu=aarch64-linux-gnu-g++ qemu-user=qemu-aarch64
py="$("$here/tools/python.sh" --arch arm64)"
root="${py%/usr/bin/*}"
gtest="$(SEXP_CROSS_ID="$(aarch64-linux-gnu-g++ -dumpfullversion)" cross_gtest arm64 "$toolchain")"

step "cross build ($build)"
# A build folder configured for another root would keep that root's Python paths.
if [[ -f $build/CMakeCache.txt ]] &&
    ! grep -qx "SEXP_AARCH64_ROOT:[A-Z]*=$root" "$build/CMakeCache.txt"; then
    rm -rf "$build"
fi
cmake_build "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DSEXP_AARCH64_ROOT="$root" \
    -DCMAKE_FIND_ROOT_PATH="$gtest" -DSEXP_BUILD_TESTS=ON -DSEXP_WERROR=ON -DSEXP_SIMD=ON
ext=("$build"/python/_sexp.cpython-*-aarch64-linux-gnu.so)
[[ -f ${ext[0]} ]] || die "no aarch64 extension module in $build/python"

step "C++ tests under emulation"
(cd "$build" && ctest --output-on-failure -j "$(nproc)" --timeout 600 -E '^pytest$')
expect_kernel neon "$build/Testing/Temporary/LastTest.log"

step "Python suite under emulation"
run_pytest "${AARCH64_TIMEOUT:-900}" "$py" "$build/python" "$@"
