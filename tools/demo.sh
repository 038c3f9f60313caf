#!/usr/bin/env bash
# The main job: provision what is missing, build the module, run the demo on data/.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
py="$("$here/tools/python.sh")"
build="$(BUILD_DIR="${BUILD_DIR:-$here/build}" "$here/tools/build.sh" -DSEXP_BUILD_TESTS=OFF)"
PYTHONPATH="$build/python" exec "$py" "$here/examples/demo.py" "$@"
