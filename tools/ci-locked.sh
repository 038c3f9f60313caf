#!/usr/bin/env bash
# Builds the module with the per-tree lock compiled in, as on interpreters without the GIL,
# and runs the whole Python suite against it. A tree lock still held while the caller's
# Python code runs makes a call wait on itself, so the run is timed: a hang fails it.
#
# Usage: tools/ci-locked.sh [pytest arguments...]
#   BUILD_DIR        build folder (default: build-locked in the checkout)
#   LOCKED_TIMEOUT   seconds for the whole suite (default: 900)
#   TEST_TIMEOUT     seconds for one test before its stacks are dumped (default: 300)
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
py="$("$here/tools/python.sh")"
build="$(BUILD_DIR="${BUILD_DIR:-$here/build-locked}" "$here/tools/build.sh" \
    -DSEXP_BUILD_TESTS=OFF -DSEXP_WERROR=ON -DSEXP_FORCE_TREE_LOCK=ON)"
grep -qx 'SEXP_FORCE_TREE_LOCK:BOOL=ON' "$build/CMakeCache.txt" ||
    die "$build is not configured with the tree lock"
TEST_TIMEOUT="${TEST_TIMEOUT:-300}" run_pytest "${LOCKED_TIMEOUT:-900}" "$py" "$build/python" "$@"
