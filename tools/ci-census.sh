#!/usr/bin/env bash
# The cluster recipe as users run it: examples/census.py on two local Dask workers over
# ../shared/formats (each file in its own syntax) and the corpus (plain), each run checking
# its totals and trees against a serial count. dask[distributed] comes from the package
# index into a virtual environment of the project's interpreter, kept in the cache; with the
# index unreachable the step says so and passes.
#   SEXP_SHARED   the shared folder (default: ../shared beside the checkout)
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
shared="${SEXP_SHARED:-$here/../shared}"
py="$("$here/tools/python.sh" --with-packaging)"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PYTHONDONTWRITEBYTECODE=1

venv="$cache/census-venv"
if ! "$venv/bin/python" -c 'import distributed' >/dev/null 2>&1; then
    index="${PIP_INDEX_URL:-https://pypi.org/simple}"
    if ! "$py" -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=20)' \
            "${index%/}/dask/" >/dev/null 2>&1; then
        say "the package index ($index) is unreachable: skipping the census, which needs dask"
        exit 0
    fi
    step "installing dask[distributed] into $venv"
    rm -rf "$venv"
    log="$(mktemp)"
    { "$py" -m venv --without-pip "$venv" &&
      "$py" -m pip --python "$venv/bin/python" install -q pip &&
      "$venv/bin/python" -m pip install -q "dask[distributed]"; } >"$log" 2>&1 ||
        { tail -n 30 "$log" >&2; rm -rf "$venv"; die "installing dask[distributed] failed"; }
    rm -f "$log"
fi

build="$(BUILD_DIR="${BUILD_DIR:-$here/build}" "$here/tools/build.sh" -DSEXP_BUILD_TESTS=OFF)"
census() {
    step "census $*"
    PYTHONPATH="$build/python" "$venv/bin/python" "$here/examples/census.py" --top 5 --check "$@"
}
[[ -d $shared/formats && -d $shared/corpus ]] || die "no formats and corpus under $shared"
census "$shared/formats"
census --syntax plain "$shared/corpus"
