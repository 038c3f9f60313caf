#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build) with the project's interpreter,
# installing what the build needs when it is missing. Extra arguments go to cmake. Prints the
# build folder, and the build's output only on failure or when VERBOSE is set.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_build_tools
[[ " $* " == *" -DSEXP_BUILD_TESTS=OFF "* ]] || need_gtest
[[ " $* " != *" -DSEXP_BUILD_BENCHMARKS=ON "* ]] ||
    need libbenchmark-dev=/usr/include/benchmark/benchmark.h
build="${BUILD_DIR:-$here/build}"
py="$("$here/tools/python.sh")"
cmake_build "$build" -DPython_EXECUTABLE="$py" "$@"
[[ -z ${VERBOSE:-} ]] || cat "$build/build.log" >&2
echo "$build"
