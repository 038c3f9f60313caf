#!/usr/bin/env bash
# Packaging check, offline: build a wheel and a --target install of the project through its
# build backend, then import the installed module in isolation (no build tree, no PYTHONPATH)
# and run the stub and README tests against it. Exits non-zero on any failure.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
py="$("$here/tools/python.sh" --with-packaging)"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PYTHONDONTWRITEBYTECODE=1
unset PYTHONPATH PIP_FIND_LINKS

work="$(mktemp -d)"
trap 'rm -rf -- "$work"' EXIT
log="$work/pip.log"

# pip under Debian's marker refuses system-wide installs; --target and wheel building are
# not installs into the interpreter, so no override is needed.
pip_run() {
    if ! "$py" -m pip "$@" --no-index --no-build-isolation --no-deps "$here" >"$log" 2>&1; then
        cat "$log" >&2
        echo "ci-package: pip $1 failed" >&2
        exit 1
    fi
}

pip_run wheel -w "$work/wheel"
pip_run install --target "$work/target"

"$py" -I - "$work/wheel" "$work/target" "$here" <<'EOF'
import importlib.metadata
import pathlib
import sys
import zipfile

wheel_dir, target, repo = map(pathlib.Path, sys.argv[1:])


def fail(why):
    sys.exit(f"ci-package: {why}")


wheels = list(wheel_dir.glob("sexp-0.1.0-cp314-*.whl"))
if len(wheels) != 1:
    fail(f"expected one sexp 0.1.0 wheel, found {[w.name for w in wheel_dir.iterdir()]}")
names = zipfile.ZipFile(wheels[0]).namelist()
payload = sorted(n for n in names if ".dist-info/" not in n)
if len(payload) != 2 or "_sexp.pyi" not in payload or not any(
    n.startswith("_sexp.") and n.endswith(".so") for n in payload
):
    fail(f"the wheel should hold the module and its stub only, it holds {payload}")

sys.path.insert(0, str(target))
import _sexp

module = pathlib.Path(_sexp.__file__)
if module.parent != target:
    fail(f"_sexp was imported from {module}, not from the install target {target}")
if not (target / "_sexp.pyi").is_file():
    fail("no _sexp.pyi beside the installed module")
if str(_sexp.parse(b"(a (b c))")[1]) != "(b c)":
    fail("the installed module does not parse")

meta = importlib.metadata.distribution("sexp")
if pathlib.Path(meta.locate_file("")).resolve() != target.resolve():
    fail(f"metadata found outside the target: {meta.locate_file('')}")
if (meta.version, meta.metadata["Requires-Python"]) != ("0.1.0", ">=3.14"):
    fail(f"unexpected metadata: {meta.version} {meta.metadata['Requires-Python']}")

# The stub and README tests, run against the installed module rather than a build tree.
import pytest

tests = repo / "tests" / "python"
code = pytest.main(
    ["-q", "-p", "no:cacheprovider", str(tests / "test_stub.py"), str(tests / "test_readme.py")]
)
if code != 0:
    fail(f"the stub and README tests fail on the installed module (pytest exit {code})")
print(f"ci-package: {wheels[0].name} and the --target install are good")
EOF
