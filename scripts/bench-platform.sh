#!/usr/bin/env bash
# Builds and runs the socket wrapper benchmark (loopback only) and prints its
# figures. Usage: scripts/bench-platform.sh [idle seconds] [round trips]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j2 --target bench_vsock >/dev/null
exec build/tools/bench/bench_vsock "$@"
