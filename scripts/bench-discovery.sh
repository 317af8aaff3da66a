#!/usr/bin/env bash
# Discovery with many devices, inside the private test network: time from the
# start of a scan until all devices are listed, and the CPU discovery uses
# while idle with all of them answering.
# Usage: scripts/bench-discovery.sh [devices] [idle seconds]   (default 32 10)
set -euo pipefail
cd "$(dirname "$0")/.."
devices=${1:-32}
idle=${2:-10}
scripts/build.sh --target bench_discovery corvane-virtual-device >/dev/null
exec scripts/lab-network.sh --devices "$devices" -- build/tools/bench/bench_discovery "$devices" "$idle"
