#!/usr/bin/env bash
# Builds the module with the per-tree lock compiled in, as on interpreters without the GIL,
# and runs the whole Python suite against it. A tree lock still held while the caller's
# Python code runs makes a call wait on itself, so the run is timed: a hang fails it.
#
# Usage: tools/ci-locked.sh [pytest arguments...]
#   BUILD_DIR        build folder (default: build-locked in the checkout)
#   LOCKED_TIMEOUT   seconds for the whole suite (default: 900)
#   TEST_TIMEOUT     seconds for one test before its stacks are dumped (default: 300)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
py="$("$here/tools/python.sh")"
build="$(BUILD_DIR="${BUILD_DIR:-$here/build-locked}" "$here/tools/build.sh" \
    -DSEXP_BUILD_TESTS=OFF -DSEXP_WERROR=ON -DSEXP_FORCE_TREE_LOCK=ON)"
if ! grep -qx 'SEXP_FORCE_TREE_LOCK:BOOL=ON' "$build/CMakeCache.txt"; then
    echo "ci-locked: $build is not configured with the tree lock" >&2
    exit 1
fi

status=0
timeout --kill-after=30 "${LOCKED_TIMEOUT:-900}" \
    env PYTHONPATH="$build/python" PYTHONDONTWRITEBYTECODE=1 \
    "$py" -m pytest -q -p no:cacheprovider -o faulthandler_timeout="${TEST_TIMEOUT:-300}" \
    "$here/tests/python" "$@" || status=$?
case $status in
    0) ;;
    124|137) echo "ci-locked: the suite did not finish in time (a tree lock held while Python code runs?)" >&2 ;;
    *) echo "ci-locked: the suite failed under the tree lock (exit $status)" >&2 ;;
esac
exit "$status"
