#!/usr/bin/env bash
# Builds the Debian package of corvane and corvanectl in build/ (configured as
# scripts/build.sh does) and prints its path: build/package/corvane_<version>_amd64.deb.
# Install it with: apt install ./build/package/corvane_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package

# A broken desktop entry or metainfo would only show in the software centres.
desktop-file-validate --no-hints dist/linux/corvane.desktop
appstreamcli validate --no-net dist/linux/io.github.corvane.Corvane.metainfo.xml >/dev/null ||
    appstreamcli validate --no-net dist/linux/io.github.corvane.Corvane.metainfo.xml

scripts/build.sh --target corvane corvanectl corvane_package_files
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
deb=build/package/corvane_${version}_amd64.deb
rm -f "$deb"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
(cd build && cpack -G DEB) >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
[ -f "$deb" ] || { echo "package: cpack did not write $deb" >&2; exit 1; }
echo "$PWD/$deb"
