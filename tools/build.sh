#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build) with the project's interpreter.
# Extra arguments go to cmake. Prints nothing but errors unless VERBOSE is set.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
py="$("$here/tools/python.sh")"
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! { cmake -S "$here" -B "$build" "${gen[@]}" -DPython_EXECUTABLE="$py" "$@" &&
       cmake --build "$build" -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "build failed" >&2
    exit 1
fi
[[ -n "${VERBOSE:-}" ]] && cat "$log"
echo "$build"
