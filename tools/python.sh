#!/usr/bin/env bash
# Print the absolute path of a CPython interpreter that has the C headers and can run the test
# suite (pytest, hypothesis): by default one of 3.14 or newer.
#
# Usage: tools/python.sh [--version X.Y | --own | --list] [--with-EXTRA]... [--private]
#                        [--arch arm64]
#   --version X.Y     CPython X.Y (3.11 or newer) instead: the machine's own (pythonX.Y or
#                     python3 on PATH, pyenv's versions, /usr/local/bin, /usr/bin), else, as
#                     root, the one the host's Debian packages (3.11 on Debian 12), else
#                     a private one as below (Debian unstable has 3.13 to 3.15; 3.11 comes
#                     from Debian 12's archive)
#   --own             the machine's python3 when it is CPython 3.11 or newer with its headers,
#                     test tools or not (a Debian python3 gets its headers installed, as
#                     root); else as without this option
#   --list            print "X.Y PATH" for each version of CPython from 3.11 on that the
#                     machine has with its headers (the one --version X.Y starts from), and
#                     nothing else
#   --with-bench      also need the benchmark peers (orjson, lxml, sexpdata)
#   --with-packaging  also need pip, wheel and the build backend (scikit-build-core)
#   --with-typing     also need mypy (for its stubtest)
#   --private         skip $PYTHON and the machine's interpreters; always use a private one
#   --arch arm64      a private interpreter for arm64 (implies --private), run
#                     under user-mode emulation (needs qemu-aarch64, Debian
#                     package qemu-user). It lives in its own root, ROOT (the
#                     sysroot: its own loader and libraries), and the path
#                     printed is ROOT/usr/bin/python3.14-qemu, a launcher that
#                     runs `qemu-aarch64 -L ROOT ROOT/usr/bin/python3.14`
#                     under its own name, so that sys.executable is the
#                     launcher and child interpreters are emulated too.
#                     Headers are in ROOT/usr/include/python3.14.
#   PYTHON            interpreter to use (any CPython from 3.11 on, unless --version says
#                     which); it is checked and never replaced
#   SEXP_CACHE        where private interpreters and environments live
#                     (default ${XDG_CACHE_HOME:-$HOME/.cache}/sexp)
#   SEXP_DEBIAN_MIRROR, SEXP_APT_KEYRING   override the archive and its key
#
# Without a suitable interpreter, one is unpacked from Debian unstable's
# packages into the cache (py3.14, py3.13...), with its own C runtime where the
# host's is older than the archive's (else with the host's, which the modules
# built here need), using a private apt state: no root, nothing installed
# system-wide. A stamp file marks a finished prefix; anything short of that is
# redone. Progress goes to provision.log (provision-arm64.log) in the cache and
# is shown only on failure.
#
# A machine's interpreter that lacks the test tools or an extra, and a private
# one for which Debian does not build an extra's compiled packages, get a
# virtual environment of their own in the cache (venv-X.Y-ID), filled from the
# package index; its python is printed then.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"    # install_packages

die() { printf 'python.sh: %s\n' "$*" >&2; exit 1; }

# The extras, each a group of Debian packages with the modules that must then import.
declare -A EXTRA_PKGS=(
    # Their libraries (libxml2, libxslt, libicu...) follow from the dependencies.
    [bench]="python3-orjson python3-lxml python3-sexpdata"
    # pip and the build backend; CMake and Ninja come from the host.
    [packaging]="python3-pip python3-wheel python3-scikit-build-core"
    # mypy is compiled with mypyc: its runtime (librt) and helpers come along.
    [typing]="python3-mypy python3-mypy-extensions python3-typing-extensions
              python3-ast-serialize python3-librt python3-psutil python3-pathspec"
)
declare -A EXTRA_IMPORTS=(
    [bench]="orjson, lxml.etree, sexpdata"
    [packaging]="pip, wheel, scikit_build_core.build"
    [typing]="mypy.stubtest"
)
# The same from the package index, for virtual environments; the test tools always come along.
TOOLS_INDEX="pytest hypothesis"
declare -A EXTRA_INDEX=(
    [bench]="orjson lxml sexpdata"
    [packaging]="pip wheel scikit-build-core"
    [typing]="mypy"
)
# Debian builds these extras' compiled modules only for the versions its python3 supports.
COMPILED_EXTRAS=" bench typing "

extras=()    # the extras asked for
private=0
arch=
version=     # X.Y asked for; empty: 3.14 or newer
own=0
list=0
while (($#)); do
    case $1 in
        --with-*)
            [[ -n ${EXTRA_PKGS[${1#--with-}]:-} ]] || die "unknown extra: $1 (try --help)"
            extras+=("${1#--with-}") ;;
        --private) private=1 ;;
        --arch=*) arch=${1#--arch=} ;;
        --arch) (($# > 1)) || die "--arch needs a value"; arch=$2; shift ;;
        --version=*) version=${1#--version=} ;;
        --version) (($# > 1)) || die "--version needs a value"; version=$2; shift ;;
        --own) own=1 ;;
        --list) list=1 ;;
        -h|--help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
        *) die "unknown argument: $1 (try --help)" ;;
    esac
    shift
done
if [[ -n $version ]]; then
    [[ $version =~ ^3\.([0-9]+)$ ]] && ((BASH_REMATCH[1] >= 11)) ||
        die "--version takes a CPython version from 3.11 on, such as 3.13, not $version"
fi
case $arch in
    '') ;;
    arm64|aarch64) arch=arm64; private=1 ;;
    *) die "unsupported --arch $arch (only arm64)" ;;
esac
pyver=${version:-3.14}    # the version a private interpreter has
# The Debian suite it comes from: unstable, except for 3.11, which only Debian 12 packages (so
# that a Debian 13 machine, which has no 3.11 of its own, still gets one).
suite=sid
suite_name=unstable
if [[ $pyver == 3.11 ]]; then suite=bookworm; suite_name=12; fi

# Bump when the package set or the layout of the prefix or of an environment changes.
RECIPE=1

# "a|b" takes the first of the names that the archive has (t64 renames come and go).
# The C runtime: the C library with its loader, and the C++ one.
RUNTIME_PKGS=(libc6 'libc-gconv-modules-extra|libc6' libgcc-s1 libstdc++6)
BASE_PKGS=(
    'libssl3t64|libssl3'
    libexpat1 zlib1g libffi8 libbz2-1.0 liblzma5 libzstd1 libsqlite3-0
    libncursesw6 libtinfo6 'libreadline8t64|libreadline8' libuuid1
    'libdb5.3t64|libdb5.3' 'libmpdec4|libmpdec3|libc6'
    "python$pyver" "python$pyver-minimal" "libpython$pyver" "libpython$pyver-minimal"
    "libpython$pyver-stdlib" "libpython$pyver-dev" "python$pyver-dev"
    python3-pytest python3-pluggy python3-iniconfig python3-packaging
    python3-pygments python3-hypothesis python3-sortedcontainers
    'python3-attr|python3-attrs' python3-dateutil python3-six
)

# A candidate prints its absolute path, or on failure the reason, on stdout. Its arguments:
# the version wanted (X.Y, or X.Y+ for that or newer) and whether the test tools must import.
CHECK_BASE='
import os, sys, sysconfig
def no(why):
    print(why)
    sys.exit(1)
want, tools = sys.argv[1], sys.argv[2] == "1"
low = tuple(map(int, want.rstrip("+").split(".")))
have = sys.version_info[:2]
if sys.implementation.name != "cpython" or (have < low if want.endswith("+") else have != low):
    no("not CPython %s: %s %s" % (want.replace("+", " or newer"), sys.implementation.name,
                                  sys.version.split()[0]))
inc = sysconfig.get_paths()["include"]
if not os.path.isfile(os.path.join(inc, "Python.h")):
    no("no development headers (no Python.h in %s)" % inc)
if tools:
    try:
        import pytest, hypothesis
    except ImportError as e:
        no("cannot import the test tools: %s" % e)
'
# check PYTHON WANT TOOLS [EXTRA...]
check() {
    local code=$CHECK_BASE out extra
    for extra in "${@:4}"; do
        code+="
try:
    import ${EXTRA_IMPORTS[$extra]}
except ImportError as e:
    no('cannot import the $extra extra: %s' % e)
"
    done
    out=$("$1" -c "$code"$'\nprint(os.path.abspath(sys.executable))' "$2" "$3" \
            2>/dev/null </dev/null) ||
        { printf '%s\n' "${out:-does not run}"; return 1; }
    [[ $out == /* && $out != *$'\n'* ]] || { printf 'cannot tell its absolute path\n'; return 1; }
    printf '%s\n' "$out"
}

# The machine's interpreters that may be CPython X.Y, most likely first. pyenv's shims run
# only the versions it is told to, so its versions are looked for where it keeps them: under
# PYENV_ROOT, or beside the pyenv command (HOME may be another's).
machine_candidates() {
    local v=$1 p root roots=()
    for p in "python$v" python3; do
        command -v "$p" 2>/dev/null || true
    done
    [[ -z ${PYENV_ROOT:-} ]] || roots+=("$PYENV_ROOT")
    p=$(command -v pyenv 2>/dev/null) && p=$(readlink -f "$p") && roots+=("${p%/*/*}")
    roots+=("$HOME/.pyenv")
    for root in "${roots[@]}"; do
        compgen -G "$root/versions/$v.*/bin/python$v" | sort -rV || true
    done
    for p in /usr/local/bin /usr/bin; do
        [[ -x $p/python$v ]] && printf '%s\n' "$p/python$v"
    done
    return 0
}

# Installs the headers and the venv module of a CPython X.Y packaged by the host's Debian, as
# root; false where there is no such package or no way to install it.
debian_dev() {
    local v=$1
    ((EUID == 0)) && command -v apt-get >/dev/null 2>&1 || return 1
    [[ -n $(apt-cache show --no-all-versions "python$v-dev" 2>/dev/null) ]] || return 1
    install_packages "python$v" "python$v-dev" "python$v-venv" >&2
}

# ---- virtual environments -------------------------------------------------------------------

cache=${SEXP_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sexp}
locked=0
lock_cache() {
    ((!locked)) || return 0
    mkdir -p -- "$cache" || die "cannot create the cache folder $cache"
    exec 9>"$cache/lock"
    flock 9
    locked=1
}

# venv_dir BASE: the environment folder of the interpreter BASE (an absolute path).
venv_dir() {
    local v id
    v=$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    id=$(readlink -f "$1" | cksum | cut -d' ' -f1)
    printf '%s/venv-%s-%s\n' "$cache" "$v" "$id"
}

# venv_ready BASE WANT: prints the environment's python when it is made for BASE as it is now,
# with every extra asked for.
venv_ready() {
    local dir extra
    dir=$(venv_dir "$1")
    [[ -f $dir/.complete && $(<"$dir/.complete") == "$(venv_id "$1")" ]] || return 1
    for extra in "${extras[@]}"; do
        [[ -f $dir/.complete-$extra ]] || return 1
    done
    check "$dir/bin/python" "$2" 1 "${extras[@]}" >/dev/null || return 1
    printf '%s\n' "$dir/bin/python"
}
venv_id() {
    printf 'recipe=%s base=%s %s\n' "$RECIPE" "$(readlink -f "$1")" \
        "$("$1" -c 'import sys; print(sys.version.split()[0])')"
}

# venv_for BASE WANT: makes (or completes) the environment of BASE with the test tools and the
# extras asked for, from the package index, and prints its python.
venv_for() {
    local base=$1 want=$2 dir vpy log extra pkgs=($TOOLS_INDEX) out
    venv_ready "$base" "$want" && return
    lock_cache
    venv_ready "$base" "$want" && return
    dir=$(venv_dir "$base")
    vpy=$dir/bin/python
    log=$dir.log
    : >"$log"
    if ! [[ -f $dir/.complete && $(<"$dir/.complete") == "$(venv_id "$base")" ]]; then
        rm -rf -- "$dir"
        # Where the venv module cannot put pip in (Debian's without python3.X-venv), the
        # interpreter's own pip does.
        if ! "$base" -m venv "$dir" >>"$log" 2>&1; then
            rm -rf -- "$dir"
            { "$base" -m venv --without-pip "$dir" &&
              "$base" -m pip --python "$vpy" install pip; } >>"$log" 2>&1 ||
                { tail -n 30 "$log" >&2; die "cannot make a virtual environment of $base (see $log)"; }
        fi
    fi
    for extra in "${extras[@]}"; do pkgs+=(${EXTRA_INDEX[$extra]}); done
    "$vpy" -m pip install -q "${pkgs[@]}" >>"$log" 2>&1 </dev/null ||
        { tail -n 30 "$log" >&2; die "cannot install ${pkgs[*]} from the package index (see $log)"; }
    out=$(check "$vpy" "$want" 1 "${extras[@]}") ||
        die "the virtual environment $dir fails its check: $out"
    venv_id "$base" >"$dir/.complete"
    for extra in "${extras[@]}"; do : >"$dir/.complete-$extra"; done
    printf '%s\n' "$vpy"
}

# ---- the machine's interpreters ---------------------------------------------------------------

if ((list)); then
    for minor in $(seq 11 20); do
        for cand in $(machine_candidates "3.$minor"); do
            if out=$(check "$cand" "3.$minor" 0); then
                printf '3.%s %s\n' "$minor" "$out"
                break
            fi
        done
    done
    exit 0
fi

if ((own)) && ((!private)); then
    cand=${PYTHON:-python3}
    if command -v -- "$cand" >/dev/null 2>&1; then
        out=$(check "$cand" 3.11+ 0) && { printf '%s\n' "$out"; exit 0; }
        # Debian's own python3 without its headers: they are one package away.
        v=$("$cand" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) || v=
        if [[ $out == "no development headers"* && $(readlink -f "$(command -v -- "$cand")") == \
                /usr/bin/python$v ]] && debian_dev "$v"; then
            out=$(check "$cand" 3.11+ 0) && { printf '%s\n' "$out"; exit 0; }
        fi
    fi
    [[ -z ${PYTHON:-} ]] || die "PYTHON=$PYTHON: ${out:-not found}"
fi

want=${version:-3.14+}
if ((!private)); then
    if [[ -n ${PYTHON:-} ]]; then
        if ! command -v -- "$PYTHON" >/dev/null 2>&1; then
            die "PYTHON=$PYTHON: not found"
        fi
        # Whoever names an interpreter may pick any version the module supports.
        out=$(check "$PYTHON" "${version:-3.11+}" 1 "${extras[@]}") || die "PYTHON=$PYTHON: $out"
        printf '%s\n' "$out"
        exit 0
    fi
    if [[ -z $version ]]; then
        names=(python3.14 python3.15 python3.16 python3.17 python3)
    else
        mapfile -t names < <(machine_candidates "$version")
    fi
    base=    # an interpreter of the version, with headers, that lacks modules
    for name in "${names[@]}"; do
        command -v "$name" >/dev/null 2>&1 || continue
        if out=$(check "$name" "$want" 1 "${extras[@]}"); then
            printf '%s\n' "$out"
            exit 0
        fi
        [[ -n $base || -z $version ]] || base=$(check "$name" "$want" 0) || base=
    done
    if [[ -n $version && -z $base ]] && debian_dev "$version"; then
        base=$(check "/usr/bin/python$version" "$want" 0) || base=
    fi
    if [[ -n $base ]]; then
        venv_for "$base" "$want"
        exit 0
    fi
fi

# ---- private interpreter ----------------------------------------------------

# The host's own architecture runs natively, its binary patched to use the
# prefix's loader and libraries; a foreign one gets a root of its own that
# qemu-user takes as its sysroot (-L), so nothing needs patching there.
if [[ -z $arch ]]; then
    [[ $(uname -m) == x86_64 ]] || die "the private interpreter is only set up for x86_64, not $(uname -m); set PYTHON"
    ARCH=amd64
    TRIPLET=x86_64-linux-gnu
    LOADER=ld-linux-x86-64.so.2
    QEMU=
    suffix=
else
    ARCH=$arch
    TRIPLET=aarch64-linux-gnu
    LOADER=ld-linux-aarch64.so.1
    QEMU=qemu-aarch64
    suffix=-$ARCH
    command -v "$QEMU" >/dev/null 2>&1 ||
        die "needs $QEMU (Debian package qemu-user) to run an $ARCH interpreter"
fi

mkdir -p -- "$cache" || die "cannot create the cache folder $cache"
cache=$(cd -- "$cache" && pwd -P)
prefix=$cache/py$pyver$suffix
bin=$prefix/usr/bin/python$pyver
libdir=$prefix/usr/lib/$TRIPLET
if [[ -n $QEMU ]]; then py=$bin-qemu; else py=$bin; fi
log=$cache/provision$suffix.log

# A finished part of the prefix: the base (no name) or an extra.
stamp() { printf '%s/.complete%s' "$prefix" "${1:+-$1}"; }
stamped() { [[ -f $(stamp "$1") && $(<"$(stamp "$1")") == "recipe=$RECIPE" ]]; }
ready() {
    local extra
    stamped '' || return 1
    for extra in "${extras[@]}"; do stamped "$extra" || return 1; done
}

# Prints the finished prefix's interpreter, or that of the environment made over it for
# extras that Debian does not build for its version.
finished() {
    if ready; then
        printf '%s\n' "$py"
        return 0
    fi
    stamped '' && venv_ready "$py" "$pyver"
}
finished && exit 0

for tool in apt-get apt-cache dpkg flock; do
    command -v "$tool" >/dev/null 2>&1 || die "needs $tool to provision a private interpreter (or set PYTHON)"
done

lock_cache
finished && exit 0    # another run finished it while this one waited

: >"$log"
fail() {
    {
        printf 'python.sh: %s\n' "$*"
        if [[ -s $log ]]; then
            printf 'python.sh: last lines of %s:\n' "$log"
            tail -n 30 "$log"
        fi
    } >&2
    exit 1
}
trap 'fail "unexpected failure at line $LINENO"' ERR
run() {
    printf '+ %s\n' "$*" >>"$log"
    "$@" >>"$log" 2>&1 </dev/null
}

mirror=${SEXP_DEBIAN_MIRROR:-http://deb.debian.org/debian}
keyring=${SEXP_APT_KEYRING:-/usr/share/keyrings/debian-archive-keyring.gpg}
[[ -r $keyring ]] || fail "no Debian archive keyring at $keyring (package debian-archive-keyring; or set SEXP_APT_KEYRING)"

apt=$cache/apt$suffix
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/debs"
printf 'deb [signed-by=%s] %s %s main\n' "$keyring" "$mirror" "$suite" >"$apt/sources.list"
: >"$apt/status"
# Unstable's lists are valid for a week only; a mirror that lags the clock (or a clock that
# lags the mirror) must not stop provisioning, and the archive's signature still vouches for them.
APT_OPTS=(
    -o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false
    -o "Dir::Etc::sourcelist=$apt/sources.list" -o Dir::Etc::sourceparts=/dev/null
    -o Dir::Etc::preferences=/dev/null -o Dir::Etc::preferencesparts=/dev/null
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
    -o "Dir::State::status=$apt/status" -o Debug::NoLocking=1
    -o "APT::Architecture=$ARCH" -o "APT::Architectures=$ARCH"
    -o "APT::Sandbox::User=$(id -un)" -o Acquire::Languages=none
    -o Dir::Cache::pkgcache=pkgcache.bin -o Dir::Cache::srcpkgcache=
)
acache() { apt-cache "${APT_OPTS[@]}" "$@" 2>>"$log" </dev/null; }

# Names the archive has among those given (purely virtual ones print nothing).
available() {
    { acache show --no-all-versions "$@" || true; } | sed -n 's/^Package: //p' | sort -u
}

# The roots plus the libraries and python3-* modules they depend on, recursively,
# less what the prefix already has. Other interpreters' packages, -dev packages
# and non-library helpers (tzdata, readline-common...) are left out: the host
# provides those.
closure() {
    declare -A seen=()
    local todo=("$@") next p
    if [[ -f $prefix/.packages ]]; then
        while read -r p; do seen[$p]=0; done <"$prefix/.packages"
    fi
    for p in "$@"; do seen[$p]=1; done
    for p in "${host_provides[@]}"; do seen[$p]=0; done
    while ((${#todo[@]})); do
        next=()
        while read -r p; do
            [[ -z $p || -n ${seen[$p]:-} ]] && continue
            case $p in
                python3|python3-minimal|python3-dev|python3-all*|python3-venv) continue ;;
                *python$pyver*) ;;
                *python3.[0-9]*|*-dev|*-doc) continue ;;
                lib*|python3-*) ;;
                *) continue ;;
            esac
            seen[$p]=1
            next+=("$p")
        done < <(acache depends --no-recommends --no-suggests --no-conflicts \
                    --no-breaks --no-replaces --no-enhances "${todo[@]}" |
                 awk '/^ *\|?(Pre)?Depends: / { n = $2; if (n ~ /^</) { virt = 1; next } print n; virt = 0; next }
                      /^    [^ ]/ && virt { print $1; virt = 0; next }
                      { virt = 0 }')
        todo=("${next[@]}")
    done
    for p in "${!seen[@]}"; do
        ((seen[$p])) || continue
        printf '%s\n' "$p"
    done | sort
}

# Resolves, downloads and unpacks a group of packages into the prefix.
unpack_group() {
    local spec alt alts missing=() roots=() pkgs found
    found=" $(available $(tr '|' ' ' <<<"$*") | tr '\n' ' ') "
    for spec in "$@"; do
        IFS='|' read -ra alts <<<"$spec"
        for alt in "${alts[@]}" ''; do
            [[ -n $alt && $found == *" $alt "* ]] && break
        done
        if [[ -n $alt ]]; then roots+=("$alt"); else missing+=("${spec//|/ or }"); fi
    done
    ((${#missing[@]} == 0)) || fail "Debian $suite_name has no package ${missing[*]}"
    mapfile -t pkgs < <(closure "${roots[@]}")
    printf 'packages: %s\n' "${pkgs[*]}" >>"$log"
    rm -f "$apt/debs"/*.deb
    (cd "$apt/debs" && run apt-get -q "${APT_OPTS[@]}" download "${pkgs[@]}") ||
        fail "downloading the packages failed"
    local deb
    for deb in "$apt/debs"/*.deb; do
        run dpkg -x "$deb" "$prefix" || fail "unpacking $(basename "$deb") failed"
    done
    rm -f "$apt/debs"/*.deb
    # Debian 12's packages still put the C library in /lib: merged into /usr, as later ones are.
    local d
    for d in lib lib64 bin sbin; do
        [[ -d $prefix/$d && ! -L $prefix/$d ]] || continue
        mkdir -p "$prefix/usr/$d"
        cp -a "$prefix/$d/." "$prefix/usr/$d/" && rm -rf -- "${prefix:?}/$d" &&
            ln -s "usr/$d" "$prefix/$d" || fail "merging $d into usr/$d failed"
    done
    printf '%s\n' "${pkgs[@]}" >>"$prefix/.packages"
}

# Native: the binary is patched to load the prefix's C library and libraries.
provide_native() {
    local patchelf how patched
    patchelf=$(command -v patchelf || true)
    [[ -n $patchelf ]] || base+=(patchelf)
    unpack_group "${base[@]}"
    [[ -x $bin ]] || fail "the packages did not bring $bin"
    local interp=()
    if ((!host_runtime)); then
        [[ -x $libdir/$LOADER ]] || fail "the packages did not bring $libdir/$LOADER"
        interp=(--set-interpreter "$libdir/$LOADER")
    fi

    # A patchelf from the archive needs the archive's C library to run, unless the host's serves.
    if [[ -n $patchelf ]]; then
        pe() { run "$patchelf" "$@"; }
    elif ((host_runtime)); then
        pe() { run "$prefix/usr/bin/patchelf" "$@"; }
    else
        pe() { run "$libdir/$LOADER" --library-path "$libdir" "$prefix/usr/bin/patchelf" "$@"; }
    fi
    # DT_RPATH rather than RUNPATH: it also serves the libraries that the
    # extension modules pull in. Some patchelf versions lay out overlapping
    # segments when asked for both changes at once on this non-PIE binary,
    # so patch in two steps, and keep a fallback layout; the run decides.
    cp -p "$bin" "$bin.orig"
    patched=0
    for how in split bigpage; do
        cp -p "$bin.orig" "$bin"
        case $how in
            split) pe --force-rpath --set-rpath "$libdir" "$bin" &&
                   { ((!${#interp[@]})) || pe "${interp[@]}" "$bin"; } ;;
            bigpage) pe --page-size 65536 --force-rpath --set-rpath "$libdir" "${interp[@]}" \
                        "$bin" ;;
        esac || continue
        if run "$bin" -c 'import sys; assert sys.prefix == sys.argv[1], sys.prefix' "$prefix/usr"; then
            patched=1
            break
        fi
    done
    rm -f "$bin.orig"
    ((patched)) || fail "could not make $bin run with its own C library"
}

# Foreign: the loader is found where the binary names it (/lib) inside the
# root that qemu is given, and a launcher stands in for the interpreter.
provide_foreign_root() {
    unpack_group "${base[@]}"
    [[ -x $bin && -x $libdir/$LOADER ]] || fail "the packages did not bring $bin and $libdir/$LOADER"
    if [[ ! -e $prefix/lib/$LOADER ]]; then
        [[ -e $prefix/lib ]] || ln -s usr/lib "$prefix/lib"
        [[ -e $prefix/lib/$LOADER ]] || ln -sf "../usr/lib/$TRIPLET/$LOADER" "$prefix/lib/$LOADER"
    fi
    cat >"$py" <<LAUNCHER
#!/bin/sh
# Runs the $ARCH interpreter beside this file under $QEMU, with this file as its
# program name: sys.executable then names this launcher, so child interpreters
# that Python code starts run under emulation too. Debian builds with pointer
# authentication, which the emulator's default CPU computes the costly way
# (some twenty times slower overall); QEMU_CPU overrides the CPU chosen here.
self=\$(readlink -f "\$0")
here=\${self%/*}
exec $QEMU -cpu "\${QEMU_CPU:-max,pauth=off}" -L "\${here%/usr/bin}" -0 "\$self" \\
    "\$here/python$pyver" "\$@"
LAUNCHER
    chmod +x "$py"
    run "$py" -c 'import sys; assert sys.prefix == sys.argv[1], sys.prefix' "$prefix/usr" ||
        fail "the $ARCH interpreter does not run under $QEMU"
}

run apt-get -q --error-on=any "${APT_OPTS[@]}" update &&
    compgen -G "$apt/lists/*_Packages*" >/dev/null ||
    fail "apt-get update against $mirror failed"

# Modules built here by the host's compiler need a C++ library and C library symbols at least as
# new as the host's: where the host's runtime is not older than the archive's (an older suite,
# as Debian 12's for 3.11 on Debian 13), the interpreter runs on the host's.
host_runtime=0
host_provides=()
if [[ -z $QEMU ]]; then
    host_libc=$(getconf GNU_LIBC_VERSION 2>/dev/null) || host_libc=
    suite_libc=$(acache show --no-all-versions libc6 | sed -n 's/^Version: //p')
    if [[ $host_libc == 'glibc '* && -n $suite_libc ]] &&
            dpkg --compare-versions "${host_libc#glibc }" ge "${suite_libc%%-*}"; then
        host_runtime=1
        host_provides=($(tr '|' ' ' <<<"${RUNTIME_PKGS[*]}"))
    fi
fi

if ! stamped ''; then
    rm -rf -- "$prefix"
    mkdir -p "$prefix"
    base=("${BASE_PKGS[@]}")
    ((host_runtime)) || base+=("${RUNTIME_PKGS[@]}")
    if [[ -n $QEMU ]]; then provide_foreign_root; else provide_native; fi

    # Debian's pyconfig.h only dispatches to a multiarch copy; put the real one
    # in place so that -I of the include folder alone is enough.
    real=$prefix/usr/include/$TRIPLET/python$pyver/pyconfig.h
    [[ -f $real ]] || fail "no $real in the unpacked headers"
    cp -f "$real" "$prefix/usr/include/python$pyver/pyconfig.h"

    out=$(check "$py" "$pyver" 1) || fail "the private interpreter fails its check: $out"
    run "$py" -c 'import ssl, sqlite3, ctypes, decimal, readline, lzma, bz2, zlib, uuid, dbm' ||
        fail "the private interpreter lacks a standard module"
    printf 'recipe=%s\n' "$RECIPE" >"$(stamp '')"
fi

# Debian builds compiled modules for the versions its python3 supports (python3-all's).
# An older suite's extras are too old or missing: there every extra comes from the index.
debian_builds=0
[[ $(acache show --no-all-versions python3-all | sed -n 's/^Depends: //p') =~ \
    (^|[ ,])python$pyver([ ,]|$) ]] && debian_builds=1
from_index=0
for extra in "${extras[@]}"; do
    stamped "$extra" && continue
    if [[ $suite != sid ]] || { [[ $COMPILED_EXTRAS == *" $extra "* ]] && ((!debian_builds)); }; then
        from_index=1
        continue
    fi
    rm -f -- "$(stamp "$extra")"
    unpack_group ${EXTRA_PKGS[$extra]}
    out=$(check "$py" "$pyver" 1 "$extra") || fail "the $extra extra does not load: $out"
    printf 'recipe=%s\n' "$RECIPE" >"$(stamp "$extra")"
done
# Debian's pip, which fills the environment, serves every version.
if ((from_index)) && ! stamped packaging && ! stamped pip; then
    unpack_group python3-pip python3-wheel
    printf 'recipe=%s\n' "$RECIPE" >"$(stamp pip)"
fi

rm -rf -- "$apt"    # the package lists are fetched anew for each provisioning
trap - ERR

if ((from_index)); then
    [[ -z $QEMU ]] || die "Debian builds no $ARCH packages of ${extras[*]} for $pyver"
    venv_for "$py" "$pyver"
else
    printf '%s\n' "$py"
fi
