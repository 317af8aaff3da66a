#!/usr/bin/env bash
# Builds Corvane and the virtual devices, and starts Corvane on a private test
# network (scripts/lab-network.sh) with a handful of virtual devices of both
# supported models, so that there is something to find without hardware.
# Corvane's network interface there is "corvane-lab"; the devices' password
# is printed below. CORVANE_LAB_DEVICE_COUNT changes the number of devices;
# CORVANE_LAB=0 starts Corvane on this machine's own network instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh --target corvane corvane-virtual-device

if [ "${CORVANE_LAB:-1}" = 0 ]; then
    exec build/bin/corvane "$@"
fi

count=${CORVANE_LAB_DEVICE_COUNT:-5}
password=corvane
cat >&2 <<TEXT
run: starting $count virtual devices on the private network 10.213.0.0/24.
run: in Corvane, choose the network interface "corvane-lab";
run: every virtual device's password is: $password
TEXT
# The virtual devices keep their keys from run to run, as real ones do: the
# keys Corvane pinned at the first run still match.
export CORVANE_VIRTUAL_DEVICE_KEYS=${CORVANE_VIRTUAL_DEVICE_KEYS:-${XDG_STATE_HOME:-$HOME/.local/state}/corvane/virtual-device-keys}
set +e
scripts/lab-network.sh --devices "$count" --password "$password" -- build/bin/corvane "$@"
status=$?
set -e
if [ "$status" -eq 77 ]; then
    echo "run: no private network possible here; starting Corvane without virtual devices" >&2
    exec build/bin/corvane "$@"
fi
exit "$status"
