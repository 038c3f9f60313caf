#!/usr/bin/env bash
# Smoke test of the benchmarks at tiny sizes: they build, run and check their own output.
# No time is asserted; BENCHMARKS.md says how to run them for real.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
py="$("$here/tools/python.sh" --with-bench)"
build="$(BUILD_DIR="${BUILD_DIR:-$here/build-bench}" PYTHON="$py" "$here/tools/build.sh" \
    -DSEXP_BUILD_TESTS=OFF -DSEXP_BUILD_BENCHMARKS=ON -DSEXP_WERROR=ON)"
"$build/bench/bench_core" --benchmark_filter='10000|Utf8|Flat' --benchmark_min_time=0.01
"$py" "$here/bench/python/bench_surface.py" --module-dir "$build/python" --quick
"$py" "$here/bench/python/bench_formats.py" --module-dir "$build/python" --quick
"$py" "$here/bench/python/bench_files.py" --module-dir "$build/python" --quick --only loads,dumps,position,check
