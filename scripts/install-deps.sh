#!/usr/bin/env bash
# Installs, from Debian packages, everything the project and its tests need.
# Idempotent: when every package is present it only queries dpkg. gdb prints every
# thread's stack when a test hangs.
set -euo pipefail

packages=(cmake g++ clang libclang-rt-14-dev pkg-config libusb-1.0-0-dev libhidapi-dev libczmq-dev
          libcurl4-openssl-dev zlib1g-dev googletest libgtest-dev umockdev
          libumockdev-dev python3 python3-zmq iproute2 util-linux man-db groff-base
          dpkg-dev file lintian git binutils gdb)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
