#!/usr/bin/env bash
# Talks to imxsim with an independent serial download client: Debian's imx-usb-loader
# (imx_uart, serial mode). Skips when it is not installed. Usage:
#   check-with-imx-usb-loader.sh [path/to/imxsim]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
imxsim=${1:-$here/../../build/tools/imxsim/imxsim}
if ! command -v imx_uart >/dev/null; then
  echo "imx_uart not installed (Debian package imx-usb-loader): skipped"
  exit 0
fi
work=$(mktemp -d)
rom_pid=
cleanup() {
  [ -n "$rom_pid" ] && kill "$rom_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A 4 KiB image whose IVT (at 0x400) loads it at 0x20000000 and jumps to 0x20000400.
/usr/bin/python3 - "$work/image.bin" <<'PY'
import struct, sys
image = bytearray((i * 37 + 11) & 0xFF for i in range(4096))
image[0x400:0x420] = struct.pack('<8I', 0x402000D1, 0x20000800, 0, 0, 0x20000420, 0x20000400, 0, 0)
image[0x420:0x42C] = struct.pack('<3I', 0x20000000, 4096, 0)
open(sys.argv[1], 'wb').write(image)
PY
expected_sum=$(/usr/bin/python3 -c "import sys; print('0x%08X' % (sum(open(sys.argv[1],'rb').read()) & 0xFFFFFFFF))" "$work/image.bin")
printf 'imxsim\nhid,1024,0x20000000,0x20000000,512K\n' > "$work/sim.conf"

"$imxsim" --pty --log "$work/rom.log" > "$work/rom.out" &
rom_pid=$!
for _ in $(seq 50); do grep -q '^ready pty ' "$work/rom.out" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/^ready pty /{print $3}' "$work/rom.out")
[ -n "$port" ] || { echo "imxsim did not come up"; exit 1; }

# After the jump a ROM that started its image sends nothing more, and imx_uart waits
# for an answer that never comes: its time-out after the jump is expected.
rc=0
timeout 20 imx_uart -n -N -v "$port" "$work/sim.conf" "$work/image.bin" > "$work/imx_uart.out" 2>&1 || rc=$?
log=$(cat "$work/rom.log")
fail() { echo "FAIL: $1"; echo "$log"; cat "$work/imx_uart.out"; exit 1; }
[ "$rc" -eq 0 ] || [ "$rc" -eq 124 ] || fail "imx_uart exited with $rc"
grep -q "write-file done 0x20000000 size 4096 sum $expected_sum" <<<"$log" || fail "image not written whole"
grep -q "read-register 0x20000FC0 count 64" <<<"$log" || fail "image not read back for verification"
grep -q "jump 0x20000400" <<<"$log" || fail "no jump"
echo "imx_uart: status, write-file, read-back and jump accepted by imxsim"
