#!/usr/bin/env bash
# Builds the core tests and the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (g++), then runs the C++ tests and the Python tests, the latter in the project's interpreter
# with the sanitizer runtime preloaded. LeakSanitizer is on throughout: at exit, and in the
# tests that check that freed trees leave nothing behind. Exits non-zero on any failure or
# report.
#
# Usage: tools/ci-sanitize.sh [extra cmake arguments]
#   BUILD_DIR  build folder (default build-asan)
#   JOBS       parallel build jobs (default: the number of processors)
#   SANITIZE_TIMEOUT  seconds for the Python run before it counts as hung (default 1500)
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build="${BUILD_DIR:-$here/build-asan}"
cxx=g++
failed=()

step "build ($build)"
need_build_tools
need_gtest
py="$("$here/tools/python.sh")"
cmake_build "$build" -DPython_EXECUTABLE="$py" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEXP_SANITIZE=address,undefined \
    -DSEXP_BUILD_TESTS=ON -DSEXP_BUILD_MODULE=ON "$@"

# Reports end the process (the build passes -fno-sanitize-recover=all); halt_on_error keeps
# that true for anything compiled without it.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
asan_options="detect_leaks=1:strict_string_checks=1:check_initialization_order=1"

step "C++ tests"
shopt -s nullglob
ran=0
for t in "$build"/tests/sexp_*tests; do
    ASAN_OPTIONS="$asan_options" "$t" --gtest_brief=1 || failed+=("$(basename "$t")")
    ran=$((ran + 1))
done
((ran > 0)) || die "no C++ test binaries in $build/tests"

# The interpreter is not instrumented, so the runtime has to be loaded first. The C++ library
# is preloaded too: the runtime looks up __cxa_throw once, at start-up, and an interpreter that
# pulls libstdc++ in only with the extension would leave it unresolved, so the first C++
# exception would end the process. By name, so that the interpreter's own copy is found.
asan_rt="$("$cxx" -print-file-name=libasan.so)"
[[ -f $asan_rt ]] || die "$cxx has no libasan.so"
pytest_env=(LD_PRELOAD="$asan_rt libstdc++.so.6" PYTHONMALLOC=malloc ASAN_OPTIONS="$asan_options")

# Proof that the preloaded runtime is active in this interpreter: an out-of-bounds read made
# through ctypes must be reported, and so must a block that nothing points to any more.
step "sanitizer runtime in $py"
probe() {
    local out
    out="$(env "${pytest_env[@]}" "$py" -c "import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
$1" 2>&1 || true)"
    [[ $out == *"$2"* ]] && return
    printf '%s\n' "$out" | tail -n 20 >&2
    die "the sanitizer runtime in $py does not report a $2"
}
probe 'ctypes.memmove(ctypes.create_string_buffer(32), libc.malloc(8), 32)' heap-buffer-overflow
probe 'libc.malloc(100)
print(libc.__lsan_do_recoverable_leak_check())' "detected memory leaks"

step "Python tests"
TEST_TIMEOUT=1500 run_pytest "${SANITIZE_TIMEOUT:-1500}" "$py" "$build/python" ||
    failed+=(pytest)

((${#failed[@]} == 0)) || die "failed under the sanitizers: ${failed[*]}"
step "all sanitized tests passed"
