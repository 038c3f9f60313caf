#!/usr/bin/env bash
# Windows run: cross-compiles the core and its C++ tests for x86-64 Windows with MinGW-w64
# (GoogleTest built once from Debian's sources with the same compiler, everything linked
# statically) and runs every test binary under wine. Installs the compiler, wine and
# GoogleTest's sources with apt-get when they are missing. The extension is not built: there is
# no Windows CPython to link it against.
#
# Usage: tools/ci-windows.sh [extra cmake arguments]
#   BUILD_DIR        build folder (default build-windows)
#   JOBS             parallel build and test jobs (default: the number of processors)
#   SEXP_CACHE       where GoogleTest and the wine prefix are kept
#                    (default ${XDG_CACHE_HOME:-$HOME/.cache}/sexp)
#   WINDOWS_TIMEOUT  seconds the whole run may take before it counts as hung (default 900;
#                    a first run that installs wine and builds GoogleTest takes about 1 minute)
#   TEST_TIMEOUT     seconds for each test (default 600)
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# The whole run is under one deadline, so that a wine that never returns fails the run.
if [[ -z ${SEXP_WINDOWS_DEADLINE:-} ]]; then
    SEXP_WINDOWS_DEADLINE=1 exec timeout --kill-after=30 "${WINDOWS_TIMEOUT:-900}" \
        bash "${BASH_SOURCE[0]}" "$@"
fi

build="${BUILD_DIR:-$here/build-windows}"
toolchain="$here/cmake/mingw-w64-x86_64.cmake"

step "tools"
need_build_tools
# wine64 runs 64-bit programs; Debian 12 packages it apart from wine.
need g++-mingw-w64-x86-64-posix=x86_64-w64-mingw32-g++-posix wine=wine wine64=/usr/lib/wine/wine64
gtest="$(SEXP_CROSS_ID="$(x86_64-w64-mingw32-g++-posix -dumpfullversion)" \
    cross_gtest mingw-w64-x86_64 "$toolchain")"
gtest_dir="$(dirname "$(find "$gtest" -name GTestConfig.cmake -print -quit)")"
[[ -f $gtest_dir/GTestConfig.cmake ]] || die "no GTestConfig.cmake under $gtest"

step "build ($build)"
# Tests are listed when ctest starts (under wine), not at build time.
cmake_build "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DSEXP_BUILD_MODULE=OFF -DSEXP_BUILD_TESTS=ON -DSEXP_WERROR=ON -DGTest_DIR="$gtest_dir" \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST "$@"

# A private prefix, made on first use and kept in the cache. No display and no standard
# input here: the offers to install Mono and Gecko are turned off, since no test needs them.
export WINEPREFIX="$cache/wine-x86_64"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
step "wine prefix ($WINEPREFIX)"
mkdir -p "$WINEPREFIX"
# One server for every test process, stopped at the end unless another run had started it.
if wineserver --persistent 2>/dev/null; then
    trap 'wineserver --kill >/dev/null 2>&1 || true' EXIT
    trap 'exit 143' TERM
fi
wineboot --init </dev/null >/dev/null 2>&1 || die "wineboot could not make $WINEPREFIX"

step "C++ tests under wine"
(cd "$build" && ctest --output-on-failure --no-tests=error -j "${JOBS:-$(nproc)}" \
                      --timeout "${TEST_TIMEOUT:-600}") || die "C++ tests failed under wine"
# ctest keeps every test's output, passed or not, in LastTest.log.
expect_kernel sse2 "$build/Testing/Temporary/LastTest.log"
step "all Windows tests passed"
