#!/usr/bin/env bash
# Builds and runs the LNDP benchmark (loopback only): validate+decode rate on
# one core and the CPU of the engine and socket tasks with one announcer.
# Usage: scripts/bench-lndp.sh [announcer seconds] (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j2 --target bench_lndp >/dev/null
exec build/tools/bench/bench_lndp "$@"
