#!/usr/bin/env bash
# Recovers a module through its boot ROM, against simulators: the LPC17xx ISP ROM on a
# pty (tools/lpcsim) and the update server (tools/update_server). Reads the chip's
# fingerprint with -N, then runs -U -t RECOVER without a file: the server names the
# module's serial number and build for the fingerprint, the build is downloaded into a
# temporary store, unscrambled with the fingerprint and written into the chip's flash.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
[ -x "$build/updater/updater" ] && [ -x "$build/tools/lpcsim/lpcsim" ] || bash "$top/scripts/build.sh"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

serial=40F5849A
build_number=1234
id=0x01020304,0x05060708,0x090A0B0C,0x0D0E0F10

# The module's firmware, 20000 bytes at 0x10000, stored scrambled with the chip's ID words;
# a block with a 4-byte payload closes the list.
head -c 20000 /dev/urandom >"$work/image.bin"
mkdir -p "$work/fixtures/$serial"
/usr/bin/python3 "$top/tools/trel_builder/trel_builder.py" --out "$work/fixtures/$serial/$build_number.trel" \
  --scramble-key 01020304,05060708,090A0B0C,0D0E0F10 --firmware-block "0x10000:@$work/image.bin" \
  --raw-block 1:0000000000000000 --info "$build_number" 1.3.0 "$serial" 19
echo "01020304 05060708 090A0B0C 0D0E0F10 $serial $build_number" >"$work/fixtures/fingerprints.txt"
printf '%s\nmodfirm\n' "$build_number" >"$work/fixtures/$serial/latest.txt"
printf '%s;1.3.0\n' "$build_number" >"$work/fixtures/$serial/builds.txt"

/usr/bin/python3 "$top/tools/update_server/update_server.py" --fixtures "$work/fixtures" >"$work/server.out" &
pids+=($!)
for _ in $(seq 100); do
  url=$(head -n1 "$work/server.out" 2>/dev/null || true)
  [ -n "$url" ] && break
  sleep 0.1
done
[ -n "$url" ] || { echo "the update server did not start" >&2; exit 1; }

# A chip fresh in its ISP loader, as after the module was reset with its ISP pin held; sets
# $port and $chip (its pid).
start_chip() {
  rm -f "$work/control" "$work/chip.out"
  mkfifo "$work/control"
  "$build/tools/lpcsim/lpcsim" --id "$id" --dump "$work/flash.bin" <"$work/control" >"$work/chip.out" &
  chip=$!
  pids+=($chip)
  exec 3>"$work/control"
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^ready pty //p' "$work/chip.out")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "lpcsim did not start" >&2
  exit 1
}

stop_chip() {
  echo quit >&3
  exec 3>&-
  wait "$chip"
}

start_chip
echo "\$ updater -N -s $port"
"$build/updater/updater" -i "$work/store" -u "$url" -N -s "$port"
stop_chip

start_chip
echo
echo "\$ updater -U -t RECOVER -s $port"
"$build/updater/updater" -i "$work/store" -u "$url" -U -t RECOVER -s "$port"
stop_chip

if cmp -s "$work/image.bin" <(tail -c +65537 "$work/flash.bin" | head -c 20000); then
  echo "The chip's flash holds the firmware at 0x10000."
else
  echo "The chip's flash does not hold the firmware." >&2
  exit 1
fi
