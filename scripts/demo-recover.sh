#!/usr/bin/env bash
# Recovers modules through their boot ROMs, against simulators.
# LPC17xx: the ISP ROM on a pty (tools/lpcsim) and the update server (tools/update_server).
# Reads the chip's fingerprint with -N, then runs -U -t RECOVER without a file: the server
# names the module's serial number and build for the fingerprint, the build is downloaded
# into a temporary store, unscrambled with the fingerprint and written into the chip's flash.
# i.MX: the serial download ROM on a pty (tools/imxsim), whose jump starts a simulated
# module (tools/modsim) on an emulated USB bus (tools/usbbed): -U -t RECOVER with a file
# puts the file's loader into the ROM's RAM, starts it and writes the firmware through it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
for tool in updater/updater tools/lpcsim/lpcsim tools/imxsim/imxsim tools/modsim/modsim tools/usbbed/usbbed; do
  [ -x "$build/$tool" ] || { BUILD_DIR=$build bash "$top/scripts/build.sh" updater lpcsim imxsim modsim usbbed_tool; break; }
done

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

# i.MX: a firmware file with a loader (for the ROM's RAM) and one firmware block.
head -c 3000 /dev/urandom >"$work/loader.bin"
head -c 700 /dev/urandom >"$work/imx-image.bin"
/usr/bin/python3 "$top/tools/trel_builder/trel_builder.py" --out "$work/imx.trel" \
  --loader-block "0x10000000:@$work/loader.bin" --firmware-block "0x4000:@$work/imx-image.bin" \
  --info 4321 1.4.0 0000CAFE Hallvex
"$build/tools/imxsim/imxsim" --pty -- "$build/tools/modsim/modsim" --unix "$work/module.sock" \
  --log "$work/module.log" --serial CAFE --model 19 --in-loader \
  --chip-id 11111111,22222222,33333333,44444444 --dump-image "$work/module-image.bin" >"$work/rom.out" &
pids+=($!)
rom_port=
for _ in $(seq 100); do
  rom_port=$(sed -n 's/^ready pty //p' "$work/rom.out")
  [ -n "$rom_port" ] && break
  sleep 0.1
done
[ -n "$rom_port" ] || { echo "imxsim did not start" >&2; exit 1; }

# A rebooting module leaves the USB bus: unplug its emulated device when it reboots.
(
  for _ in $(seq 600); do
    grep -q reboot "$work/module.log" 2>/dev/null && break
    sleep 0.1
  done
  /usr/bin/python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.sendall(b"unplug 0000CAFE\n"); s.recv(64)' \
    "$work/bed.sock"
) &
pids+=($!)

echo
echo "\$ updater -U -t RECOVER -s $rom_port -f imx.trel -d CAFE"
"$build/tools/usbbed/usbbed" --control "$work/bed.sock" \
  --device "serial=0000CAFE,model=19,bridge=unix:$work/module.sock" -- \
  "$build/updater/updater" -i "$work/store" -u "$url" -U -t RECOVER -s "$rom_port" -f "$work/imx.trel" -d CAFE
if cmp -s "$work/imx-image.bin" "$work/module-image.bin"; then
  echo "The i.MX module holds the firmware."
else
  echo "The i.MX module does not hold the firmware." >&2
  exit 1
fi
