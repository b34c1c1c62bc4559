#!/usr/bin/env bash
# Builds an optimised tree (no sanitizers, no tests) in a build directory of its own
# (BENCH_BUILD_DIR, default build-bench), so it never reconfigures the one the other scripts
# share, and runs the link benchmarks. JOBS overrides the number of parallel compile jobs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$top/build-bench}
BUILD_DIR=$build BUILD_TYPE=Release UPDATER_SANITIZE=OFF UPDATER_TSAN=OFF UPDATER_TESTS=OFF \
  bash "$top/scripts/build.sh" link_bench link_server_bench updater modsim usbbed_tool
"$build/bench/link_bench/link_bench"
"$build/bench/link_server_bench/link_server_bench"
