#!/usr/bin/env bash
# Configures and builds the project into a build directory (default: build); arguments
# name the targets to build (default: all).
# UPDATER_SANITIZE=ON builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# UPDATER_TSAN=ON with ThreadSanitizer, UPDATER_FUZZ=ON builds the fuzz targets (with
# CC=clang CXX=clang++), UPDATER_THREAD_SAFETY=ON checks the lock annotations (with
# CC=clang CXX=clang++), UPDATER_WERROR=ON treats warnings as errors,
# UPDATER_TESTS=OFF leaves the test suite out, UPDATER_TOOLS=OFF (with it) the simulators and
# benchmarks, BUILD_TYPE sets CMAKE_BUILD_TYPE.
# A variable that is not set keeps what the build directory was configured with (a new
# one starts from the defaults), so scripts sharing a directory do not rebuild it.
# JOBS overrides the number of parallel compile jobs; ccache is used when installed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
bash "$top/scripts/install-deps.sh"
options=()
for option in UPDATER_SANITIZE UPDATER_TSAN UPDATER_FUZZ UPDATER_THREAD_SAFETY UPDATER_WERROR UPDATER_TESTS UPDATER_TOOLS; do
  [ -z "${!option:-}" ] || options+=("-D$option=${!option}")
done
[ -z "${BUILD_TYPE:-}" ] || options+=("-DCMAKE_BUILD_TYPE=$BUILD_TYPE")
if command -v ccache >/dev/null; then
  options+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build" "${options[@]}" >/dev/null
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
cmake --build "$build" -j "${JOBS:-$(nproc)}" "${targets[@]}"
