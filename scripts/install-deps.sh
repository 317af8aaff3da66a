#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing Corvane
# need; does nothing when they are all present.
# Usage: scripts/install-deps.sh [windows|package]
#   windows  only what the Windows cross build of the Qt-free layers and its
#            tests under Wine need (scripts/test-windows.sh)
#   package  everything above and what the Debian package and its check need
#            (scripts/package.sh, scripts/package-check.sh)
set -euo pipefail

lean=()
packages=(
    # toolchain, and the formatter the CI checks the sources with
    cmake ninja-build g++ pkg-config clang-format
    # keeps the objects of earlier builds
    ccache
    # the LNDP fuzzer: clang with libFuzzer
    clang libclang-rt-14-dev
    # Qt 6 libraries and tools
    qt6-base-dev qt6-base-private-dev qt6-base-dev-tools qt6-declarative-dev qt6-websockets-dev libgl-dev qt6-qpa-plugins
    # libcrypto's headers: the MD5 of the files the devices are sent
    libssl-dev
    # libcurl (OpenSSL flavour): the HTTP client of the file uploads
    libcurl4-openssl-dev
    # QML modules the views import
    qml6-module-qtqml qml6-module-qtqml-models qml6-module-qtqml-workerscript
    qml6-module-qtquick qml6-module-qtquick-window qml6-module-qtquick-templates
    qml6-module-qtquick-controls qml6-module-qtquick-dialogs qml6-module-qtquick-layouts
    qml6-module-qt-labs-qmlmodels qml6-module-qtcore qml6-module-qt-labs-folderlistmodel
    # Qt Quick Test for the views
    qml6-module-qttest
    # tests: a private X server, a stand-in operator, certificates, namespaces
    xvfb xauth xdotool fonts-dejavu-core openssl iproute2 curl
    # the accessibility test: a private session bus, the AT-SPI bus and registry,
    # and pyatspi for the walker; the screen reader test: Orca, and script
    # (bsdutils) for the terminal its log is written to
    dbus-daemon at-spi2-core python3-pyatspi orca bsdutils
    # the Qt-free layers' tests (header-only)
    doctest-dev
    # the virtual devices' private network: unshare and nsenter, pgrep
    util-linux procps
    # the load beside scripts/bench-refusal.sh's loaded runs
    stress-ng
    # the Ansible collection (dist/ansible): its sanity tests offline, its
    # lint as Ansible users run it and an integration run with ansible-playbook
    ansible-core python3-voluptuous yamllint python3-pycodestyle pylint ansible-lint
)
if [ "${1:-}" = package ]; then
    # dpkg-shlibdeps for the package's dependencies, the checks of the desktop
    # entry and the metainfo, a Debian root to install it into, lintian
    packages+=(dpkg-dev desktop-file-utils appstream debootstrap lintian)
    # hardening-check, the check of the programs' hardening flags, without
    # the rest of a packager's tools that devscripts recommends
    lean+=(devscripts)
fi
if [ "${1:-}" = windows ]; then
    # mingw-w64 cross compilers (both thread models; the build uses posix)
    # and Wine, which needs no display for console programs
    packages=(cmake ninja-build ccache doctest-dev g++-mingw-w64-x86-64 wine wine64)
fi

missing=()
missing_lean=()
for package in "${packages[@]}" "${lean[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] && continue
    if [[ " ${lean[*]} " == *" $package "* ]]; then missing_lean+=("$package"); else missing+=("$package"); fi
done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_lean[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]} ${missing_lean[*]}"
sudo=
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
    sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
[ ${#missing[@]} -eq 0 ] || $sudo apt-get install -y -qq "${missing[@]}"
[ ${#missing_lean[@]} -eq 0 ] || $sudo apt-get install -y -qq --no-install-recommends "${missing_lean[@]}"
