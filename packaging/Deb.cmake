# The Debian package: `cpack -G DEB` in a Release build directory (scripts/package-deb.sh)
# gives corvalith-updater_<version>_<arch>.deb with the stripped tool, its manual page and
# the udev rule in udev's own directory, depending on the libraries that dpkg-shlibdeps
# finds the tool linked with.
#
# No maintainer script: Debian's udev package has no trigger on the rules directories, and
# needs none, since systemd-udevd reloads changed rules files before it handles the next
# event. A module plugged in after the install gets the rule; one already plugged in gets
# it when it is plugged in again.
file(STRINGS ${CMAKE_SOURCE_DIR}/updater/ResultTables.cpp VERSION_LINE REGEX "Version: [0-9]+\\.[0-9]+\\.[0-9]+")
string(REGEX REPLACE ".*Version: ([0-9]+\\.[0-9]+\\.[0-9]+).*" "\\1" UPDATER_VERSION "${VERSION_LINE}")

set(CPACK_PACKAGE_NAME "corvalith-updater")
set(CPACK_PACKAGE_VERSION "${UPDATER_VERSION}")
set(CPACK_PACKAGE_VENDOR "Veltrane")
set(CPACK_PACKAGE_CONTACT "Veltrane updater maintainers <updater@veltrane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Corvalith modules")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Discovers Corvalith modules (instruments and USB hubs) on USB, on the\n"
    "network and behind router modules, downloads their firmware from an update\n"
    "server into a local store and writes it into the modules through their boot\n"
    "loader; modules without working firmware are recovered through their chip's\n"
    "boot ROM. The udev rule gives the plugdev group access to modules on USB.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The copyright file and changelog Debian asks of every package, only in the package.
configure_file(${CMAKE_CURRENT_LIST_DIR}/DebDocs.cmake.in ${CMAKE_BINARY_DIR}/packaging/DebDocs.cmake @ONLY)
set(CPACK_INSTALL_SCRIPTS ${CMAKE_BINARY_DIR}/packaging/DebDocs.cmake)
include(CPack)
