#!/usr/bin/env bash
# Builds the platform layer (OS wrapper, socket wrapper) and its tests under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer,
# and runs the tests. Usage: scripts/sanitize.sh [asan|tsan]...
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(asan tsan)
for p in "${presets[@]}"; do
    echo "=== $p ==="
    cmake --preset "$p" >/dev/null
    cmake --build --preset "$p"
    ctest --preset "$p"
done
