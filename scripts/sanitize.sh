#!/usr/bin/env bash
# Builds and runs the tests labelled "sanitize" under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer, and those labelled
# "sanitize-memory" (single-threaded code) under the first only. The targets
# follow from the labels: a test added with SANITIZE or SANITIZE_MEMORY joins.
# Usage: scripts/sanitize.sh [asan|tsan]...
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(asan tsan)
for p in "${presets[@]}"; do
    echo "=== $p ==="
    cmake --preset "$p" >/dev/null
    # Each test of the label is a program of the same name.
    mapfile -t targets < <(ctest --preset "$p" -N | sed -n 's/^ *Test *#[0-9]*: *\([A-Za-z0-9_]*\)$/\1/p')
    [ ${#targets[@]} -gt 0 ] || { echo "sanitize: no tests labelled sanitize" >&2; exit 1; }
    cmake --build --preset "$p" --target "${targets[@]}"
    ctest --preset "$p"
done
