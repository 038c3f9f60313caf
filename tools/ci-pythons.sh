#!/usr/bin/env bash
# Builds the module against every CPython version CI tests (3.11 to 3.15: see tested_pythons in
# lib.sh) and runs, with each, the whole Python suite (the README's examples included) and
# mypy's stubtest; where the build stands in for the interpreter's lock (before 3.13), also the
# thread tests with the per-tree lock compiled in. Prints the versions it tested. Fails where a
# version cannot be had or fails.
#
# Usage: tools/ci-pythons.sh [X.Y...]   (default: every version CI tests)
#   PYTHONS_TIMEOUT   seconds for one version's suite (default: 900)
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
mapfile -t lines < <(tested_pythons)
if (($#)); then
    all=("${lines[@]}")
    lines=()
    for v; do
        for line in "${all[@]}" ''; do [[ $line == "$v "* ]] && break; done
        [[ -n $line ]] || die "CI does not test CPython $v (it tests" \
            "$(printf '%s\n' "${all[@]}" | cut -d' ' -f1 | paste -sd' '))"
        lines+=("$line")
    done
fi

tested=()
for line in "${lines[@]}"; do
    read -r v args <<<"$line"
    step "CPython $v"
    # shellcheck disable=SC2086 # the arguments are words
    py="$("$here/tools/python.sh" $args --with-typing)" || die "no CPython $v to test"
    build="$here/build-py$v"
    PYTHON="$py" BUILD_DIR="$build" "$here/tools/build.sh" -DSEXP_BUILD_TESTS=OFF \
        -DSEXP_WERROR=ON >/dev/null
    run_pytest "${PYTHONS_TIMEOUT:-900}" "$py" "$build/python" ||
        die "the Python suite fails on CPython $v ($py)"
    PYTHON="$py" BUILD_DIR="$build" "$here/tools/ci-stubtest.sh" ||
        die "stubtest fails on CPython $v ($py)"
    if [[ $("$py" -c 'import sys; print(int(sys.version_info < (3, 13)))') == 1 ]]; then
        step "CPython $v, the per-tree lock compiled in: the thread tests"
        PYTHON="$py" BUILD_DIR="$build-locked" "$here/tools/ci-locked.sh" \
            "$here/tests/python/test_threads.py" || die "the thread tests fail on CPython $v locked"
    fi
    tested+=("$("$py" -c 'import sys; print(sys.version.split()[0], "(%s)" % sys._base_executable)')")
done
step "tested"
printf '  CPython %s\n' "${tested[@]}"
