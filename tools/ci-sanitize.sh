#!/usr/bin/env bash
# Builds the core tests and the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (g++), then runs the C++ tests with leak checking and the Python tests in the project's
# interpreter with the sanitizer runtime preloaded. Exits non-zero on any failure or report.
#
# Usage: tools/ci-sanitize.sh [extra cmake arguments]
#   BUILD_DIR  build folder (default build-asan)
#   JOBS       parallel build jobs (default: the number of processors)
#   SANITIZE_TIMEOUT  seconds for each Python run before it counts as hung (default 1500)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build-asan}"
jobs="${JOBS:-$(nproc)}"
py="$("$here/tools/python.sh")"
cxx=g++

step() { printf '== %s\n' "$*"; }
failed=()

step "build ($build)"
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
log="$build.log"
if ! { cmake -S "$here" -B "$build" "${gen[@]}" -DPython_EXECUTABLE="$py" \
           -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
           -DSEXP_SANITIZE=address,undefined -DSEXP_BUILD_TESTS=ON -DSEXP_BUILD_MODULE=ON "$@" &&
       cmake --build "$build" -j "$jobs"; } >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "ci-sanitize.sh: build failed (full log: $log)" >&2
    exit 1
fi

# Reports end the process (the build passes -fno-sanitize-recover=all); halt_on_error keeps
# that true for anything compiled without it.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

step "C++ tests (leak checking on)"
shopt -s nullglob
ran=0
for t in "$build"/tests/sexp_*tests; do
    ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:check_initialization_order=1" \
        "$t" --gtest_brief=1 || failed+=("$(basename "$t")")
    ran=$((ran + 1))
done
((ran > 0)) || { echo "ci-sanitize.sh: no C++ test binaries in $build/tests" >&2; exit 1; }

# The interpreter is not instrumented, so the runtime has to be loaded first. The C++ library
# is preloaded too: the runtime looks up __cxa_throw once, at start-up, and an interpreter that
# pulls libstdc++ in only with the extension would leave it unresolved, so the first C++
# exception would end the process. By name, so that the interpreter's own copy is found.
asan_rt="$("$cxx" -print-file-name=libasan.so)"
[[ -f $asan_rt ]] || { echo "ci-sanitize.sh: $cxx has no libasan.so" >&2; exit 1; }
preload="$asan_rt libstdc++.so.6"
py_env=(LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$build/python"
        PYTHONDONTWRITEBYTECODE=1)
# sanitized_py ASAN_OPTIONS ARGS...: the interpreter with the runtime loaded.
sanitized_py() { env "${py_env[@]}" ASAN_OPTIONS="$1" "$py" "${@:2}"; }
# sanitized_pytest ASAN_OPTIONS ARGS...: pytest so, against a deadline that catches a hang.
sanitized_pytest() {
    timeout --kill-after=30 "${SANITIZE_TIMEOUT:-1500}" env "${py_env[@]}" ASAN_OPTIONS="$1" \
        "$py" -m pytest -q -p no:cacheprovider "${@:2}"
}

# Proof that the preloaded runtime is active in this interpreter: an out-of-bounds read made
# through ctypes must be reported.
step "sanitizer runtime in $py"
probe_out="$(sanitized_py detect_leaks=0 -c '
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
block = libc.malloc(8)
ctypes.memmove(ctypes.create_string_buffer(32), block, 32)
' 2>&1 || true)"
if [[ $probe_out != *heap-buffer-overflow* ]]; then
    printf '%s\n' "$probe_out" | tail -n 20 >&2
    echo "ci-sanitize.sh: the sanitizer runtime did not load into $py" >&2
    exit 1
fi

step "Python tests"
# Tests that judge freeing by the process's resident size need freed memory to go back to the
# system at once, which the runtime's quarantine (the delay that catches use after free)
# prevents: they run on their own with it off, everything else with it on.
rss_tests="$here/tests/python/test_lifetimes.py"
ignore=()
[[ -f $rss_tests ]] && ignore=(--ignore="$rss_tests")
sanitized_pytest detect_leaks=0 "${ignore[@]}" "$here/tests/python" || failed+=(pytest)
if [[ -f $rss_tests ]]; then
    sanitized_pytest "detect_leaks=0:quarantine_size_mb=0:thread_local_quarantine_size_kb=0:allocator_release_to_os_interval_ms=0" \
        "$rss_tests" || failed+=(pytest-rss)
fi

if ((${#failed[@]})); then
    echo "ci-sanitize.sh: failed under the sanitizers: ${failed[*]}" >&2
    exit 1
fi
step "all sanitized tests passed"
