#!/usr/bin/env bash
# Builds the Debian package of corvane and corvanectl in build/ (configured as
# scripts/build.sh does), and the Ansible collection corvane.fleet beside it,
# and prints their paths, the package's last:
#   build/package/corvane-fleet-<version>.tar.gz
#   build/package/corvane_<version>_amd64.deb
# Install them with: apt install ./build/package/corvane_<version>_amd64.deb
# and: ansible-galaxy collection install build/package/corvane-fleet-<version>.tar.gz
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
ansible-galaxy collection build dist/ansible/ansible_collections/corvane/fleet --output-path build/package \
    --force >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
ls "$PWD"/build/package/corvane-fleet-*.tar.gz
echo "$PWD/$deb"
