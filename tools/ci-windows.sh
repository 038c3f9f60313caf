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
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# The whole run is under one deadline, so that a wine that never returns fails the run.
if [[ -z ${SEXP_WINDOWS_DEADLINE:-} ]]; then
    SEXP_WINDOWS_DEADLINE=1 exec timeout --kill-after=30 "${WINDOWS_TIMEOUT:-900}" \
        bash "${BASH_SOURCE[0]}" "$@"
fi

build="${BUILD_DIR:-$here/build-windows}"
jobs="${JOBS:-$(nproc)}"
cache="${SEXP_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sexp}"
toolchain="$here/cmake/mingw-w64-x86_64.cmake"
cxx=x86_64-w64-mingw32-g++-posix
gtest_src=/usr/src/googletest
# The kernel the tokenizer must pick on x86-64 Windows, as the scan test prints it.
expect_kernel=sse2

step() { printf '== %s [%ds]\n' "$*" "$SECONDS"; }
die() { printf 'ci-windows.sh: %s\n' "$*" >&2; exit 1; }

step "tools"
missing=()
command -v "$cxx" >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || missing+=(wine)
[[ -x /usr/lib/wine/wine64 ]] || missing+=(wine64)
[[ -f $gtest_src/CMakeLists.txt ]] || missing+=(googletest)
command -v cmake >/dev/null || missing+=(cmake)
if ((${#missing[@]})); then
    ((EUID == 0)) || die "missing ${missing[*]}: run as root, or install them first"
    export DEBIAN_FRONTEND=noninteractive
    # Another apt-get may be running beside this one: wait for its lock rather than fail.
    apt_opts=(-q -o DPkg::Lock::Timeout=600)
    apt-get "${apt_opts[@]}" update >/dev/null
    apt-get "${apt_opts[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null
fi
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)

# GoogleTest, built once per version with the same compiler and flags as the tests.
gtest_version="$(dpkg-query -W -f '${Version}' googletest 2>/dev/null || echo unknown)"
gtest_prefix="$cache/googletest-mingw-w64-x86_64-$gtest_version"
if [[ ! -f $gtest_prefix/.done ]]; then
    step "GoogleTest $gtest_version for Windows ($gtest_prefix)"
    mkdir -p "$cache"
    rm -rf "$gtest_prefix" "$gtest_prefix.build"
    log="$gtest_prefix.log"
    if ! { cmake -S "$gtest_src" -B "$gtest_prefix.build" "${gen[@]}" \
               -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
               -DCMAKE_INSTALL_PREFIX="$gtest_prefix" -DBUILD_GMOCK=OFF &&
           cmake --build "$gtest_prefix.build" -j "$jobs" &&
           cmake --install "$gtest_prefix.build"; } >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        die "GoogleTest build failed (full log: $log)"
    fi
    rm -rf "$gtest_prefix.build"
    touch "$gtest_prefix/.done"
fi
gtest_dir="$(dirname "$(find "$gtest_prefix" -name GTestConfig.cmake -print -quit)")"
[[ -f $gtest_dir/GTestConfig.cmake ]] || die "no GTestConfig.cmake under $gtest_prefix"

step "build ($build)"
mkdir -p "$build"
log="$build/build.log"
# Tests are listed when ctest starts (under wine), not at build time.
if ! { cmake -S "$here" -B "$build" "${gen[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
           -DCMAKE_BUILD_TYPE=Release -DSEXP_BUILD_MODULE=OFF -DSEXP_BUILD_TESTS=ON \
           -DSEXP_WERROR=ON -DGTest_DIR="$gtest_dir" \
           -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST "$@" &&
       cmake --build "$build" -j "$jobs"; } >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    die "build failed (full log: $log)"
fi

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
status=0
(cd "$build" && ctest --output-on-failure --no-tests=error -j "$jobs" \
                      --timeout "${TEST_TIMEOUT:-600}") || status=$?
((status == 0)) || die "C++ tests failed under wine"

# ctest keeps every test's output, passed or not, in LastTest.log; some tests print NUL bytes.
kernels="$(grep -aho 'scan kernel: [A-Za-z0-9_]*' "$build/Testing/Temporary/LastTest.log" |
           sort -u || true)"
if [[ -z $kernels ]]; then
    die "no test printed its scan kernel"
elif [[ $kernels != "scan kernel: $expect_kernel" ]]; then
    die "expected scan kernel: $expect_kernel, got: ${kernels//$'\n'/; }"
else
    step "$kernels"
fi
step "all Windows tests passed"
