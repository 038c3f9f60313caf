#!/usr/bin/env bash
# Builds the module and checks its type stub, stubs/_sexp.pyi, against it with mypy's
# stubtest: every name, signature and type the stub declares must match the built module.
#
# Usage: tools/ci-stubtest.sh [stubtest arguments...]
#   BUILD_DIR   build folder (default: build-stubtest in the checkout)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
py="$("$here/tools/python.sh" --with-typing)"
# The same interpreter builds the module and checks it.
build="$(PYTHON="$py" BUILD_DIR="${BUILD_DIR:-$here/build-stubtest}" "$here/tools/build.sh" \
    -DSEXP_BUILD_TESTS=OFF -DSEXP_WERROR=ON)"
# From the build folder, so that mypy's cache stays there.
cd "$build"
MYPYPATH="$here/stubs" PYTHONPATH="$build/python" PYTHONDONTWRITEBYTECODE=1 \
    "$py" -m mypy.stubtest _sexp "$@"
