#!/usr/bin/env bash
# Builds the module and checks its type stub, stubs/_sexp.pyi, against it with mypy's
# stubtest: every name, signature and type the stub declares must match the built module.
#
# Usage: tools/ci-stubtest.sh [stubtest arguments...]
#   BUILD_DIR   build folder (default: build-stubtest in the checkout)
#   MODULE_DIR  check the module installed there, with the stub installed beside it, instead
#               (nothing is built)
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
py="$("$here/tools/python.sh" --with-typing)"
# From a scratch folder, so that mypy's cache stays out of the checkout.
work="$(mktemp -d)"
trap 'rm -rf -- "$work"' EXIT
dir="${MODULE_DIR:-}"
stubs="$here/stubs"
if [[ -z $dir ]]; then
    # The same interpreter builds the module and checks it.
    dir="$(PYTHON="$py" BUILD_DIR="${BUILD_DIR:-$here/build-stubtest}" "$here/tools/build.sh" \
        -DSEXP_BUILD_TESTS=OFF -DSEXP_WERROR=ON)/python"
else
    # mypy refuses a site-packages folder as a search path, so the stub is read from a copy.
    [[ -f $dir/_sexp.pyi ]] || die "no _sexp.pyi installed in $dir"
    stubs="$work/stubs"
    mkdir "$stubs"
    cp "$dir/_sexp.pyi" "$stubs/"
fi
cd "$work"
MYPYPATH="$stubs" PYTHONPATH="$dir" PYTHONDONTWRITEBYTECODE=1 \
    "$py" -m mypy.stubtest _sexp "$@"
