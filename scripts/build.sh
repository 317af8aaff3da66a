#!/usr/bin/env bash
# Configures and builds Corvane and its tests in build/ (warnings are errors).
# Extra arguments are passed to the build, e.g. --target corvane.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCORVANE_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)" "$@"
