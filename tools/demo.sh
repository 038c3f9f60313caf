#!/usr/bin/env bash
# The main job: provision the interpreter if needed, build the module, run the demo.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
py="$("$here/tools/python.sh")"
build="$(BUILD_DIR="${BUILD_DIR:-$here/build}" "$here/tools/build.sh" -DSEXP_BUILD_TESTS=OFF)"
PYTHONPATH="$build/python" exec "$py" "$here/examples/demo.py" "$@"
