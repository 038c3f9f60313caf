# Steps the project's scripts share; sourced, never run:  . "$(dirname "$0")/lib.sh"
#
# Gives the sourcing script `here` (the checkout), `cache` (where provisioned things are kept),
# the messages `say`, `die` and `step`, and the steps below. Each step is written once here,
# so that a new machine's needs are one change.
#   SEXP_CACHE   cache folder (default ${XDG_CACHE_HOME:-$HOME/.cache}/sexp)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${SEXP_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sexp}"
me="$(basename "$0" .sh)"

say() { printf '%s: %s\n' "$me" "$*" >&2; }
die() { say "$*"; exit 1; }
step() { printf '== %s [%ds]\n' "$*" "$SECONDS"; }

# ---- Debian packages -----------------------------------------------------------------------

# need PACKAGE=WHAT ...: makes sure each WHAT is there (a command on PATH, or an absolute path),
# installing the Debian PACKAGE that brings it when it is not. As root with apt-get: the package
# lists are refreshed once first (unless fresher than an hour), and another apt-get's lock is
# waited for. Otherwise the script stops, naming the packages.
need() {
    local spec what missing=()
    for spec; do
        what=${spec#*=}
        if [[ $what == /* ]]; then
            [[ -e $what ]] && continue
        else
            command -v "$what" >/dev/null 2>&1 && continue
        fi
        missing+=("${spec%%=*}")
    done
    ((${#missing[@]} == 0)) || install_packages "${missing[@]}"
}

install_packages() {
    if ((EUID != 0)) || ! command -v apt-get >/dev/null 2>&1; then
        die "needs the Debian packages: $* (as root: apt-get install $*; on other systems," \
            "their equivalents, see the README)"
    fi
    say "installing $*"
    local log opts=(-q -o DPkg::Lock::Timeout=900)
    log="$(mktemp)"
    export DEBIAN_FRONTEND=noninteractive
    if [[ -z $(find /var/lib/apt/lists -maxdepth 1 -name '*_Packages*' -mmin -60 -print -quit \
                2>/dev/null) ]]; then
        apt-get "${opts[@]}" update >"$log" 2>&1 || { cat "$log" >&2; die "apt-get update failed"; }
    fi
    if ! apt-get "${opts[@]}" install -y --no-install-recommends "$@" >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        die "apt-get install $* failed"
    fi
    rm -f "$log"
}

# The host's build tools: a C++ compiler, CMake (any on PATH, as from the package index, else
# Debian's) and Ninja when it can be had.
need_build_tools() {
    need g++=g++ cmake=cmake ninja-build=ninja
}

# GoogleTest built for this machine (headers, libraries and CMake files).
need_gtest() {
    need libgtest-dev=/usr/include/gtest/gtest.h
}

# GoogleTest's sources, for building it with a cross compiler.
need_gtest_sources() {
    need googletest=/usr/src/googletest/CMakeLists.txt
}

# ---- building ------------------------------------------------------------------------------

# cmake_build BUILD_DIR [cmake arguments...]: configures the checkout into BUILD_DIR (with Ninja
# where there is one) and builds it. Output goes to BUILD_DIR/build.log and is shown on failure.
cmake_build() {
    local build=$1 gen=()
    shift
    command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
    # A folder configured by another generator cannot be configured again, one whose
    # toolchain file has changed since would keep the compilers and tools it found before, and
    # one configured for another interpreter would keep that one's headers.
    local arg stale=0
    if [[ -f $build/CMakeCache.txt ]]; then
        grep -qx "CMAKE_GENERATOR:INTERNAL=${gen[1]:-Unix Makefiles}" "$build/CMakeCache.txt" ||
            stale=1
        for arg; do
            [[ $arg == -DCMAKE_TOOLCHAIN_FILE=* && ${arg#*=} -nt $build/CMakeCache.txt ]] && stale=1
            [[ $arg == -DPython_EXECUTABLE=* ]] &&
                ! grep -qxF "_Python_EXECUTABLE:INTERNAL=${arg#*=}" "$build/CMakeCache.txt" &&
                stale=1
        done
    fi
    ((stale == 0)) || rm -rf "$build"
    mkdir -p "$build"
    if ! { cmake -S "$here" -B "$build" "${gen[@]}" "$@" &&
           cmake --build "$build" -j "${JOBS:-$(nproc)}"; } >"$build/build.log" 2>&1; then
        tail -n 60 "$build/build.log" >&2
        die "build failed (full log: $build/build.log)"
    fi
}

# cross_gtest NAME TOOLCHAIN_FILE [cmake arguments...]: GoogleTest built from Debian's sources
# with a cross toolchain into the cache, once per version of the sources, toolchain file and
# compiler; prints its install prefix. A half-built one is never used.
cross_gtest() {
    local name=$1 toolchain=$2 prefix work id
    shift 2
    need_gtest_sources
    prefix="$cache/googletest-$name"
    id="googletest $(dpkg-query -W -f '${Version}' googletest 2>/dev/null || echo unknown)"
    id+="; $(cksum <"$toolchain"); $*; ${SEXP_CROSS_ID:-}"
    if [[ -f $prefix/.complete && $(<"$prefix/.complete") == "$id" ]]; then
        printf '%s\n' "$prefix"
        return
    fi
    say "building GoogleTest for $name"
    mkdir -p "$cache"
    work="$(mktemp -d "$cache/googletest-build.XXXXXX")"
    local gen=()
    command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
    if ! { cmake -S /usr/src/googletest -B "$work/build" "${gen[@]}" \
               -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
               -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$work/prefix" "$@" &&
           cmake --build "$work/build" -j "${JOBS:-$(nproc)}" &&
           cmake --install "$work/build"; } >"$work/log" 2>&1; then
        tail -n 40 "$work/log" >&2
        rm -rf "$work"
        die "building GoogleTest for $name failed"
    fi
    printf '%s\n' "$id" >"$work/prefix/.complete"
    rm -rf "$prefix"
    mv "$work/prefix" "$prefix"
    rm -rf "$work"
    printf '%s\n' "$prefix"
}

# ---- interpreters --------------------------------------------------------------------------

# tested_pythons: the CPython versions CI tests, one line each, "X.Y ARGS...", where ARGS make
# tools/python.sh give that version's interpreter: the machine's python3 for its own version;
# Debian unstable's for 3.13, 3.14 and 3.15; the machine's for any other version from 3.11 on
# that it has; and 3.11, the oldest supported, always (on Debian 12, its packages bring it;
# elsewhere, Debian 12's archive).
tested_pythons() {
    local own v path
    local -A args=([3.11]="--version 3.11")
    for v in 3.13 3.14 3.15; do args[$v]="--version $v --private"; done
    while read -r v path; do
        [[ -n ${args[$v]:-} ]] || args[$v]="--version $v"
    done < <("$here/tools/python.sh" --list)
    own=$(python3 -c 'import sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 11):
    print("%d.%d" % sys.version_info[:2])' 2>/dev/null) || own=
    [[ -z $own ]] || args[$own]="--version $own"
    for v in "${!args[@]}"; do
        printf '%s %s\n' "$v" "${args[$v]}"
    done | sort -V
}

# ---- running -------------------------------------------------------------------------------

# run_pytest SECONDS PYTHON MODULE_DIR [pytest arguments...]: the whole Python suite (unless
# the arguments name tests) against the module built in MODULE_DIR, under a deadline, so that
# a hang fails the run. TEST_TIMEOUT: seconds for one test before its stacks are dumped;
# the array pytest_env: more VAR=VALUE settings for the interpreter alone.
pytest_env=()
run_pytest() {
    local seconds=$1 py=$2 dir=$3 status=0
    shift 3
    local where=("$here/tests/python") a
    for a; do [[ $a != -* && -e ${a%%::*} ]] && where=(); done
    timeout --kill-after=30 "$seconds" \
        env "${pytest_env[@]}" PYTHONPATH="$dir" PYTHONDONTWRITEBYTECODE=1 \
        "$py" -m pytest -q -p no:cacheprovider -o faulthandler_timeout="${TEST_TIMEOUT:-600}" \
        "${where[@]}" "$@" || status=$?
    case $status in
        0) ;;
        124|137) say "the Python suite did not finish in ${seconds}s" ;;
        *) say "the Python suite failed (exit $status)" ;;
    esac
    return "$status"
}

# expect_kernel NAME LOG: the scan test prints the kernel the build scans with; LOG must name
# NAME and no other.
expect_kernel() {
    local kernels
    kernels="$(grep -aho 'scan kernel: [A-Za-z0-9_]*' "$2" | sort -u | sed 's/^scan kernel: //')"
    [[ -n $kernels ]] || die "no test printed its scan kernel (see $2)"
    [[ $kernels == "$1" ]] || die "the build scans with '${kernels//$'\n'/, }', not $1"
    step "scan kernel: $1"
}

# ---- clang ---------------------------------------------------------------------------------

# find_clang: sets `clang` to a clang++ on PATH (CXX_FUZZ if set; else clang++, else the
# newest clang++-N), installing Debian's default clang when there is none, and makes sure its
# libFuzzer and sanitizer runtimes are there (Debian's libclang-rt-N-dev for its version N).
find_clang() {
    clang=${CXX_FUZZ:-}
    if [[ -z $clang ]]; then
        clang=$(compgen -c clang++ | grep -E '^clang\+\+(-[0-9]+)?$' | sort -t- -k2,2n | tail -n 1 || true)
        if [[ -z $clang ]]; then
            need clang=clang++
            clang=clang++
        fi
    fi
    command -v "$clang" >/dev/null 2>&1 || die "no $clang"
    local probe major
    probe="$(mktemp -d)"
    printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' \
        >"$probe/p.cpp"
    if ! "$clang" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" \
            >/dev/null 2>&1; then
        major="$("$clang" -dumpversion)"
        major=${major%%.*}
        install_packages "libclang-rt-$major-dev"
        "$clang" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" ||
            die "$clang cannot link a fuzzer with the sanitizers"
    fi
    rm -rf "$probe"
}
