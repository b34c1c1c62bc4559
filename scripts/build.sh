#!/usr/bin/env bash
# Configures and builds the project into a build directory (default: build).
# UPDATER_SANITIZE=ON builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# UPDATER_TSAN=ON with ThreadSanitizer;
# JOBS overrides the number of parallel compile jobs; ccache is used when installed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
bash "$top/scripts/install-deps.sh"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build" -DUPDATER_SANITIZE="${UPDATER_SANITIZE:-OFF}" \
  -DUPDATER_TSAN="${UPDATER_TSAN:-OFF}" "${launcher[@]}" >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}"
