#!/usr/bin/env bash
# Builds with the vector scan kernels switched off (-DSEXP_SIMD=OFF), so the portable byte scan
# that machines without a kernel run is tested natively, then runs both suites against it.
#
# Usage: tools/ci-portable.sh
#   BUILD_DIR  build folder (default build-portable)
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
export BUILD_DIR="${BUILD_DIR:-$here/build-portable}"
"$here/tools/test.sh" -DSEXP_SIMD=OFF
expect_kernel portable "$BUILD_DIR/Testing/Temporary/LastTest.log"
