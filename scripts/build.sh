#!/usr/bin/env bash
# Configures and builds the project into a build directory (default: build).
# UPDATER_SANITIZE=ON builds with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
bash "$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -DUPDATER_SANITIZE="${UPDATER_SANITIZE:-OFF}" >/dev/null
cmake --build "$build" -j "$(nproc)"
