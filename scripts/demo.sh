#!/usr/bin/env bash
# The tool's main job end to end: builds it, starts a simulated update server with one
# firmware build and a simulated Ethernet module, and runs `updater -G -U -d <serial>`,
# which downloads the build and writes it into the module. Module discovery uses
# multicast, so everything runs inside a private network namespace (needs root).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}

if [ "${DEMO_IN_NAMESPACE:-}" != 1 ]; then
  BUILD_DIR=$build bash "$top/scripts/build.sh" updater modsim
  exec env DEMO_IN_NAMESPACE=1 BUILD_DIR="$build" "$top/tools/netns/netns-run" bash "$0" "$@"
fi

serial=0000C0DE
model=19           # the simulated module's model number (Hallvex)
new_build=2001
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# One firmware build on the server: a small loader and a 64 KiB firmware image.
mkdir -p "$work/fixtures/$serial"
head -c 65536 /dev/urandom >"$work/firmware.bin"
/usr/bin/python3 "$top/tools/trel_builder/trel_builder.py" --out "$work/fixtures/$serial/$new_build.trel" \
  --loader-block 0x10000000:zeros=1024 --firmware-block "0x4000:@$work/firmware.bin" \
  --info "$new_build" 1.4.0 "$serial" Hallvex
printf '%s\nhallvex-main\n' "$new_build" >"$work/fixtures/$serial/latest.txt"
printf '2000;1.3.2\n%s;1.4.0\n' "$new_build" >"$work/fixtures/$serial/builds.txt"

# Reads the first line a background program prints, waiting at most 10 s.
first_line() {
  local line
  IFS= read -r -t 10 line <"$1" || { echo "demo: $2 did not start" >&2; exit 1; }
  printf '%s' "$line"
}

mkfifo "$work/server.out" "$work/module.out"
/usr/bin/python3 "$top/tools/update_server/update_server.py" --fixtures "$work/fixtures" >"$work/server.out" &
pids+=($!)
exec 3<"$work/server.out"
url=$(first_line /dev/fd/3 "the update server")

"$build/tools/modsim/modsim" --tcp 127.0.0.2:0 --discovery --serial "$serial" --model "$model" \
  --build 2000 --version 2F010302 --update-build "$new_build" --update-version 2F010400 \
  --log "$work/module.log" >"$work/module.out" &
pids+=($!)
exec 4<"$work/module.out"
first_line /dev/fd/4 "the simulated module" >/dev/null

echo "== update server at $url, simulated module $serial on 127.0.0.2"
echo "== updater -G -U -d $serial"
"$build/updater/updater" -i "$work/store" -u "$url" -G -U -d "$serial"
echo "== updater -D -t TCPIP (the module now runs build $new_build)"
"$build/updater/updater" -i "$work/store" -u "$url" -D -t TCPIP
