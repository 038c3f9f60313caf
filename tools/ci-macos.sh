#!/usr/bin/env bash
# macOS, compiled and linked: the core and its C++ tests cross-built with zig's C++ compiler
# (the package index's ziglang) for aarch64-macos and x86_64-macos, warnings as errors, with
# a GoogleTest built the same way from Debian's sources. Nothing here can run a macOS binary,
# so the run proves that the code compiles and links for macOS, not that it works there.
#
# Usage: tools/ci-macos.sh [TARGET...]   (default: aarch64-macos x86_64-macos)
#   BUILD_DIR   prefix of the build folders (default build-macos, giving build-macos-TARGET)
#   SEXP_CACHE  where zig, its build cache and GoogleTest are kept
#               (default ${XDG_CACHE_HOME:-$HOME/.cache}/sexp)
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
targets=("$@")
((${#targets[@]})) || targets=(aarch64-macos x86_64-macos)
toolchain="$here/cmake/zig-macos.cmake"
# A release known to work; zig's releases still change what they accept (0.17's headers for
# macOS lose INFINITY once <cfloat> is included, and FLT_MAX unless it is).
ZIG_SPEC="ziglang~=0.15.2"

step "tools"
need_build_tools
need_gtest_sources
zig_home="$cache/ziglang"
zig="$zig_home/ziglang/zig"
if [[ ! -f $zig_home/.complete || $(<"$zig_home/.complete") != "$ZIG_SPEC" ]]; then
    py="$("$here/tools/python.sh" --with-packaging)"
    rm -rf "$zig_home"
    mkdir -p "$cache"
    if ! PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore \
            "$py" -m pip install --target "$zig_home" "$ZIG_SPEC" >"$cache/ziglang.log" 2>&1; then
        tail -n 20 "$cache/ziglang.log" >&2
        die "could not install $ZIG_SPEC from the package index"
    fi
    printf '%s\n' "$ZIG_SPEC" >"$zig_home/.complete"
fi
"$zig" version >/dev/null || die "$zig does not run"
# zig builds its C++ library per target on first use (about a minute each) and keeps it here.
export ZIG_GLOBAL_CACHE_DIR="$cache/zig-cache"

# is_macho FILE ARCH: FILE is a 64-bit Mach-O file for ARCH (arm64 or x86_64).
is_macho() {
    local want
    case $2 in arm64) want="cffaedfe0c000001" ;; x86_64) want="cffaedfe07000001" ;; esac
    [[ $(od -An -tx1 -N8 "$1" | tr -d ' \n') == "$want" ]]
}

for target in "${targets[@]}"; do
    case $target in
        aarch64-macos) arch=arm64 ;;
        x86_64-macos) arch=x86_64 ;;
        *) die "unknown target $target (aarch64-macos or x86_64-macos)" ;;
    esac
    zig_args=(-DSEXP_ZIG="$zig" -DSEXP_ZIG_TARGET="$target")
    gtest="$(SEXP_CROSS_ID="zig $("$zig" version)" cross_gtest "$target" "$toolchain" "${zig_args[@]}")"
    gtest_dir="$(dirname "$(find "$gtest" -name GTestConfig.cmake -print -quit)")"
    [[ -f $gtest_dir/GTestConfig.cmake ]] || die "no GTestConfig.cmake under $gtest"

    build="${BUILD_DIR:-$here/build-macos}-$target"
    step "$target ($build)"
    # Tests would be listed by running them, which cannot happen here.
    cmake_build "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${zig_args[@]}" \
        -DCMAKE_BUILD_TYPE=Release -DSEXP_BUILD_MODULE=OFF -DSEXP_BUILD_TESTS=ON \
        -DSEXP_WERROR=ON -DGTest_DIR="$gtest_dir" \
        -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
    linked=0
    for exe in "$build"/tests/sexp_*tests; do
        is_macho "$exe" "$arch" || die "$exe is not a Mach-O $arch executable"
        linked=$((linked + 1))
    done
    ((linked > 0)) || die "no test executables in $build/tests"
    step "$target: the core and $linked test executables compiled and linked (not run)"
done
