#!/usr/bin/env bash
# The main job: build the module with the machine's python3 when it is CPython 3.11 or newer
# (else with a provisioned one), and run the demo on data/.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
py="$("$here/tools/python.sh" --own)"
need_build_tools
build="${BUILD_DIR:-$here/build}"
cmake_build "$build" -DPython_EXECUTABLE="$py" -DSEXP_BUILD_TESTS=OFF
PYTHONPATH="$build/python" exec "$py" "$here/examples/demo.py" "$@"
