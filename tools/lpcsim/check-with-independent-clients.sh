#!/usr/bin/env bash
# Checks lpcsim against ISP clients written by others (Debian's lpc21isp and lpctools):
# detect, program and verify, id, flash and dump must all succeed. Each client that is not
# installed is skipped. Not part of the test suite.
#
#   tools/lpcsim/check-with-independent-clients.sh [path/to/lpcsim]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
lpcsim=${1:-$here/../../build/tools/lpcsim/lpcsim}
[ -x "$lpcsim" ] || { echo "lpcsim not found at $lpcsim (build it first)" >&2; exit 2; }

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The image: 10000 bytes over three sectors.
head -c 10000 /dev/urandom >"$work/image.bin"
failures=0

# Starts a fresh simulator (flash all 0x00, so erasing is seen) and sets $port.
start_sim() {
  stop_sim
  mkfifo "$work/control"
  "$lpcsim" --fill 0 --dump "$work/flash.bin" --log "$work/events.log" <"$work/control" >"$work/sim.out" &
  sim_pid=$!
  exec 3>"$work/control"
  for _ in $(seq 50); do
    port=$(sed -n 's/^ready pty //p' "$work/sim.out")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "lpcsim did not start" >&2
  exit 1
}

# Quits the simulator, which writes its flash to $work/flash.bin.
stop_sim() {
  if [ -n "$sim_pid" ]; then
    echo quit >&3
    exec 3>&-
    wait "$sim_pid" || true
    sim_pid=
  fi
  rm -f "$work/control"
}

check() {
  local name=$1
  shift
  local run=(timeout 60)
  [ "$(type -t "$1")" = function ] && run=()
  if "${run[@]}" "$@" >"$work/client.out" 2>&1; then
    echo "ok   $name"
  else
    echo "FAIL $name"
    sed 's/^/     /' "$work/client.out"
    failures=$((failures + 1))
  fi
}

# The first n bytes of the dumped flash equal the image, except the vector checksum word
# (0x1C) that the clients write into the image as the ROM requires.
flash_holds_image() {
  cmp <(head -c 28 "$work/image.bin") <(head -c 28 "$work/flash.bin") &&
    cmp <(tail -c +33 "$work/image.bin") <(head -c 10000 "$work/flash.bin" | tail -c +33)
}

if command -v lpc21isp >/dev/null; then
  start_sim
  check "lpc21isp -detectonly" lpc21isp -detectonly "$port" 115200 14746
  start_sim
  check "lpc21isp -bin -verify" lpc21isp -bin -verify "$work/image.bin" "$port" 115200 14746
  stop_sim
  check "lpc21isp image in flash" flash_holds_image
else
  echo "skip lpc21isp (not installed)"
fi

if command -v lpcprog >/dev/null; then
  # Debian's parts file lacks the LPC1769. lpcprog knows only sectors of one size, so the
  # line describes the chip's first 64 KB: sixteen 4 KB sectors, as on the real part.
  echo "0x26113F37, LPC1769FBD100, 0x00000000, 0x10000, 16, 0x04, 0x10000000, 0x8000, 0x800, 0x800, 1" \
    >"$work/parts.def"
  start_sim
  check "lpcprog id" lpcprog -p "$work/parts.def" -d "$port" -c id
  check "lpcprog flash" lpcprog -p "$work/parts.def" -d "$port" -c flash "$work/image.bin"
  check "lpcprog dump" lpcprog -p "$work/parts.def" -d "$port" -c dump "$work/dumped.bin"
  stop_sim
  check "lpcprog image in flash" flash_holds_image
  check "lpcprog dump equals flash" cmp "$work/dumped.bin" <(head -c 65536 "$work/flash.bin")
else
  echo "skip lpcprog (not installed)"
fi

[ "$failures" -eq 0 ] && echo "all independent clients agree with lpcsim" || exit 1
