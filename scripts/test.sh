#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite; arguments go to ctest.
# JOBS overrides the number of parallel compile jobs and tests.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
BUILD_DIR=$build bash "$top/scripts/build.sh"
cd "$build"
ctest --output-on-failure -j "${JOBS:-$(nproc)}" --timeout 600 "$@"
