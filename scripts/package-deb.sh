#!/usr/bin/env bash
# Builds the Debian package with CPack from a Release build of the tool alone (no tests,
# no simulators; default directory: build-deb), checks what it holds and prints its path last.
#
# The build gets the flags that dpkg-buildflags gives Debian's own packages, with every
# hardening feature on: -D_FORTIFY_SOURCE=2, -fstack-protector-strong, -z relro -z now, and
# PIE (the compiler's default). Every time stamp in the package is the time of the last
# commit (SOURCE_DATE_EPOCH), so one commit gives the same package bytes wherever it is built.
# When lintian is installed, an error, a warning or any hardening tag fails the check.
#
#   JOBS=N          parallel compile jobs (default: every core), as for scripts/build.sh
#   BUILD_DIR=DIR   the build directory (default: build-deb)
#   DEB_REPRODUCE=1 builds the last commit twice, from two fresh clones in BUILD_DIR
#                   (clone-a, and clone-b under umask 077, another time zone and the C
#                   locale), prints the sha256 of both packages, fails when
#                   their bytes differ, then checks the first (CI runs it so); uncommitted
#                   changes are not in these packages
#   DEB_CHECK=FILE  only checks the package FILE, built here or elsewhere
#
# Install it with: sudo apt install ./build-deb/corvalith-updater_*.deb
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-deb}

# One of the flags that dpkg-buildflags gives for source tree $1, every hardening feature on.
debian_flag() {
  (cd "$1" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$2")
}

# Configures and builds the tool of source tree $1 in $2 and packages it there; prints the
# package's path. Run it in a subshell: it sets the umask.
build_package() {
  local source=$1 dir=$2
  # The staged directories take their modes from the umask, and the package keeps them:
  # the modes Debian's own package builds use (dpkg-buildpackage sets umask 022).
  umask 022
  # Debian's flags as its packages get them; the file-prefix map that dpkg-buildflags
  # derives from the working directory keeps the source tree's path out of the tool.
  local cflags cxxflags cppflags ldflags
  cflags=$(debian_flag "$source" CFLAGS)
  cxxflags=$(debian_flag "$source" CXXFLAGS)
  cppflags=$(debian_flag "$source" CPPFLAGS)
  ldflags=$(debian_flag "$source" LDFLAGS)
  local options=(-DCMAKE_BUILD_TYPE=Release -DUPDATER_TESTS=OFF -DUPDATER_TOOLS=OFF -DUPDATER_SANITIZE=OFF
                 -DUPDATER_TSAN=OFF "-DUPDATER_WERROR=${UPDATER_WERROR:-OFF}"
                 # CMake reads no CPPFLAGS; Release adds only NDEBUG to Debian's -O2.
                 "-DCMAKE_C_FLAGS=$cppflags $cflags" "-DCMAKE_CXX_FLAGS=$cppflags $cxxflags"
                 -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG
                 "-DCMAKE_EXE_LINKER_FLAGS=$ldflags")
  if command -v ccache >/dev/null; then
    options+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$source" -B "$dir" "${options[@]}" >/dev/null
  cmake --build "$dir" -j "${JOBS:-$(nproc)}" >&2
  rm -f "$dir"/*.deb
  # The last commit's time, else the changelog's (a tree outside git), unless one is given.
  local epoch=${SOURCE_DATE_EPOCH:-}
  [ -n "$epoch" ] || epoch=$(git -C "$source" log -1 --format=%ct 2>/dev/null) ||
    epoch=$(dpkg-parsechangelog -l "$source/packaging/changelog" -STimestamp)
  (cd "$dir" && SOURCE_DATE_EPOCH=$epoch cpack -G DEB >/dev/null)
  ls "$dir"/*.deb
}

# What a user of the package relies on: the tool stripped and hardened, its page, the rule
# where udev reads it, the shared libraries it links declared as dependencies, and lintian's
# word. Every fault found is told before the check fails.
check_package() {
  local package=$1 faults=0
  fault() { echo "$*" >&2; faults=$((faults + 1)); }
  local contents depends
  contents=$(dpkg-deb -c "$package")
  depends=$(dpkg-deb -f "$package" Depends)
  for path in '\./usr/bin/updater' '\./usr/share/man/man1/updater\.1\.gz' \
              '\./(usr/)?lib/udev/rules\.d/70-corvalith-modules\.rules'; do
    grep -Eq " $path\$" <<<"$contents" || fault "package lacks $path"
  done
  for library in libusb-1.0-0 libcurl4 libhidapi-hidraw0 zlib1g; do
    grep -q "$library" <<<"$depends" || fault "package does not depend on $library: $depends"
  done
  # The tool links no link server, so ZeroMQ stays out of its dependencies.
  if grep -Eq 'libczmq|libzmq' <<<"$depends"; then fault "package depends on ZeroMQ: $depends"; fi
  local unpacked
  unpacked=$(mktemp -d)
  dpkg-deb -x "$package" "$unpacked"
  local tool=$unpacked/usr/bin/updater
  local kind elf
  kind=$(file "$tool")
  elf=$(readelf -h -l -d -s --wide "$tool")
  rm -rf "$unpacked"
  if grep -q "not stripped" <<<"$kind"; then fault "the packaged tool is not stripped"; fi
  # What lintian's hardening tags say, checked also where lintian is not installed.
  grep -q 'Type: *DYN' <<<"$elf" || fault "the packaged tool is not position-independent"
  grep -q 'GNU_RELRO' <<<"$elf" || fault "the packaged tool is not linked with -z relro"
  grep -Eq 'FLAGS.*\bNOW\b' <<<"$elf" || fault "the packaged tool is not linked with -z now"
  grep -q '__stack_chk_fail' <<<"$elf" || fault "the packaged tool has no stack protector"
  grep -q '_chk@' <<<"$elf" || fault "the packaged tool calls no fortified function"
  if command -v lintian >/dev/null; then
    # Every tag is shown, information ones too, where the hardening tags stand.
    local report status=0
    report=$(lintian --display-info --fail-on error,warning "$package" 2>&1) || status=$?
    grep -v '^running with root privileges' <<<"$report" >&2 || true
    [ "$status" -eq 0 ] || fault "lintian found an error or a warning"
    if grep -q 'hardening-' <<<"$report"; then fault "lintian found the tool not hardened"; fi
  fi
  [ "$faults" -eq 0 ]
}

bash "$top/scripts/install-deps.sh"
if [ -n "${DEB_CHECK:-}" ]; then
  check_package "$DEB_CHECK"
  exit
fi
if [ "${DEB_REPRODUCE:-0}" = 1 ]; then
  mkdir -p "$build"
  commit=$(git -C "$top" rev-parse HEAD)
  packages=()
  # The second clone is made and built as another packager might: a strict umask, another
  # time zone and the C locale; neither may change a byte of the package.
  for clone in "$build/clone-a" "$build/clone-b"; do
    packages+=("$(
      if [ "$clone" = "$build/clone-b" ]; then
        umask 077
        export TZ=UTC-13 LC_ALL=C
      fi
      rm -rf "$clone"
      git clone -q --no-checkout "$top" "$clone"
      # HEAD of this worktree, also when it is on no branch.
      git -C "$clone" fetch -q "$top" HEAD
      git -C "$clone" checkout -q --detach FETCH_HEAD
      build_package "$clone" "$clone/build-deb"
    )")
  done
  echo "two builds of $commit:" >&2
  sha256sum "${packages[@]}" >&2
  first=$(sha256sum <"${packages[0]}")
  second=$(sha256sum <"${packages[1]}")
  if [ "$first" != "$second" ]; then
    echo "the two packages differ; their contents:" >&2
    diff <(dpkg-deb -c "${packages[0]}") <(dpkg-deb -c "${packages[1]}") >&2 || true
    cmp "${packages[0]}" "${packages[1]}" >&2 || true
    exit 1
  fi
  package=${packages[0]}
else
  package=$(build_package "$top" "$build")
fi
check_package "$package"
echo "$package"
