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
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build-aarch64}"
cache="${SEXP_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sexp}"
say() { printf 'ci-aarch64: %s\n' "$*" >&2; }

# ---- host tools -------------------------------------------------------------
missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
[[ -f /usr/src/googletest/CMakeLists.txt ]] || missing+=(googletest)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
if ((${#missing[@]})); then
    ((EUID == 0)) || { say "needs ${missing[*]} (run as root to install them)"; exit 1; }
    say "installing ${missing[*]}"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

# ---- arm64 interpreter and GoogleTest ----------------------------------------
py="$("$here/tools/python.sh" --arch arm64)"
root="${py%/usr/bin/*}"
toolchain="$here/cmake/aarch64-linux-gnu.cmake"

# Built once per GoogleTest and compiler version; a half-built one is never used.
gtest="$cache/googletest-arm64"
gtest_id="googletest $(dpkg-query -W -f '${Version}' googletest 2>/dev/null || echo unknown)"
gtest_id+=", $(aarch64-linux-gnu-g++ -dumpfullversion)"
if [[ ! -f $gtest/.complete || $(<"$gtest/.complete") != "$gtest_id" ]]; then
    say "building GoogleTest for arm64"
    work="$(mktemp -d "$cache/googletest-build.XXXXXX")"
    trap 'rm -rf "$work"' EXIT
    if ! { cmake -S /usr/src/googletest -B "$work/build" -G Ninja \
               -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
               -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$work/prefix" &&
           cmake --build "$work/build" -j 2 &&
           cmake --install "$work/build"; } >"$work/log" 2>&1; then
        cat "$work/log" >&2
        say "building GoogleTest failed"
        exit 1
    fi
    printf '%s\n' "$gtest_id" >"$work/prefix/.complete"
    rm -rf "$gtest"
    mv "$work/prefix" "$gtest"
    rm -rf "$work"
    trap - EXIT
fi

# ---- cross build --------------------------------------------------------------
# A build folder configured for another root would keep that root's Python paths.
if [[ -f $build/CMakeCache.txt ]] &&
    ! grep -qx "SEXP_AARCH64_ROOT:[A-Z]*=$root" "$build/CMakeCache.txt"; then
    rm -rf "$build"
fi
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! { cmake -S "$here" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
           -DSEXP_AARCH64_ROOT="$root" -DCMAKE_FIND_ROOT_PATH="$gtest" \
           -DSEXP_BUILD_TESTS=ON -DSEXP_WERROR=ON -DSEXP_SIMD=ON &&
       cmake --build "$build" -j 2; } >"$log" 2>&1; then
    cat "$log" >&2
    say "cross build failed"
    exit 1
fi
ext=("$build"/python/_sexp.cpython-*-aarch64-linux-gnu.so)
[[ -f ${ext[0]} ]] || { say "no aarch64 extension module in $build/python"; exit 1; }

# ---- C++ tests under emulation ---------------------------------------------------
cd "$build"
# The scan test names the kernel it checks; this run exists to exercise NEON.
expect_kernel=neon
ctest -R '^Scan\.' -V --timeout 600 >"$log" 2>&1 || { cat "$log"; exit 1; }
kernel="$(sed -n 's/.*scan kernel: \([a-z0-9_]*\).*/\1/p' "$log" | head -n 1)"
if [[ $kernel != "$expect_kernel" ]]; then
    cat "$log"
    say "the build scans with '${kernel:-an unnamed kernel}', not $expect_kernel"
    exit 1
fi
say "scan kernel: $kernel"
ctest --output-on-failure -j 2 --timeout 600 -E '^pytest$|^Scan\.'

# ---- Python suite under emulation ------------------------------------------------
status=0
timeout --kill-after=30 "${AARCH64_TIMEOUT:-900}" \
    env PYTHONPATH="$build/python" PYTHONDONTWRITEBYTECODE=1 \
    "$py" -m pytest -q -p no:cacheprovider -o faulthandler_timeout="${TEST_TIMEOUT:-600}" \
    "$here/tests/python" "$@" || status=$?
case $status in
    0) ;;
    124|137) say "the Python suite did not finish in time" ;;
    *) say "the Python suite failed under emulation (exit $status)" ;;
esac
exit "$status"
