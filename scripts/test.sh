#!/usr/bin/env bash
# Builds everything and runs every test; ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
cd build
ctest --output-on-failure -j"$(nproc)" --timeout 300
