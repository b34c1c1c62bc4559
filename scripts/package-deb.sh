#!/usr/bin/env bash
# Builds the Debian package with CPack from a Release build without the test suite
# (default directory: build-deb), checks what it holds and, when lintian is installed,
# that lintian finds no error in it; prints the package's path last.
# Install it with: sudo apt install ./build-deb/corvalith-updater_*.deb
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-deb}
# The test suite stays out of this build.
BUILD_TYPE=Release UPDATER_TESTS=OFF UPDATER_SANITIZE=OFF UPDATER_TSAN=OFF BUILD_DIR="$build" \
  bash "$top/scripts/build.sh"
cd "$build"
rm -f ./*.deb
cpack -G DEB >/dev/null
package=$(ls "$build"/*.deb)
# What a user of the package relies on: the tool stripped, its page, the rule where udev
# reads it, and the shared libraries it links declared as dependencies.
contents=$(dpkg-deb -c "$package")
depends=$(dpkg-deb -f "$package" Depends)
for path in '\./usr/bin/updater' '\./usr/share/man/man1/updater\.1\.gz' \
            '\./(usr/)?lib/udev/rules\.d/70-corvalith-modules\.rules'; do
  grep -Eq " $path\$" <<<"$contents" || { echo "package lacks $path" >&2; exit 1; }
done
for library in libusb-1.0-0 libcurl4 libhidapi-hidraw0 zlib1g; do
  grep -q "$library" <<<"$depends" || { echo "package does not depend on $library: $depends" >&2; exit 1; }
done
# The tool links no link server, so ZeroMQ stays out of its dependencies.
if grep -Eq 'libczmq|libzmq' <<<"$depends"; then
  echo "package depends on ZeroMQ: $depends" >&2
  exit 1
fi
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$package" "$unpacked"
if file "$unpacked/usr/bin/updater" | grep -q "not stripped"; then
  echo "the packaged tool is not stripped" >&2
  exit 1
fi
if command -v lintian >/dev/null; then
  # Errors fail the script; warnings are shown.
  lintian --fail-on error "$package" >&2
fi
echo "$package"
