#!/usr/bin/env bash
# Builds with the vector scan kernels switched off (-DSEXP_SIMD=OFF), so the portable byte scan
# that machines without a kernel run is tested natively, then runs both suites against it.
#
# Usage: tools/ci-portable.sh
#   BUILD_DIR  build folder (default build-portable)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build-portable}"
BUILD_DIR="$build" "$here/tools/build.sh" -DSEXP_BUILD_TESTS=ON -DSEXP_WERROR=ON -DSEXP_SIMD=OFF >/dev/null
kernel="$("$build/tests/sexp_core_tests" --gtest_filter='Scan.*' | sed -n 's/^scan kernel: //p')"
if [[ $kernel != portable ]]; then
    echo "ci-portable: the build scans with '${kernel:-?}', not the portable scan" >&2
    exit 1
fi
echo "== scan kernel: $kernel"
BUILD_DIR="$build" "$here/tools/test.sh" -DSEXP_SIMD=OFF
