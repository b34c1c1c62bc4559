#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer), replays every seed and every input that once found a fault,
# then fuzzes each target for FUZZ_SECONDS (default 20), all targets at once. New inputs
# go to a scratch directory, never into the tree; a target that fails leaves its input there.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-fuzz}
seconds=${FUZZ_SECONDS:-20}
CC=clang CXX=clang++ BUILD_DIR=$build UPDATER_FUZZ=ON bash "$top/scripts/build.sh"

fuzz_dir=$top/tests/fuzz
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
targets=()
for source in "$fuzz_dir"/*_fuzz.cpp; do
  name=$(basename "$source" _fuzz.cpp)
  targets+=("$name")
done

# Fixed limits: a hang or a runaway allocation is a fault, not a slow machine.
options=(-timeout=25 -rss_limit_mb=2048 -malloc_limit_mb=1024)
failed=0
for name in "${targets[@]}"; do
  echo "replaying $name" >&2
  if ! "$build/tests/fuzz/${name}_fuzz" "${options[@]}" -runs=0 \
      "$fuzz_dir/corpus/$name" "$fuzz_dir/faults/$name" >"$scratch/$name.replay.log" 2>&1; then
    echo "replay of $name failed:" >&2
    tail -n 40 "$scratch/$name.replay.log" >&2
    failed=1
  fi
done
[ "$failed" -eq 0 ] || exit 1

pids=()
for name in "${targets[@]}"; do
  mkdir -p "$scratch/$name"
  "$build/tests/fuzz/${name}_fuzz" "${options[@]}" -max_total_time="$seconds" \
    -artifact_prefix="$scratch/$name-" "$scratch/$name" "$fuzz_dir/corpus/$name" "$fuzz_dir/faults/$name" \
    >"$scratch/$name.log" 2>&1 &
  pids+=($!)
done
for i in "${!targets[@]}"; do
  name=${targets[$i]}
  if wait "${pids[$i]}"; then
    echo "fuzzed $name: $(grep -o 'Done [0-9]* runs' "$scratch/$name.log" | tail -n 1)" >&2
  else
    echo "fuzzing $name found a fault:" >&2
    tail -n 60 "$scratch/$name.log" >&2
    for artifact in "$scratch/$name"-*; do
      [ -e "$artifact" ] && echo "input (base64): $(base64 -w0 "$artifact")" >&2
    done
    failed=1
  fi
done
exit "$failed"
