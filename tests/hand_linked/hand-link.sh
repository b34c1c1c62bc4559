#!/usr/bin/env bash
# Links tests/hand_linked/sharing_probe.cpp by hand against the static libraries of the
# link core, as a packager or another build system might (the compiler called directly,
# the archives in one --start-group), runs it, and checks what it says:
#   hand-link.sh <settings file> without-library | without-registrar | with-registrar
# without-library leaves libcorvalith_linkserver.a out, without-registrar puts it in the
# group but does not ask for its registrar, with-registrar asks for it as the CMake
# target does. The first two must refuse link sharing with aErrUnimplemented and a
# message naming corvalith_linkserver; the third must not.
set -euo pipefail
settings=$1
case=$2
# CXX, CXX_FLAGS, LINK_FLAGS, PKG_CONFIG, the archives (LIB_*), INCLUDE_DIRS, WORK_DIR, SOURCE.
source "$settings"
work=$WORK_DIR/$case
rm -rf "$work"
mkdir -p "$work"
includes=()
for dir in $INCLUDE_DIRS; do includes+=("-I$dir"); done
core=("$LIB_API" "$LIB_LINK" "$LIB_DISCOVERY" "$LIB_STREAMS" "$LIB_BASE")
system=$($PKG_CONFIG --libs libusb-1.0)
case $case in
  without-library) expect=missing ;;
  without-registrar)
    expect=missing
    core+=("$LIB_LINKSERVER")
    system+=" $($PKG_CONFIG --libs libczmq libzmq)"
    ;;
  with-registrar)
    expect=present
    core+=("$LIB_LINKSERVER")
    system+=" $($PKG_CONFIG --libs libczmq libzmq) -Wl,--undefined=aLinkServer_Registrar"
    ;;
  *) echo "unknown case $case" >&2; exit 2 ;;
esac
# shellcheck disable=SC2086 # the flag lists split into their words
"$CXX" -std=c++17 $CXX_FLAGS "${includes[@]}" $($PKG_CONFIG --cflags libusb-1.0) -o "$work/probe" "$SOURCE" \
  $LINK_FLAGS -Wl,--start-group "${core[@]}" -Wl,--end-group $system -pthread
# A port nothing listens on: one the kernel just handed out and took back.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
status=0
timeout 120 "$work/probe" "$expect" "$port" >"$work/out" 2>"$work/err" || status=$?
cat "$work/out"
cat "$work/err" >&2
if [ "$status" -ne 0 ]; then
  echo "the hand-linked program ($case) did not answer as expected: exit $status" >&2
  exit 1
fi
message='link-server library corvalith_linkserver'
if [ "$expect" = missing ] && ! grep -q "$message" "$work/err"; then
  echo "the hand-linked program ($case) did not say that $message is missing" >&2
  exit 1
fi
if [ "$expect" = present ] && grep -q "$message" "$work/err"; then
  echo "the hand-linked program ($case) says the link server is missing, though it is linked in" >&2
  exit 1
fi
