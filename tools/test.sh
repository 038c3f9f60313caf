#!/usr/bin/env bash
# Every test: provision what is missing, build (warnings as errors), run the C++ and Python
# suites. Extra arguments go to cmake.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build="$(BUILD_DIR="${BUILD_DIR:-$here/build}" "$here/tools/build.sh" -DSEXP_BUILD_TESTS=ON -DSEXP_WERROR=ON "$@")"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout "${TEST_TIMEOUT:-1500}"
