#!/usr/bin/env bash
# Builds an optimised tree (no sanitizers, no tests) and runs the link benchmark.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-bench}
bash "$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPDATER_SANITIZE=OFF -DUPDATER_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-3}" --target link_bench link_server_bench updater modsim usbbed_tool >/dev/null
"$build/bench/link_bench/link_bench"
"$build/bench/link_server_bench/link_server_bench"
