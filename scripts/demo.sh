#!/usr/bin/env bash
# Builds the tool and runs its main job.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
BUILD_DIR=$build bash "$top/scripts/build.sh" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/updater/updater" -i "$work" -h
