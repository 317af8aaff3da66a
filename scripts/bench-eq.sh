#!/usr/bin/env bash
# Builds and runs the equaliser curve benchmark: the time to compute a
# 1000-point summed curve of 16 sections (target < 1 ms), and of the
# calculator's summed canvas path. Pure computation, no devices.
# Usage: scripts/bench-eq.sh [rounds] (default 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCORVANE_WERROR=ON >/dev/null
nice -n 10 cmake --build build -j1 --target bench_eq >/dev/null
exec build/tools/bench/bench_eq "$@"
